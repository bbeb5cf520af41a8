// Append, Delete, status, Exit and the liveness check.
#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class RequestsTest : public InterfaceTest {};

constexpr const char kTwoVmHost[] = R"({"vms":[
  {"worldGroupId":5001,"displayName":"alpha","disks":[{"handleId":101},{"handleId":102}]},
  {"worldGroupId":5002,"displayName":"beta","disks":[{"handleId":201}]}]})";

TEST_F(RequestsTest, AppendAndDeletePayloadShapes) {
  Connection c;
  const std::pair<const char *, uint32_t> cases[] = {{R"({"vmWorldGroups":[]})", 0},
                                                     {R"({"vmWorldGroups":5})", 0},
                                                     {R"({"other":[1]})", 1},
                                                     {"[1,2]", 1},
                                                     {R"({"vmWorldGroups":[)", 1}};
  for (uint32_t command : {VTR_CMD_APPEND_VMS, VTR_CMD_DELETE_VMS}) {
    const std::string error =
        command == VTR_CMD_APPEND_VMS ? "Unable to append the VM(s)" : "Unable to delete the VM";
    for (const auto &[payload, code] : cases) {
      Reply r = c.Call(command, payload);
      EXPECT_EQ(r.code, code) << payload;
      EXPECT_EQ(r.body, code == 0 ? "" : error) << payload;
    }
    // An empty payload gets no reply: the status reply comes next.
    c.SendRaw(Frame(command, 0));
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
  // 777 and 778 do not exist on the host.
  EXPECT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[777,5001]})").code, 0u);
  EXPECT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5002,778]})").body,
            "Unable to append the VM(s)");
  EXPECT_TRUE(HasEntry(5001, 101) && HasEntry(5001, 102) && HasEntry(5002, 201));
  // Every element is tried even after a failure.
  EXPECT_EQ(c.Call(VTR_CMD_DELETE_VMS, R"({"vmWorldGroups":[779,5001,5002]})").body,
            "Unable to delete the VM");
  EXPECT_TRUE(Logged("Interface: Failed to stop tracing for WorldId : 779"));
  EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5002, 201));
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
}

TEST_F(RequestsTest, StatusReportsNameRemainingTimeAndLiveVMs) {
  ConfigureHost(kTwoVmHost);
  strcpy(VTR_StartupConfig().instanceName, "night-run");
  VTR_StartupConfig().durationSecs = 600;
  startTime = {1000, 0};
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);
  VTR_SetClock([](struct timeval *now) { *now = {1100, 900000}; });  // 100.9 s: whole seconds count
  EXPECT_EQ(
      c.Call(VTR_CMD_STATUS_QUERY).body,
      R"({"status":"running","runName":"night-run","duration":500,"vmWorldGroups":[5001,5002]})");  // oldest first
  VTR_SetClock([](struct timeval *now) { *now = {1630, 0}; });  // past the end: 0, never negative
  EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find(R"("duration":0,)"), std::string::npos);
}

TEST_F(RequestsTest, VMThatIsDownIsDroppedWithItsEntries) {
  ConfigureHost(kTwoVmHost);
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);
  // Another host failure leaves the VM out of this reply only.
  HostControl(R"({"op":"fault","node":"worldGroups_hasVmm","status":"0xBAD0001","count":1})");
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body.find("5001"), std::string::npos);
  EXPECT_NE(VTR_FindVM(5001), nullptr);

  // The metrics query drops a VM that is down as the status query does.
  for (uint32_t command : {VTR_CMD_STATUS_QUERY, VTR_CMD_METRICS_QUERY}) {
    HostControl(R"({"op":"powerOff","worldGroupId":5001})");
    EXPECT_EQ(c.Call(command).body.find("5001"), std::string::npos) << command;
    EXPECT_EQ(CountLogged(" Interface: VM 5001, is DOWN, cleaning up."), 1u);
    EXPECT_EQ(VTR_FindVM(5001), nullptr);
    EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5001, 102));
    EXPECT_TRUE(HasEntry(5002, 201));
    // Back on, it can be added again: nothing of the old registration is left.
    HostControl(R"({"op":"powerOn","worldGroupId":5001})");
    ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001]})").code, 0u);
    EXPECT_TRUE(HasEntry(5001, 101) && HasEntry(5001, 102));
    EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find("[5002,5001]"), std::string::npos);
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.clear();
  }
}

TEST_F(RequestsTest, ExitRepliesWithEightZeroBytesAndRunsTheExitHook) {
  VTR_SetExitHook([] { exitRequested.store(true); });
  Connection c;
  c.SendRaw(Frame(VTR_CMD_EXIT, 0));
  Reply r = c.Receive();
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.body, "");
  c.handler.join();  // it ends at its loop top and leaves its descriptor
  close(c.server);
  EXPECT_TRUE(exitRequested.load());
  EXPECT_TRUE(Logged("Interface: Exiting Vethra...!"));
  VTR_SetExitHook(nullptr);
}

}  // namespace
