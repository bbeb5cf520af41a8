// Framing of requests and replies on one connection.
#include <fcntl.h>

#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class FramingTest : public InterfaceTest {};

// Everything the peer can still read without waiting.
std::string Drain(int fd) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEST_F(FramingTest, ReplyBytesAreHeaderAndTextWithoutNul) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(VTR_SendResponse(sv[1], "Unable to delete the VM", 23, VTR_REPLY_ERROR), VTR_OK);
  EXPECT_EQ(Drain(sv[0]), std::string("\0\0\0\1\0\0\0\x17", 8) + "Unable to delete the VM");
  EXPECT_EQ(VTR_SendResponse(sv[1], nullptr, 0, VTR_REPLY_OK), VTR_OK);
  EXPECT_EQ(Drain(sv[0]), std::string(8, '\0'));
  // A peer that has gone away yields an error, not SIGPIPE.
  close(sv[0]);
  EXPECT_EQ(VTR_SendResponse(sv[1], "x", 1, VTR_REPLY_OK), VTR_OK);
  close(sv[1]);
}

TEST_F(FramingTest, SplitHeaderAndPiecewisePayloadAreAssembled) {
  Connection c;
  // Pieces: part of the header, its rest, then the payload in two pieces.
  const std::string request = Header(VTR_CMD_APPEND_VMS, 20) + R"({"vmWorldGroups":[]})";
  size_t from = 0;
  for (size_t to : {size_t{3}, size_t{8}, size_t{12}, request.size()}) {
    c.SendRaw(request.substr(from, to - from));
    from = to;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Reply r = c.Receive();
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.body, "");
  EXPECT_TRUE(Logged("Interface: Received Append VMs Message : {\"vmWorldGroups\":[]}"));
}

TEST_F(FramingTest, LengthLimitIsInclusiveAndOversizeGetsNoReply) {
  Connection c;
  // Exactly 1048576 payload bytes: read whole and dispatched (the status
  // query ignores a payload).
  Reply r = c.Call(VTR_CMD_STATUS_QUERY, std::string(VTR_MAX_MSG_SIZE, 'x'));
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.body, kIdleStatus);

  // One byte more: dropped without reading, no reply; the next 8 bytes are
  // taken as the next header.
  c.SendRaw(Header(VTR_CMD_STATUS_QUERY, VTR_MAX_MSG_SIZE + 1));
  r = c.Call(VTR_CMD_STATUS_QUERY);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.body, kIdleStatus);
  EXPECT_TRUE(Logged("Interface: Received packet size exceeded limit."));
  EXPECT_TRUE(Logged(std::string("Interface: Failed to receive packet: ") +
                     BREL_ReturnStatusToString(VTR_LIMIT_EXCEEDED)));
}

TEST_F(FramingTest, UnknownCodesGetNoReplyAndConnectionStaysServed) {
  Connection c;
  for (uint32_t code : {0u, 1u, 9u, 16u, 17u, 19u, 21u, 255u, 0xFFFFFFFFu}) {
    // The status reply is the first thing to come back, so the unknown
    // request before it was answered with nothing.
    c.SendRaw(Header(code, 2) + "{}");
    Reply r = c.Call(VTR_CMD_STATUS_QUERY);
    ASSERT_EQ(r.rc, 0) << code;
    EXPECT_EQ(r.body, kIdleStatus) << code;
  }
  EXPECT_TRUE(Logged("Interface: Unknown Message Type. Ignoring message."));
}

TEST_F(FramingTest, PeerCloseDuringPayloadEndsHandler) {
  auto c = std::make_unique<Connection>();
  c->SendRaw(Header(VTR_CMD_APPEND_VMS, 10) + "{\"vm");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  c.reset();  // joins the handler: it must end on the close
  EXPECT_TRUE(Logged("Interface: The remote connection is closed"));
  EXPECT_FALSE(Logged("Interface: Received Append VMs Message : {\"vm"));
}

}  // namespace
