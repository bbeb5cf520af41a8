// Client side of the daemon's framed socket protocol: an 8-byte big-endian
// header (command or reply code, body length) followed by the body.
// See docs/protocol.md.
#pragma once

#include <stdint.h>

#include <string>

constexpr const char *VTRC_DEFAULT_SOCKET = "/var/run/vethra.uds";

// Command codes and reply codes of the protocol.
enum : uint32_t {
  VTRC_CMD_METRICS = 10,
  VTRC_CMD_STATUS = 11,
  VTRC_CMD_APPEND_VMS = 12,
  VTRC_CMD_DELETE_VMS = 13,
  VTRC_CMD_CHANGE_RATE = 14,
  VTRC_CMD_CHANGE_RATE2 = 15,
  VTRC_CMD_EXIT = 20,
};
enum : uint32_t {
  VTRC_REPLY_OK = 0,
  VTRC_REPLY_ERROR = 1,
};
// The daemon drops requests whose payload is longer than this, unanswered.
constexpr uint32_t VTRC_MAX_REQUEST_SIZE = 1048576;

// Connects to the daemon's socket. Returns the descriptor, or -errno.
int vtrc_connect(const char *path);

// Sends one request: header and payload (payloadLen may be 0). 0 or -errno.
int vtrc_send_request(int fd, uint32_t command, const void *payload, uint32_t payloadLen);

// Receives one reply, waiting at most timeoutMs (-1: no limit). Returns 0
// with code and body filled; -ETIMEDOUT when nothing complete arrived in
// time; -ECONNRESET when the daemon closed the connection; other -errno.
int vtrc_recv_reply(int fd, uint32_t *code, std::string *body, int timeoutMs);

// Connects, sends one request, reads its reply and closes. 0 or -errno.
// Requests that get no reply (unknown codes, an empty Append or Delete
// payload) end in -ETIMEDOUT.
int vtrc_call(const char *path, uint32_t command, const std::string &payload, uint32_t *code,
              std::string *body, int timeoutMs = 10000);

// Text for a negative result of the calls above, phrased for operators
// (e.g. "vethra is not running (no socket at /var/run/vethra.uds)").
std::string vtrc_error_text(int result, const char *path);
