
#include "e2e/harness.h"

namespace {

using namespace e2e;

const std::string kLongName = std::string(126, 'a');

// VM 70001 is also known by its instance id 1001, its leader id 70010 and a
// world id 70011. VM 70002's name is 126 ASCII characters and a two-byte
// character; its uuid text is explicitly empty.
const std::string kHost = R"({"vms":[
  {"instanceId":1001,"worldGroupId":70001,"vmmLeaderId":70010,"worldIds":[70011],
   "disks":[{"handleId":8001},{"handleId":8002}]},
  {"instanceId":1002,"worldGroupId":70002,"displayName":")" +
                          kLongName + R"(\u00fc","uuid":"",
   "disks":[{"handleId":8003}]}]})";

TEST(VmSet, AnyIdOfAWatchedVMIsAlreadyWatched) {
  Daemon d;
  StartServing(&d, {{"-w", "70001"}, kHost});
  const struct {
    uint32_t command;
    std::string ids;
    uint32_t code;
    std::string listed;
  } steps[] = {
      {12, "70010", 1, "[70001]"},  // leader id of the watched VM
      {12, "1001", 1, "[70001]"},   // its instance id
      {12, "70011", 1, "[70001]"},  // one of its world ids
      {13, "70010", 0, "[]"},       // delete by the leader id removes the VM
      {12, "70010", 0, "[70001]"},  // appended by the leader id: listed once
      {12, "70001", 1, "[70001]"}, {12, "70002", 0, "[70001,70002]"},
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(std::to_string(s.command) + " " + s.ids);
    std::string body;
    EXPECT_EQ(Request(&d, s.command, R"({"vmWorldGroups":[)" + s.ids + "]}", &body), s.code)
        << body;
    EXPECT_EQ(StatusVmIds(&d), s.listed);
  }
  Json state = HostState(&d);
  EXPECT_EQ(TracedHandles(state.get()),
            (std::set<std::pair<uint64_t, uint64_t>>{{70001, 8001}, {70001, 8002}, {70002, 8003}}));

  // Both VMs are in the metrics document, counted under their world group
  // ids; the long name is cut before the two-byte character.
  Json doc = QueryDoc(&d, 10);
  ASSERT_TRUE(doc);
  json_t *vms = DocVms(doc.get());
  ASSERT_EQ(json_array_size(vms), 2u) << JsonText(doc.get());
  int checked = 0;
  for (size_t i = 0; i < 2; i++) {
    json_t *vm = json_array_get(vms, i);
    if (JsonInt(vm, "worldGroupId") != 70002) continue;
    checked++;
    EXPECT_EQ(json_string_value(json_object_get(vm, "vmName")), kLongName);
    EXPECT_STREQ(json_string_value(json_object_get(vm, "uuid")), "");
  }
  EXPECT_EQ(checked, 1) << JsonText(doc.get());
  StopCleanly(&d);
}

}  // namespace
