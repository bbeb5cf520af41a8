// The listening socket, the Listener thread and many connections at once.
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>

#include "interface_test_support.h"

using namespace vtrtest;

namespace {

// A Listener thread on a socket in a private temp dir.
class ListenerTest : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    char dirTemplate[] = "/tmp/vethra-uds-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    dir = dirTemplate;
    path = dir + "/vethra.uds";
    // A stale file at the path does not block the bind.
    FILE *stale = fopen(path.c_str(), "w");
    ASSERT_NE(stale, nullptr);
    fclose(stale);
    ASSERT_EQ(VTR_InitUDSAt(path.c_str(), &listenFd), VTR_OK);
    listener = std::thread([this] { VTR_UDSListener(&listenFd); });
  }
  // The shutdown's way of ending the Listener: flag, then shut the socket down.
  void TearDown() override {
    WaitForDetachedHandlers();
    exitRequested.store(true);
    shutdown(listenFd, SHUT_RDWR);
    listener.join();
    close(listenFd);
    unlink(path.c_str());
    rmdir(dir.c_str());
    InterfaceTest::TearDown();
  }
  std::string dir, path;
  int listenFd = -1;
  std::thread listener;
};

TEST_F(ListenerTest, ServesOneShotCallsOverTheSocket) {
  uint32_t code = 99;
  std::string body;
  ASSERT_EQ(vtrc_call(path.c_str(), VTRC_CMD_STATUS, "", &code, &body), 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(body, kIdleStatus);
  // An unknown code gets no reply: the client reports a time-out.
  EXPECT_EQ(vtrc_call(path.c_str(), 16, "", &code, &body, 200), -ETIMEDOUT);
  EXPECT_TRUE(Logged("Interface: Listener thread initialized"));
}

TEST_F(ListenerTest, ClientReportsAMissingDaemon) {
  std::string missing = dir + "/absent.uds";
  int rc = vtrc_connect(missing.c_str());
  EXPECT_EQ(rc, -ENOENT);
  EXPECT_EQ(vtrc_error_text(rc, missing.c_str()), "vethra is not running (no socket at " + missing + ")");
}

TEST_F(ListenerTest, ConcurrencyManyConnectionsServedInParallel) {
  constexpr int kClients = 16;
  constexpr int kRounds = 25;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; i++) {
    clients.emplace_back([&] {
      int fd = vtrc_connect(path.c_str());
      if (fd < 0) return;
      for (int k = 0; k < kRounds; k++) {
        uint32_t command = k % 2 == 0 ? VTRC_CMD_STATUS : VTRC_CMD_APPEND_VMS;
        std::string payload = command == VTRC_CMD_STATUS ? "" : R"({"vmWorldGroups":[]})";
        uint32_t code = 99;
        std::string body;
        if (vtrc_send_request(fd, command, payload.data(), static_cast<uint32_t>(payload.size())) == 0 &&
            vtrc_recv_reply(fd, &code, &body, 10000) == 0 && code == 0 &&
            body == (command == VTRC_CMD_STATUS ? kIdleStatus : "")) {
          good++;
        }
      }
      close(fd);
    });
  }
  for (auto &t : clients) t.join();
  EXPECT_EQ(good.load(), kClients * kRounds);
}

}  // namespace
