// Broken and hostile peers (an absurd length: unit_interface's framing
// test): the daemon must go on serving everyone else and end cleanly.
#include <sys/resource.h>
#include <sys/socket.h>

#include "e2e/harness.h"

namespace {

using namespace e2e;

const std::string kHost = GeneratedHost(1, 2);

TEST(HostilePeers, StalledPayloadDoesNotHoldUpOthers) {
  Daemon d;
  StartServing(&d, {{"-v", "6"}, kHost});
  // A peer that announces a payload and stalls does not hold up another
  // connection; when the rest arrives it is served too.
  std::string append = R"({"vmWorldGroups":[5001]})";
  Peer stalled(&d);
  ASSERT_TRUE(stalled.Send(Frame(12, static_cast<uint32_t>(append.size())) + append.substr(0, 5)));
  EXPECT_EQ(StatusVmIds(&d), "[]");
  ASSERT_TRUE(stalled.Send(append.substr(5)));
  std::string body;
  EXPECT_EQ(stalled.Receive(&body), 0) << body;
  EXPECT_EQ(StatusVmIds(&d), "[5001]");

  StopCleanly(&d);
}

TEST(HostilePeers, PeersLeavingMidReplyDoNotHurtTheDaemon) {
  Daemon d;
  // 2048 disks: a metrics reply of several hundred KiB, more than a socket
  // buffer holds, so the daemon is still sending when the peer leaves.
  StartServing(&d, {{"-a"}, GeneratedHost(64, 32)});
  for (int i = 0; i < 12; i++) {
    Peer p(&d);
    ASSERT_TRUE(p.Send(Frame(10, 0)));
    if (i % 2 == 0) {
      char some[4096];
      ASSERT_GT(recv(p.fd, some, sizeof some, 0), 0);
    }
    // Closing with unread data resets the connection under the sender.
  }
  std::string body;
  ASSERT_EQ(Request(&d, 10, "", &body), 0);
  EXPECT_GT(body.size(), 300000u);
  EXPECT_EQ(json_array_size(DocVms(ParseJson(body).get())), 64u);
  // The premise: some replies were cut off by the peer leaving.
  int cut = 0;
  for (const auto &line : FindLogs(&d, "Interface: Msg bytes sent to quorrel: ")) {
    cut +=
        atol(line.text.substr(line.text.rfind(' ') + 1).c_str()) < static_cast<long>(body.size());
  }
  EXPECT_GT(cut, 0) << "every reply went out whole";
  StopCleanly(&d);
}

TEST(HostilePeers, ThousandIdleConnectionsLeaveRoomForANewOne) {
  // Both ends need more than the usual 1024 descriptors; the daemon
  // inherits the raised limit.
  struct rlimit old, raised;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  raised = old;
  raised.rlim_cur = std::min<rlim_t>(old.rlim_max, 4096);
  ASSERT_GE(raised.rlim_cur, 2100u) << "descriptor limit too low for this test";
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  std::unique_ptr<void, void (*)(void *)> restore(
      &old, [](void *p) { setrlimit(RLIMIT_NOFILE, static_cast<struct rlimit *>(p)); });

  Daemon d;
  StartServing(&d, {{"-a"}, kHost});
  std::vector<std::unique_ptr<Peer>> idle;
  for (int i = 0; i < 1000; i++) {
    idle.push_back(std::make_unique<Peer>(&d));
    ASSERT_GE(idle.back()->fd, 0) << "connection " << i << ": " << strerror(-idle.back()->fd);
  }
  // A new connection is served within a generous bound, and so are the
  // oldest and the newest idle ones.
  ASSERT_EQ(Request(&d, 11, "", nullptr, 10000), 0);
  std::string body;
  for (Peer *p : {idle.front().get(), idle.back().get()}) {
    ASSERT_TRUE(p->Send(Frame(11, 0)));
    ASSERT_EQ(p->Receive(&body, 10000), 0);
    EXPECT_NE(body.find("[5001]"), std::string::npos) << body;
  }
  idle.clear();
  EXPECT_EQ(StatusVmIds(&d), "[5001]");
  StopCleanly(&d);
}

}  // namespace
