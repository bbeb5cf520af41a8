// Shared pieces of the socket interface tests: log capture and a Message
// Handler thread serving one end of a socketpair.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim.h"
#include "interface/requests.h"
#include "main/clock.h"
#include "main/config.h"
#include "main/log.h"
#include "vethra_client.h"

namespace vtrtest {

inline std::mutex logMutex;
inline std::vector<std::string> logLines;

inline void CaptureLog(int, const char *message) {
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.emplace_back(message);
}

inline bool Logged(const std::string &text) {
  std::lock_guard<std::mutex> lock(logMutex);
  for (const auto &line : logLines)
    if (line == text) return true;
  return false;
}

inline size_t CountLogged(const std::string &text) {
  std::lock_guard<std::mutex> lock(logMutex);
  size_t n = 0;
  for (const auto &line : logLines) n += line == text;
  return n;
}

// Detached Message Handler threads outlive their test; once every started
// handler has logged its exit line it no longer reads the run configuration.
inline void WaitForDetachedHandlers() {
  for (int i = 0; i < 2000; i++) {
    if (CountLogged("Interface: Message Handler thread initialized.") ==
        CountLogged("Interface: The remote connection is closed.MessageHandler thread exiting."))
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "Message Handler threads did not end";
}

struct Reply {
  int rc = -1;
  uint32_t code = 99;
  std::string body;
};

// A Message Handler thread on one end of a socketpair; the test is the peer.
struct Connection {
  int peer = -1;
  int server = -1;
  std::thread handler;

  Connection() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peer = sv[0];
    server = sv[1];
    handler = std::thread(
        [fd = sv[1]] { VTR_UDSReceive(reinterpret_cast<void *>(static_cast<intptr_t>(fd))); });
  }
  // Closing our end ends the handler, which closes its own end.
  ~Connection() {
    close(peer);
    handler.join();
  }
  void SendRaw(const std::string &bytes) const {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  Reply Call(uint32_t command, const std::string &payload = "") const {
    Reply r;
    r.rc = vtrc_send_request(peer, command, payload.data(), static_cast<uint32_t>(payload.size()));
    if (r.rc == 0) r.rc = vtrc_recv_reply(peer, &r.code, &r.body, 10000);
    return r;
  }
  Reply Receive() const {
    Reply r;
    r.rc = vtrc_recv_reply(peer, &r.code, &r.body, 10000);
    return r;
  }
};

inline std::string Header(uint32_t code, uint32_t length) {
  uint32_t wire[2] = {htonl(code), htonl(length)};
  return std::string(reinterpret_cast<const char *>(wire), sizeof wire);
}

// Replaces the simulated host; VMs default to powered on with a VMM.
inline void ConfigureHost(const char *json) { ASSERT_EQ(hostsim_configure(json, nullptr), 0); }

inline std::string HostControl(const std::string &request) {
  char *reply = hostsim_control(request.c_str());
  std::string text = reply != nullptr ? reply : "";
  hostsim_free(reply);
  return text;
}

constexpr const char kIdleStatus[] = R"({"status":"running","runName":"","duration":0,"vmWorldGroups":[]})";

// Fresh run configuration, every log line captured, an empty registry.
class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registryReady = (VTR_InitHashTblAndList() == 0);
    ASSERT_TRUE(registryReady);
    VTR_ResetRunConfig();
    logLevel = 7;
    {
      std::lock_guard<std::mutex> lock(logMutex);
      logLines.clear();
    }
    VTR_SetLogHook(CaptureLog);
  }
  // Drops every VM left in vmList (the host no longer has any).
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
