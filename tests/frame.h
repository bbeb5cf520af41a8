// The one builder of protocol frames for the tests: an 8-byte big-endian
// header (command or reply code, body length) and the body.
#pragma once

#include <arpa/inet.h>
#include <stdint.h>

#include <string>

inline std::string Frame(uint32_t code, uint32_t length, const std::string &payload = "") {
  uint32_t wire[2] = {htonl(code), htonl(length)};
  return std::string(reinterpret_cast<const char *>(wire), sizeof wire) + payload;
}
