// Append, Delete, status, Exit and the liveness check.
#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class RequestsTest : public InterfaceTest {};

constexpr const char kTwoVmHost[] = R"({"vms":[
  {"worldGroupId":5001,"displayName":"alpha","uuid":"42 00 00 00 00 00 00 01-00 00 00 00 00 00 00 01",
   "disks":[{"handleId":101,"name":"scsi0:0"},{"handleId":102,"name":"scsi0:1"}]},
  {"worldGroupId":5002,"displayName":"beta","uuid":"42 00 00 00 00 00 00 02-00 00 00 00 00 00 00 02",
   "disks":[{"handleId":201,"name":"scsi0:0"}]}]})";

bool HasEntry(uint32_t worldGroupId, uint64_t handleId) {
  return hash_lookup(&diskTable, VTR_GetDiskKey(worldGroupId, handleId)) != nullptr;
}

TEST_F(RequestsTest, AppendAndDeletePayloadShapes) {
  Connection c;
  struct Case {
    const char *payload;
    uint32_t code;
  };
  const Case cases[] = {
      {R"({"vmWorldGroups":[]})", 0}, {R"({"vmWorldGroups":5})", 0}, {R"({"other":[1]})", 1},
      {"[1,2]", 1},                   {R"({"vmWorldGroups":[)", 1},
  };
  for (uint32_t command : {VTR_CMD_APPEND_VMS, VTR_CMD_DELETE_VMS}) {
    const std::string error =
        command == VTR_CMD_APPEND_VMS ? "Unable to append the VM(s)" : "Unable to delete the VM";
    for (const Case &k : cases) {
      Reply r = c.Call(command, k.payload);
      ASSERT_EQ(r.rc, 0) << k.payload;
      EXPECT_EQ(r.code, k.code) << k.payload;
      EXPECT_EQ(r.body, k.code == 0 ? "" : error) << k.payload;
    }
    // An empty payload gets no reply at all: the status reply comes first.
    c.SendRaw(Header(command, 0));
    EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
  }
  EXPECT_TRUE(Logged("Interface: root is not an object"));
  EXPECT_TRUE(Logged("Interface: json_unpack() failed"));
  EXPECT_TRUE(Logged("Interface:The req msg is null or msg len is invalid in VTR_AppendNewVMs."));
  EXPECT_TRUE(Logged("Interface:The request msg is null or msg len is invalid in VTR_DeleteVMs."));
}

TEST_F(RequestsTest, AppendFollowsLastElementDeleteFailsOnAny) {
  ConfigureHost(kTwoVmHost);
  Connection c;
  // 777 does not exist: a failing first element does not fail the request,
  // a failing last one does.
  Reply r = c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[777,5001]})");
  EXPECT_EQ(r.code, 0u);
  r = c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5002,778]})");
  EXPECT_EQ(r.code, 1u);
  EXPECT_EQ(r.body, "Unable to append the VM(s)");
  EXPECT_TRUE(HasEntry(5001, 101) && HasEntry(5001, 102) && HasEntry(5002, 201));

  // Every element is tried even after a failure.
  r = c.Call(VTR_CMD_DELETE_VMS, R"({"vmWorldGroups":[779,5001,5002]})");
  EXPECT_EQ(r.code, 1u);
  EXPECT_EQ(r.body, "Unable to delete the VM");
  EXPECT_TRUE(Logged("Interface: Failed to stop tracing for WorldId : 779"));
  EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5002, 201));
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
}

TEST_F(RequestsTest, StatusReportsNameRemainingTimeAndLiveVMs) {
  ConfigureHost(kTwoVmHost);
  strcpy(instanceName, "night-run");
  durationSecs = 600;
  startTime = {1000, 0};
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);

  // 100.9 s elapsed: whole seconds only, 500 left.
  VTR_SetClock([](struct timeval *now) { *now = {1100, 900000}; });
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body,
            R"({"status":"running","runName":"night-run","duration":500,"vmWorldGroups":[5002,5001]})");
  // Past the duration: 0, never negative.
  VTR_SetClock([](struct timeval *now) { *now = {1630, 0}; });
  EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find(R"("duration":0,)"), std::string::npos);
}

TEST_F(RequestsTest, VMThatIsDownIsDroppedWithItsEntries) {
  ConfigureHost(kTwoVmHost);
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);

  // A failing host read other than "down" leaves the VM out of this reply only.
  HostControl(R"({"op":"fault","node":"worldGroups_hasVmm","status":"0xBAD0001","count":1})");
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body.find("5002"), std::string::npos);
  EXPECT_NE(VTR_FindVM(5002), nullptr);

  HostControl(R"({"op":"powerOff","worldGroupId":5001})");
  EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find(R"("vmWorldGroups":[5002])"), std::string::npos);
  EXPECT_TRUE(Logged(" Interface: VM 5001, is DOWN, cleaning up."));
  EXPECT_EQ(VTR_FindVM(5001), nullptr);
  EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5001, 102));
  EXPECT_TRUE(HasEntry(5002, 201));
}

TEST_F(RequestsTest, ExitRepliesWithEightZeroBytesAndRaisesTheFlag) {
  Connection c;
  c.SendRaw(Header(VTR_CMD_EXIT, 0));
  Reply r = c.Receive();
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.body, "");
  c.handler.join();  // the handler ends at its loop top, leaving its descriptor
  c.handler = std::thread([] {});
  close(c.server);
  EXPECT_TRUE(exitRequested.load());
  EXPECT_TRUE(Logged("Interface: Recvd Exit Vethra Message."));
  EXPECT_TRUE(Logged("Interface: Exiting Vethra...!"));
}

}  // namespace
