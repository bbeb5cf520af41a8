// End-to-end tests of the socket against the real daemon: the Exit request
// ending the process, and who may connect to the socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "e2e/harness.h"
#include "vethra_client.h"

namespace {

using namespace e2e;

const char kHost[] = R"({"vms":[{"worldGroupId":1001,"disks":[{"handleId":8001},{"handleId":8002}]}]})";

// Exit: exactly eight zero bytes, then the daemon goes away with code 0 and
// its traces off. Another idle connection does not keep it alive.
TEST(Socket, ExitRequestEndsTheDaemon) {
  Daemon d;
  StartServing(&d, Opts({"-a", "-s"}, kHost));
  Peer p(&d), idle(&d);
  ASSERT_TRUE(p.Send(Request(20)));
  std::string reply(9, 'x');
  ssize_t n = 0, got = 0;
  while (got < 9 && (n = recv(p.fd, reply.data() + got, 9 - got, 0)) > 0) got += n;
  EXPECT_EQ(got, 8);
  EXPECT_EQ(reply.substr(0, 8), std::string(8, '\0'));
  EXPECT_EQ(WaitExit(&d), 0) << Stderr(&d);
  Json state = ExitState(&d);
  ASSERT_TRUE(state);
  EXPECT_TRUE(TracedHandles(state.get()).empty());
  EXPECT_EQ(FindLogs(&d, "Interface: Exiting Vethra...!").size(), 1u);
}

// Whether a process running as `nobody` may connect (0) or gets -errno.
int ConnectAsNobody(const std::string &path) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    int fd = vtrc_connect(path.c_str());
    _exit(fd >= 0 ? 0 : -fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? -WEXITSTATUS(status) : -1000;
}

// The socket gets the permissions the daemon's umask leaves; connecting
// needs write permission. Root may always connect.
TEST(Socket, UmaskDecidesWhoMayConnect) {
  for (mode_t mask : {0000, 0022, 0077}) {
    mode_t saved = umask(mask);
    Daemon d;
    std::string error;
    bool started = Start(&d, Opts({"-n", "access"}, kHost), &error);
    umask(saved);
    ASSERT_TRUE(started && IsRunning(&d)) << error << Stderr(&d);
    struct stat st;
    ASSERT_EQ(stat(d.SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask) << std::oct << mask;
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(ConnectAsNobody(d.SocketPath()), mask == 0 ? 0 : -EACCES) << std::oct << mask;
    EXPECT_EQ(StatusVmIds(&d), "[]");
    ASSERT_TRUE(Signal(&d, SIGTERM));
    EXPECT_EQ(WaitExit(&d), 0);
  }
}

}  // namespace
