// Shared pieces of the socket interface tests: log capture, the simulated
// host, and a Message Handler thread serving one end of a socketpair.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim.h"
#include "interface/requests.h"
#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "vethra_client.h"

namespace vtrtest {

inline std::mutex logMutex;
inline std::vector<std::string> logLines;

inline void CaptureLog(int, const char *message) {
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.emplace_back(message);
}

inline size_t CountLogged(const std::string &text) {
  std::lock_guard<std::mutex> lock(logMutex);
  size_t n = 0;
  for (const auto &line : logLines) n += line == text;
  return n;
}
inline bool Logged(const std::string &text) { return CountLogged(text) > 0; }

struct Reply {
  int rc = -1;
  uint32_t code = 99;
  std::string body;
};

inline std::string Header(uint32_t code, uint32_t length) {
  uint32_t wire[2] = {htonl(code), htonl(length)};
  return std::string(reinterpret_cast<const char *>(wire), sizeof wire);
}

// A Message Handler thread on one end of a socketpair; the test is the peer.
// Closing the peer end ends the handler, which closes its own end.
struct Connection {
  int peer = -1, server = -1;
  std::thread handler;

  Connection() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peer = sv[0];
    server = sv[1];
    handler = std::thread([fd = server] { VTR_UDSReceive(reinterpret_cast<void *>(static_cast<intptr_t>(fd))); });
  }
  ~Connection() {
    close(peer);
    if (handler.joinable()) handler.join();
  }
  void SendRaw(const std::string &bytes) const { send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  Reply Receive() const {
    Reply r;
    r.rc = vtrc_recv_reply(peer, &r.code, &r.body, 10000);
    return r;
  }
  Reply Call(uint32_t command, const std::string &payload = "") const {
    SendRaw(Header(command, static_cast<uint32_t>(payload.size())) + payload);
    return Receive();
  }
};

inline void ConfigureHost(const char *json) { ASSERT_EQ(hostsim_configure(json, nullptr), 0); }
inline void HostControl(const char *request) { hostsim_free(hostsim_control(request)); }

constexpr const char kIdleStatus[] = R"({"status":"running","runName":"","duration":0,"vmWorldGroups":[]})";

// Fresh run configuration, every log line captured; TearDown drops every VM
// left in vmList (the host no longer has any).
class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registryReady = (VTR_InitHashTblAndList() == 0);
    ASSERT_TRUE(registryReady);
    VTR_ResetRunConfig();
    VTR_StartupConfig().logLevel = 7;
    {
      std::lock_guard<std::mutex> lock(logMutex);
      logLines.clear();
    }
    VTR_SetLogHook(CaptureLog);
  }
  void TearDown() override {
    hostsim_configure(R"({"vms":[]})", nullptr);
    {
      RegistryGuard guard;
      while (!VTR_VMListEmpty()) VTR_RemoveInvalidVM(vmList.next);
    }
    VTR_SetLogHook(nullptr);
    VTR_SetClock(nullptr);
    VTR_ResetRunConfig();
  }
};

}  // namespace vtrtest
