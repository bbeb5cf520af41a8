// The registry against the simulated host (every host parameter list the
// daemon creates must be destroyed again), then the hash table, disk keys and
// UUIDs on their own.
#include "registry/registry.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "hostsim.h"
#include "registry/hashutil.h"
#include "trace/record_queue.h"
#include "trace/startup_tracing.h"
#include "trace/tracing.h"
#include "unit/test_support.h"

namespace {

using namespace vtrtest;

// VM 7 (instance 101, leader 70) with two disks, VM 9 (instance 102) with
// one, VM 11 (instance 103) without a VMM and without disks.
const std::string kVms = R"("vms":[
  {"instanceId":101,"worldGroupId":7,"vmmLeaderId":70,"worldIds":[700],"displayName":"db",
   "configFile":"/srv/vms/db/db.conf","uuid":"42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8",
   "disks":[{"handleId":8001,"name":"scsi0:0"},{"handleId":8002,"name":"scsi0:1"}]},
  {"instanceId":102,"worldGroupId":9,"vmmLeaderId":90,"displayName":"web",
   "configFile":"/srv/vms/web/web.conf","disks":[{"handleId":9001,"name":"scsi0:0"}]},
  {"instanceId":103,"worldGroupId":11,"hasVmm":false,"displayName":"helper",
   "configFile":"/srv/vms/helper.conf"}])";
const std::string kHost = "{" + kVms + "}";
// The same host with three disks still traced by an earlier run.
const std::string kStaleHost = "{" + kVms + R"(,"staleTraces":[{"worldGroupId":7,"handleId":8001},
  {"worldGroupId":9,"handleId":9001},{"worldGroupId":7,"handleId":8002}]})";

using Trace = std::pair<uint32_t, uint64_t>;

std::set<Trace> Traced() {
  std::set<Trace> traced;
  json_t *state = HostState();
  size_t i;
  json_t *t;
  json_array_foreach(json_object_get(state, "traced"), i, t) {
    traced.emplace(json_integer_value(json_object_get(t, "worldGroupId")),
                   json_integer_value(json_object_get(t, "handleId")));
  }
  json_decref(state);
  return traced;
}

// One failure (status 0xBAD0001) of the host's next call of node.
void Fault(const std::string &node) {
  const std::string request = R"({"op":"fault","node":")" + node + R"(","status":195887105})";
  hostsim_free(hostsim_control(request.c_str()));
}

const std::string kFailText = BREL_ReturnStatusToString(VTR_FAILURE);

std::vector<uint32_t> ListedVMs() {
  std::vector<uint32_t> ids;
  for (VMListNode *n = VTR_VMListHeadNode()->prev; n != VTR_VMListHeadNode(); n = n->prev)
    ids.push_back(n->worldGroupId);
  return ids;
}

// Adds VM wg through its instance id vm; the caller's list comes back as given.
VTR_Status Add(TARN_ParamList *list, int64_t vm, uint32_t wg) {
  TARN_ParamListAddInt(list, vm);
  VTR_Status status = VTR_AddVMWorldIdToList(wg, list);
  EXPECT_EQ(TARN_ParamListUsedCount(list), 1);
  EXPECT_EQ(TARN_ParamGetInt(TARN_ParamListGetParam(list, 0)), vm);
  TARN_ParamListRemoveLastParam(list);
  return status;
}

class RegistryHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VTR_InitRecordQueue(); }

  void SetUp() override {
    VTR_ResetRunConfig();
    StartLogCapture();
    ASSERT_EQ(hostsim_configure(kHost.c_str(), nullptr), 0);
    ResetRegistry();
    liveLists = HostStateInt("paramListsLive");
    instance = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2);
  }

  void TearDown() override {
    TARN_ParamListDestroy(instance);
    EXPECT_EQ(HostStateInt("paramListsLive"), liveLists) << "a host parameter list leaked";
    StopLogCapture();
    VTR_ResetRunConfig();
  }

  int64_t liveLists = 0;
  TARN_ParamList *instance = nullptr;
};

TEST_F(RegistryHostTest, AddAndRemoveVMs) {
  ASSERT_EQ(Add(instance, 101, 7), VTR_OK);
  VMListNode *db = VTR_FindVM(7);
  ASSERT_NE(db, nullptr);
  EXPECT_STREQ(db->vmName, "db");
  EXPECT_STREQ(db->uuid, "421a2b3c-4d5e-6f70-8192-a3b4c5d6e7f8");
  ASSERT_EQ(db->handleCount, 2);
  EXPECT_EQ(db->handles[0].handleId, 8001u);
  EXPECT_STREQ(db->handles[1].vscsiDevName, "scsi0:1");
  EXPECT_EQ(Add(instance, 101, 7), VTR_FAILURE);

  // A device name that cannot be read leaves the disk listed without a name.
  Fault("worldGroups_vscsi_name");
  ASSERT_EQ(Add(instance, 102, 9), VTR_OK);
  EXPECT_EQ(VTR_FindVM(9)->handles[0].handleId, 9001u);
  EXPECT_STREQ(VTR_FindVM(9)->handles[0].vscsiDevName, "");

  EXPECT_EQ(Add(instance, 103, 11), VTR_FAILURE);
  EXPECT_EQ(ListedVMs(), (std::vector<uint32_t>{7, 9}));  // oldest first

  EXPECT_EQ(VTR_RemoveVMWorldIdFromList(42), VTR_FAILURE);
  EXPECT_EQ(VTR_RemoveVMWorldIdFromList(7), VTR_OK);
  EXPECT_EQ(VTR_RemoveVMWorldIdFromList(9), VTR_OK);
  EXPECT_EQ(VTR_RemoveVMWorldIdFromList(9), VTR_FAILURE);
}

TEST_F(RegistryHostTest, FailedAddLeavesListUnchanged) {
  for (const char *node : {"vm_vmmGroupInfo", "worldGroups_vscsi", "paramListCreate"}) {
    Fault(node);
    EXPECT_EQ(Add(instance, 101, 7), VTR_FAILURE) << node;
  }
  EXPECT_TRUE(VTR_VMListEmpty());
}

TEST_F(RegistryHostTest, LongHostTextsAreTruncated) {
  std::string name(300, 'n'), uuid(100, 'a'),
      host = R"({"vms":[{"worldGroupId":5,"displayName":")" + name + R"(","uuid":")" + uuid +
             R"(","disks":[{"handleId":1,"name":"abcdefghijklmnopqrst"}]}]})";
  ASSERT_EQ(hostsim_configure(host.c_str(), nullptr), 0);
  ASSERT_EQ(Add(instance, 5, 5), VTR_OK);
  VMListNode *vm = VTR_FindVM(5);
  EXPECT_EQ(std::string(vm->vmName), name.substr(0, 127));
  EXPECT_EQ(strlen(vm->uuid), 63u);
  EXPECT_EQ(std::string(vm->handles[0].vscsiDevName), "abcdefghijklmno");
}

TEST_F(RegistryHostTest, EnableThenDisableWithFailedFirstStop) {
  ASSERT_EQ(VTR_EnableVMTrace(7), VTR_OK);
  EXPECT_EQ(Traced(), (std::set<Trace>{{7, 8001}, {7, 8002}}));
  EXPECT_TRUE(HasEntry(7, 8001) && HasEntry(7, 8002));
  EXPECT_EQ(ListedVMs(), std::vector<uint32_t>{7});
  EXPECT_EQ(VTR_AddHashEntry(7, 8001), VTR_FAILURE);

  disabledHandleCount = 0;
  Fault("worldGroups_vscsi_stats_stopVethraTrace");
  EXPECT_EQ(VTR_DisableVMTrace(7, instance), VTR_OK);
  EXPECT_EQ(Traced(), (std::set<Trace>{{7, 8001}}));
  EXPECT_TRUE(HasEntry(7, 8001));
  EXPECT_FALSE(HasEntry(7, 8002));
  EXPECT_EQ(disabledHandleCount, 1u);
  EXPECT_TRUE(VTR_VMListEmpty());
  EXPECT_EQ(TARN_ParamListUsedCount(instance), 0);

  EXPECT_EQ(VTR_DeleteHashEntry(7, 8002), VTR_OK);
  EXPECT_EQ(VTR_DisableVMTrace(42, instance), VTR_FAILURE);
  EXPECT_EQ(TARN_ParamListUsedCount(instance), 0);
}

TEST_F(RegistryHostTest, EnableFailures) {
  EXPECT_EQ(VTR_EnableVMTrace(11), VTR_FAILURE);
  Fault("world_info");
  EXPECT_EQ(VTR_EnableVMTrace(9), VTR_FAILURE);
  EXPECT_TRUE(Traced().empty());

  // A refused start keeps the VM listed without that disk's entry; the
  // result is the last handle's status.
  Fault("worldGroups_vscsi_stats_startVethraTrace");
  EXPECT_EQ(VTR_EnableVMTrace(7), VTR_OK);
  EXPECT_EQ(Traced(), (std::set<Trace>{{7, 8002}}));
  EXPECT_FALSE(HasEntry(7, 8001));
  Fault("worldGroups_vscsi_stats_startVethraTrace");
  EXPECT_EQ(VTR_EnableVMTrace(9), VTR_FAILURE);
  EXPECT_EQ(ListedVMs(), (std::vector<uint32_t>{7, 9}));
}

// A failed count leaves the stale traces for the next try; a handle whose
// information cannot be read is skipped.
TEST_F(RegistryHostTest, InitialCleanupStopsStaleTraces) {
  ASSERT_EQ(hostsim_configure(kStaleHost.c_str(), nullptr), 0);
  Fault("perf_vethra_monitoredDiskCount");
  EXPECT_EQ(VTR_InitialCleanup(), VTR_FAILURE);
  EXPECT_EQ(Traced().size(), 3u);
  EXPECT_EQ(HostStateInt("calls", "perf_vethra_handles"), 0);
  Fault("perf_vethra_handles_handleInfo");
  EXPECT_EQ(VTR_InitialCleanup(), VTR_OK);
  EXPECT_EQ(Traced(), (std::set<Trace>{{7, 8001}}));
  EXPECT_EQ(HostStateInt("calls", "worldGroups_vscsi_stats_stopVethraTrace"), 2);

  // Nothing stale and a failed channel clear: the start time stamp is still
  // reset, no handle is visited.
  ASSERT_EQ(hostsim_configure(kHost.c_str(), nullptr), 0);
  Fault("perf_vethra_command_clearLogChannel");
  EXPECT_EQ(VTR_InitialCleanup(), VTR_OK);
  EXPECT_EQ(HostStateInt("calls", "perf_vethra_command_resetStartTimestamp"), 1);
  EXPECT_EQ(HostStateInt("calls", "perf_vethra_handles"), 0);
}

// Log texts are part of the interface: operators and their log scrapers
// match them byte for byte, misspellings, odd spacing and trailing blanks
// included. Each row starts from the plain host (unless given) and an empty
// registry, takes an earlier step (or none, not captured), injects one host fault (or none),
// makes the call and expects the line.
using L = TARN_ParamList *;  // the fixture's instance list
void AddDb(L l) { Add(l, 101, 7); }
void EnableDb(L) { VTR_EnableVMTrace(7); }
void Cleanup(L) { VTR_InitialCleanup(); }
TEST_F(RegistryHostTest, LogTexts) {
  struct Case {
    const char *fault;
    void (*call)(L);
    int priority;
    std::string text;
    void (*before)(L) = nullptr;
    const std::string *host = &kHost;
  } cases[] = {
      {nullptr, AddDb, 6, "Main: worldId: 7 already exist in the list failed to add it again.",
       AddDb},
      {nullptr, [](L) { VTR_RemoveVMWorldIdFromList(42); }, 4,
       "Main: The worldId:42 not present in the list", AddDb},
      {nullptr, [](L) { VTR_AddHashEntry(7, 8001); }, 4,
       "Main: Duplicate hashkey for worldGroupId:7 handleId:8001 Hash: 37", EnableDb},
      {"worldGroups_vscsi_stats_stopVethraTrace", [](L l) { VTR_DisableVMTrace(7, l); }, 3,
       "Monitor: Failed to stop tracing for VMid: 7  handleid: 8001", EnableDb},
      {"worldGroups_vscsi_name", [](L l) { Add(l, 102, 9); }, 3,
       "Main: Failed to fetch dev name for handleid:9001"},
      {nullptr, [](L l) { Add(l, 103, 11); }, 3, "Main: Id:11 Not a valid VM worldId."},
      {nullptr, [](L) { VTR_RemoveVMWorldIdFromList(9); }, 6, "Main:The WorldId list is empty"},
      {"vm_vmmGroupInfo", AddDb, 3,
       "Main: TARN_Get() failed to get device name for VM: 7 ,err: " + kFailText},
      {"worldGroups_vscsi", AddDb, 3,
       "Main: Failed to get vscsi handle list for worldId: 7 in VTR_AddVMWorldIdToList()"},
      {"paramListCreate", AddDb, 3,
       "Monitor: Insufficient memory to create TARN Param list for VM: 7"},
      {nullptr, EnableDb, 6, " Monitor: vmLeaderID : 70"},
      {nullptr, [](L) { VTR_DeleteHashEntry(7, 8002); }, 4,
       "Main: No hash entry found for vm: 7 and handleid: 8002"},
      {nullptr, [](L l) { VTR_DisableVMTrace(42, l); }, 3,
       "Monitor: TARN_GetInstanceList() failed for VMid:42"},
      {nullptr, [](L) { VTR_EnableVMTrace(11); }, 3,
       "Monitor: Failed to add WorldID to VMlist : 11"},
      {"world_info", [](L) { VTR_EnableVMTrace(9); }, 3,
       "Monitor: Failed to get the groupID for vmId : 9"},
      {nullptr, Cleanup, 6, "Main: Disks monitored from previous run : 3", nullptr, &kStaleHost},
      {"perf_vethra_handles_handleInfo", Cleanup, 3,
       "Main: Failed to get the handleInfo for handleId: 8001 with err:" + kFailText + " ", nullptr,
       &kStaleHost},
      {"perf_vethra_monitoredDiskCount", Cleanup, 3,
       "Main: Failed to get monitored Disk Count (195887105)", nullptr, &kStaleHost},
      {"perf_vethra_command_clearLogChannel", Cleanup, 3,
       "Main: Failed to set TARN command node:clearLogChannel(195887105): " + kFailText},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(hostsim_configure(c.host->c_str(), nullptr), 0);
    ResetRegistry();
    if (c.before) c.before(instance);
    StartLogCapture();
    if (c.fault) Fault(c.fault);
    c.call(instance);
    EXPECT_TRUE(Logged(c.text, c.priority));
  }
}

struct Selection {
  bool all;
  std::vector<uint32_t> ids, listed;
  std::set<Trace> traced;
};

class SelectionTest : public RegistryHostTest, public ::testing::WithParamInterface<Selection> {};

TEST_P(SelectionTest, AddsAndTracesTheSelectedVMs) {
  const Selection &s = GetParam();
  VTR_StartupConfig().monitorAll = s.all;
  VTR_StartupConfig().worldGroupGiven = !s.ids.empty();
  for (uint32_t id : s.ids)
    VTR_StartupConfig().worldGroupIds[VTR_StartupConfig().worldGroupCount++] = id;
  EXPECT_EQ(VTR_EnableVMVscsiTrace(), VTR_OK);
  EXPECT_EQ(ListedVMs(), s.listed);
  EXPECT_EQ(Traced(), s.traced);
  for (const Trace &t : s.traced) EXPECT_TRUE(HasEntry(t.first, t.second));
  EXPECT_EQ(Logged("Main: Failed to add WorldID to VMlist : 7", 3), s.all && !s.ids.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, SelectionTest,
    ::testing::Values(Selection{true, {}, {7, 9}, {{7, 8001}, {7, 8002}, {9, 9001}}},
                      Selection{false, {9}, {9}, {{9, 9001}}},
                      Selection{true, {7}, {7, 9}, {{7, 8001}, {7, 8002}}},
                      Selection{false, {42}, {}, {}}));

TEST_F(RegistryHostTest, StartupSkipsVMWithoutCartelIdAndStopTracingUndoesAll) {
  VTR_StartupConfig().monitorAll = true;
  Fault("vm_cartelID");
  ASSERT_EQ(VTR_EnableVMVscsiTrace(), VTR_OK);
  EXPECT_TRUE(Logged("Main: Failed to get cartel id for VM instance: 101", 3));
  EXPECT_EQ(ListedVMs(), std::vector<uint32_t>{9});
  EXPECT_EQ(Traced(), (std::set<Trace>{{9, 9001}}));

  ASSERT_EQ(VTR_EnableVMTrace(7), VTR_OK);
  // Without -w the shutdown walks the host's VMs, not vmList: VM 9's trace
  // is stopped even when the daemon no longer lists it.
  ASSERT_EQ(VTR_RemoveVMWorldIdFromList(9), VTR_OK);
  Fault("vm_cartelID");  // VM 7 cannot be addressed at shutdown
  EXPECT_EQ(VTR_StopTracing(), VTR_OK);
  EXPECT_TRUE(Logged("Monitor: Failed to get cartel id for VM instance: 101", 3));
  EXPECT_TRUE(Logged("Monitor: Failed to stop tracing for WorldId : 103", 3));
  EXPECT_TRUE(Logged("Monitor: Number of handles disabled :1", 6));
  EXPECT_EQ(Traced(), (std::set<Trace>{{7, 8001}, {7, 8002}}));
  EXPECT_EQ(ListedVMs(), std::vector<uint32_t>{7});
}

// With -w the stop visits the listed ids, then every VM still in vmList
// (one added at run time), each once.
TEST_F(RegistryHostTest, StopTracingWithWorldGroupIdsAlsoStopsAddedVMs) {
  VTR_StartupConfig().worldGroupGiven = true;
  VTR_StartupConfig().worldGroupIds[VTR_StartupConfig().worldGroupCount++] = 9;
  VTR_StartupConfig().worldGroupIds[VTR_StartupConfig().worldGroupCount++] = 42;
  ASSERT_EQ(VTR_EnableVMVscsiTrace(), VTR_OK);
  ASSERT_EQ(VTR_EnableVMTrace(7), VTR_OK);  // added at run time
  logLines.clear();
  EXPECT_EQ(VTR_StopTracing(), VTR_OK);
  EXPECT_TRUE(Logged("Monitor: Failed to stop tracing for WorldId : 42", 3));
  EXPECT_EQ(disabledHandleCount, 3u);
  EXPECT_TRUE(Traced().empty());
  EXPECT_TRUE(VTR_VMListEmpty());
  EXPECT_FALSE(HasEntry(9, 9001) || HasEntry(7, 8001) || HasEntry(7, 8002));
  const std::string disable = "Monitor: Disable the monitoring for the VM :";
  std::string disabled;  // the ids of those lines, in order
  for (const auto &[priority, line] : logLines) {
    if (line.starts_with(disable)) disabled += line.substr(disable.size()) + ";";
  }
  EXPECT_EQ(disabled, "9;42;7;");
}

// Without -w (the end-to-end list-mode test uses -w) every VM is printed
// with its disks, one without a VMM too. A VM whose information cannot be read
// shows the host's status text, a disk whose name cannot be read is left out.
TEST_F(RegistryHostTest, ListModePrintsVMsAndDisks) {
  VTR_StartupConfig().listMode = true;
  Fault("vm_vmmGroupInfo");
  Fault("worldGroups_vscsi_name");
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(VTR_EnableVMVscsiTrace(), VTR_OK);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "One of the TARN apis failed with error(195887105): " + kFailText +
                "Virtual SCSI Disk handleID: 8002 (scsi0:1)\n"
                "Virtual Machine worldGroupID: 9, Virtual Machine Display Name: web, Virtual "
                "Machine Config File: /srv/vms/web/web.conf, \n"
                "Virtual SCSI Disk handleID: 9001 (scsi0:0)\n"
                "Virtual Machine worldGroupID: 11, Virtual Machine Display Name: helper, Virtual "
                "Machine Config File: /srv/vms/helper.conf, \n");
  EXPECT_TRUE(Logged("Monitor: Failed to fetch dev name for handleid:8001", 3));
  EXPECT_TRUE(VTR_VMListEmpty());
  EXPECT_TRUE(Traced().empty());
}

std::string PtrText(const void *p) { return ::testing::PrintToString(p); }  // as %p writes it

class HashTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTR_ResetRunConfig();
    StartLogCapture();
    ASSERT_EQ(hash_init(&table, 10), 0);
    for (int i = 0; i < 4; i++) nodes[i] = hash_node{nullptr, 0, &values[i]};
  }
  void TearDown() override {
    if (table.buckets) hash_destroy(&table);
    StopLogCapture();
    VTR_ResetRunConfig();
  }
  hash_node *Node(int i, uint64_t key) {
    nodes[i].key = key;
    return &nodes[i];
  }

  hash_table table{};
  hash_node nodes[4];
  int values[4] = {};
};

TEST_F(HashTableTest, DuplicateKeyIsRefusedAndTableStaysUsable) {
  ASSERT_EQ(hash_insert(&table, Node(0, 0x1234)), 0);
  EXPECT_EQ(logLines.back(), std::make_pair(7, "inserting key 0x1234 (ptr " + PtrText(&values[0]) +
                                                   ") into bucket[0]"));
  EXPECT_EQ(hash_insert(&table, Node(1, 0x1234)), -1);
  EXPECT_EQ(logLines.back(), std::make_pair(3, std::string("REHASHING 0x1234")));
  EXPECT_EQ(hash_lookup(&table, 0x1234), &values[0]);
  EXPECT_EQ(hash_lookup_node(&table, 0x1234), &nodes[0]);
  EXPECT_EQ(nodes[0].next, nullptr);
}

TEST_F(HashTableTest, CollisionChainAndRemovalFromMiddleEndAndHead) {
  ASSERT_EQ(hash_insert(&table, Node(0, 3)), 0);
  ASSERT_EQ(hash_insert(&table, Node(1, 13)), 0);
  EXPECT_EQ(logLines.back().second,
            "inserting key 0xd (ptr " + PtrText(&values[1]) + ") into bucket[3] (COLLISION)");
  ASSERT_EQ(hash_insert(&table, Node(2, 23)), 0);  // chain: 23 -> 13 -> 3

  logLines.clear();
  EXPECT_EQ(hash_lookup(&table, 33), nullptr);  // same bucket, absent key
  EXPECT_EQ(hash_remove(&table, 33), nullptr);
  EXPECT_EQ(hash_remove(&table, 4), nullptr);  // empty bucket
  EXPECT_TRUE(logLines.empty());
  EXPECT_EQ(hash_remove(&table, 13), &values[1]);
  EXPECT_EQ(logLines.back(), std::make_pair(7, "removed key 0xd (ptr " + PtrText(&values[1]) +
                                                   ") from middle of bucket"));
  EXPECT_EQ(hash_lookup(&table, 3), &values[0]);

  EXPECT_EQ(hash_remove(&table, 3), &values[0]);
  EXPECT_EQ(logLines.back().second,
            "removed key 0x3 (ptr " + PtrText(&values[0]) + ") from end of bucket");

  logLines.clear();
  EXPECT_EQ(hash_remove(&table, 23), &values[2]);
  EXPECT_TRUE(logLines.empty());
  EXPECT_EQ(hash_lookup_node(&table, 23), nullptr);
}

TEST_F(HashTableTest, DestroyedOrInvalidTablesAreRefused) {
  ASSERT_EQ(hash_insert(&table, Node(0, 5)), 0);
  ASSERT_EQ(hash_destroy(&table), 0);
  EXPECT_EQ(logLines.back(), std::make_pair(6, "hash " + PtrText(&table) + " destroyed"));
  EXPECT_EQ(values[0], 0);  // the linked record is left alone
  EXPECT_EQ(hash_insert(&table, Node(1, 6)), -1);
  EXPECT_EQ(hash_lookup_node(&table, 5), nullptr);
  EXPECT_EQ(hash_remove(&table, 5), nullptr);
  EXPECT_EQ(hash_destroy(&table), -1);
  EXPECT_EQ(hash_init(&table, 0), -1);
  EXPECT_EQ(hash_init(&table, -4), -1);
}

TEST(DiskKeyTest, DocumentedValues) {
  EXPECT_EQ(VTR_GetDiskKey(1, 2), 8u);
  EXPECT_EQ(VTR_GetDiskKey(0, 0), 0u);
  EXPECT_EQ(VTR_GetDiskKey(70000, 0), 302551352u);      // the product wraps before the halving
  EXPECT_EQ(VTR_GetDiskKey(5, (1ULL << 32) + 7), 85u);  // same key as handle 7
}

std::string Uuid(const char *source, size_t size = VTR_UUID_SIZE) {
  char out[VTR_UUID_SIZE + 8];
  memset(out, 'x', sizeof out);
  VTR_FormatUuid(source, out, size);
  return out;
}

TEST(UuidTest, DashedFormFromHostText) {
  EXPECT_EQ(Uuid("0011223344556677-8899aabbccddeeff"), "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(Uuid(""), "");
  EXPECT_EQ(Uuid("abc"), "abc");
  EXPECT_EQ(Uuid(std::string(100, 'a').c_str()), "aaaaaaaa-aaaa-aaaa-aaaa-" + std::string(39, 'a'));
  EXPECT_EQ(Uuid("0011223344556677", 10), "00112233-");  // never beyond the buffer
}

}  // namespace
