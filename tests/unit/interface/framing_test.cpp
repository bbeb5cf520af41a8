// Framing of requests and replies on one connection.
#include <signal.h>

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

}  // namespace
