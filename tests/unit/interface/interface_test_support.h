// Shared pieces of the socket interface tests: the simulated host and a
// Message Handler thread serving one end of a socketpair.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "hostsim.h"
#include "interface/requests.h"
#include "unit/test_support.h"
#include "vethra_client.h"

namespace vtrtest {

struct Reply {
  int rc = -1;
  uint32_t code = 99;
  std::string body;
};

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
    handler = std::thread(
        [fd = server] { VTR_UDSReceive(reinterpret_cast<void *>(static_cast<intptr_t>(fd))); });
  }
  ~Connection() {
    close(peer);
    if (handler.joinable()) handler.join();
  }
  void SendRaw(const std::string &bytes) const {
    send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  Reply Receive() const {
    Reply r;
    r.rc = vtrc_recv_reply(peer, &r.code, &r.body, 10000);
    return r;
  }
  Reply Call(uint32_t command, const std::string &payload = "") const {
    SendRaw(Frame(command, static_cast<uint32_t>(payload.size()), payload));
    return Receive();
  }
};

inline void ConfigureHost(const char *json) { ASSERT_EQ(hostsim_configure(json, nullptr), 0); }
inline void HostControl(const char *request) { hostsim_free(hostsim_control(request)); }

constexpr const char kIdleStatus[] =
    R"({"status":"running","runName":"","duration":0,"vmWorldGroups":[]})";

// Fresh run configuration and registry, every log line captured; TearDown
// finalises the registry (the host no longer has any VM).
class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTR_ResetRunConfig();
    ResetRegistry();
    StartLogCapture();
  }
  void TearDown() override {
    hostsim_configure(R"({"vms":[]})", nullptr);
    StopLogCapture();
    {
      RegistryGuard guard;
      VTR_FinaliseRegistry();
    }
    VTR_SetClock(nullptr);
    VTR_ResetRunConfig();
  }
};

}  // namespace vtrtest
