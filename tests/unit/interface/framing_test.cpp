// Framing of requests and replies on one connection; the listening socket,
// the Listener thread and the client's one-shot call.
#include <signal.h>
#include <stdlib.h>

#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class FramingTest : public InterfaceTest {};

TEST_F(FramingTest, ReplyBytesAreHeaderAndTextWithoutNul) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  char buf[64];
  EXPECT_EQ(VTR_SendResponse(sv[1], "Unable to delete the VM", 23, VTR_REPLY_ERROR), VTR_OK);
  EXPECT_EQ(std::string(buf, recv(sv[0], buf, sizeof buf, MSG_DONTWAIT)),
            std::string("\0\0\0\1\0\0\0\x17", 8) + "Unable to delete the VM");
  EXPECT_EQ(VTR_SendResponse(sv[1], nullptr, 0, VTR_REPLY_OK), VTR_OK);
  EXPECT_EQ(std::string(buf, recv(sv[0], buf, sizeof buf, MSG_DONTWAIT)), std::string(8, '\0'));
  // A peer that has gone away makes the send fail (logged, not returned)
  // rather than raise SIGPIPE, which is blocked here to be seen pending.
  close(sv[0]);
  sigset_t pipeSet, saved, pending;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &saved);
  EXPECT_EQ(VTR_SendResponse(sv[1], "x", 1, VTR_REPLY_OK), VTR_OK);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  const struct timespec now = {0, 0};
  sigtimedwait(&pipeSet, nullptr, &now);  // takes a pending SIGPIPE, if any
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  EXPECT_TRUE(Logged("Interface: Header bytes sent to quorrel: -1"));
  close(sv[1]);
}

TEST_F(FramingTest, SplitHeaderAndPiecewisePayloadAreAssembled) {
  Connection c;
  // Part of the header, its rest, then the payload in two pieces.
  const std::string request = Frame(VTR_CMD_APPEND_VMS, 20) + R"({"vmWorldGroups":[]})";
  size_t from = 0;
  for (size_t to : {size_t{3}, size_t{8}, size_t{12}, request.size()}) {
    c.SendRaw(request.substr(from, to - from));
    from = to;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Reply r = c.Receive();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.body, "");
  EXPECT_TRUE(Logged(R"(Interface: Received Append VMs Message : {"vmWorldGroups":[]})"));
}

// Requests on a connection are answered in order, so when the status reply
// is the next thing to arrive the request before it got no reply.
TEST_F(FramingTest, LengthLimitAndUnknownCodesGetNoReplyConnectionStaysServed) {
  Connection c;
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY, std::string(VTR_MAX_MSG_SIZE, 'x')).body, kIdleStatus);
  // One byte more: dropped unread; the next 8 bytes are the next header.
  c.SendRaw(Frame(VTR_CMD_STATUS_QUERY, VTR_MAX_MSG_SIZE + 1));
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
  EXPECT_TRUE(Logged("Interface: Received packet size exceeded limit."));
  EXPECT_TRUE(Logged(std::string("Interface: Failed to receive packet: ") +
                     BREL_ReturnStatusToString(VTR_LIMIT_EXCEEDED)));
  for (uint32_t code : {0u, 9u, 16u, 19u, 21u, 0xFFFFFFFFu}) {
    c.SendRaw(Frame(code, 2) + "{}");
    EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus) << code;
  }
  EXPECT_TRUE(Logged("Interface: Unknown Message Type. Ignoring message."));
}

TEST_F(FramingTest, PeerCloseDuringPayloadEndsHandler) {
  {
    Connection c;
    c.SendRaw(Frame(VTR_CMD_APPEND_VMS, 10) + "{\"vm");
  }  // joins the handler: it must end on the close
  // The bytes sent before the close are still read: header, part of the payload.
  EXPECT_TRUE(Logged("Interface: The remote connection is closed"));
  EXPECT_EQ(CountLogged(R"(Interface: Received cmd code: 12.)"), 0u);
}

class ListenerTest : public InterfaceTest {};

TEST_F(ListenerTest, ServesCallsAndEndsOnShutdown) {
  char dirTemplate[] = "/tmp/vethra-uds-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate, path = dir + "/vethra.uds";
  EXPECT_EQ(vtrc_error_text(vtrc_connect(path.c_str()), path.c_str()),
            "vethra is not running (no socket at " + path + ")");
  // A stale file at the path does not block the bind.
  fclose(fopen(path.c_str(), "w"));
  int listenFd = -1;
  ASSERT_EQ(VTR_InitUDSAt(path.c_str(), &listenFd), VTR_OK);
  std::thread listener([&] { VTR_UDSListener(&listenFd); });

  uint32_t code = 99;
  std::string body;
  ASSERT_EQ(vtrc_call(path.c_str(), VTRC_CMD_STATUS, "", &code, &body), 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(body, kIdleStatus);
  // An unknown code gets no reply: the client reports a time-out.
  EXPECT_EQ(vtrc_call(path.c_str(), 16, "", &code, &body, 200), -ETIMEDOUT);

  // The detached handlers end on the clients' close (before the next test
  // resets the configuration they read).
  for (int i = 0;
       i < 2000 &&
       CountLogged("Interface: Message Handler thread initialized.") !=
           CountLogged("Interface: The remote connection is closed.MessageHandler thread exiting.");
       i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The shutdown's way of ending the Listener: the flag, then the socket
  // shut down so that accept() returns.
  exitRequested.store(true);
  shutdown(listenFd, SHUT_RDWR);
  listener.join();
  close(listenFd);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
