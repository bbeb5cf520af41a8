// Unit tests of hostsim, the simulated libhostrt.so, through the TARN
// interface and the in-process control API.
#include <gtest/gtest.h>
#include <jansson.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/hostrt.h"
#include "hostsim.h"
#include "trace/record_queue.h"

namespace {

constexpr uint32_t NOT_FOUND = 0xBAD0062;

// Two VMs with distinct instance, world group, leader and world ids; no workloads.
const char *kHost = R"({
  "vms": [
    {"instanceId": 11, "worldGroupId": 500, "vmmLeaderId": 501, "worldIds": [502, 503],
     "displayName": "alpha", "configFile": "/vmfs/alpha/alpha.vmx",
     "uuid": "42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8",
     "disks": [{"handleId": 9001, "name": "scsi0:0"},
               {"handleId": 9002, "name": "a-very-long-disk-name-indeed"}]},
    {"instanceId": 12, "worldGroupId": 600, "hasVmm": false,
     "disks": [{"handleId": 9101}]}
  ],
  "staleTraces": [{"worldGroupId": 777, "handleId": 4242}]
})";

struct List {
  TARN_ParamList *l;
  explicit List(std::initializer_list<int64_t> ids, int kind = TARN_PARAMLIST_INSTANCE)
      : l(TARN_ParamListCreate(kind, 2)) {
    for (int64_t id : ids) TARN_ParamListAddInt(l, id);
  }
  ~List() { TARN_ParamListDestroy(l); }
};

json_t *control(const std::string &req) {
  char *text = hostsim_control(req.c_str());
  json_t *j = json_loads(text, 0, nullptr);
  hostsim_free(text);
  return j;
}

int64_t controlInt(const std::string &req, const char *key) {
  json_t *j = control(req);
  int64_t v = json_integer_value(json_object_get(j, key));
  json_decref(j);
  return v;
}

int64_t stateInt(const char *key, const char *sub = nullptr) {
  json_t *j = control(R"({"op":"state"})");
  json_t *o = sub ? json_object_get(json_object_get(j, sub), key) : json_object_get(j, key);
  int64_t v = json_integer_value(o);
  json_decref(j);
  return v;
}

uint32_t start(int64_t vm, int64_t handle) {
  List inst{vm, handle};
  uint32_t word = 0;
  return TARN_Set(TARN_NODE_worldGroups_vscsi_stats_startVethraTrace, inst.l, nullptr, &word, 0);
}

std::string recordJson(uint32_t wg, uint64_t handle, uint64_t ts) {
  return "{\"opcode\":42,\"worldGroupId\":" + std::to_string(wg) + ",\"handleId\":" +
         std::to_string(handle) + ",\"length\":4096,\"lba\":" + std::to_string(ts * 8) +
         ",\"timestamp\":" + std::to_string(ts) + ",\"latency\":" + std::to_string(ts + 1) + "}";
}

std::string injectRequest(uint32_t wg, uint64_t handle, int n, uint64_t firstTs = 1) {
  std::string r = R"({"op":"inject","records":[)";
  for (int i = 0; i < n; i++) r += (i ? "," : "") + recordJson(wg, handle, firstTs + i);
  return r + "]}";
}

// Reads one chunk of the trace channel; returns its data bytes.
std::vector<uint8_t> readChunk() {
  TARN_ParamList *inst = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1);
  TARN_ParamListAddString(inst, "vethra_vscsi_trace");
  std::vector<uint8_t> buf(TARN_LOGCHANNEL_BUFFER_SIZE);
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_perf_logChannel_data, inst, buf.data(), buf.size()));
  uint32_t n;
  memcpy(&n, buf.data(), 4);
  TARN_ParamListDestroy(inst);
  return std::vector<uint8_t>(buf.begin() + 4, buf.begin() + 4 + n);
}

void ack(int64_t bytes) {
  TARN_ParamList *inst = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1);
  TARN_ParamListAddString(inst, "vethra_vscsi_trace");
  List input{bytes};
  TARN_ParamListRemoveLastParam(input.l);
  TARN_ParamListAddInt(input.l, bytes);
  uint32_t word;
  EXPECT_EQ(0u, TARN_Set(TARN_NODE_perf_logChannel_data, inst, input.l, &word, 0));
  TARN_ParamListDestroy(inst);
}

class Hostsim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, hostsim_configure(kHost, nullptr)); }
};

TEST_F(Hostsim, InvalidDescriptionKeepsPreviousHost) {
  EXPECT_EQ(-1, hostsim_configure("{\"vms\":[{\"displayName\":\"no id\"}]}", nullptr));
  EXPECT_EQ(-1, hostsim_configure("not json", nullptr));
  List inst{500};
  uint8_t flag = 0;
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
}

TEST_F(Hostsim, VmListAndRecords) {
  TARN_ParamList *vms = nullptr;
  ASSERT_EQ(0u, TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &vms));
  ASSERT_EQ(2, TARN_ParamListUsedCount(vms));
  EXPECT_EQ(11, TARN_ParamGetInt(TARN_ParamListGetParam(vms, 0)));
  EXPECT_EQ(12, TARN_ParamGetInt(TARN_ParamListGetParam(vms, 1)));
  EXPECT_EQ(nullptr, TARN_ParamListGetParam(vms, 2));
  TARN_ParamListDestroy(vms);

  List inst{11};
  uint32_t cartel = 0;
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_vm_vmxCartelID, inst.l, &cartel, 4));
  EXPECT_EQ(500u, cartel);
  std::vector<char> info(TARN_VMMGROUPINFO_SIZE, 'x');
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_vm_vmmGroupInfo, inst.l, info.data(), info.size()));
  EXPECT_STREQ("42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8", &info[TARN_VMMGROUPINFO_UUID_OFFSET]);
  EXPECT_STREQ("alpha", &info[TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET]);
  EXPECT_STREQ("/vmfs/alpha/alpha.vmx", &info[TARN_VMMGROUPINFO_CONFIGFILE_OFFSET]);
}

TEST_F(Hostsim, InstanceAddressingByAnyId) {
  for (int64_t id : {11, 500, 501}) {
    List inst{id};
    uint8_t hasVmm = 0;
    uint32_t leader = 0;
    EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &hasVmm, 1)) << id;
    EXPECT_EQ(1, hasVmm);
    EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_vmmLeaderID, inst.l, &leader, 4));
    EXPECT_EQ(501u, leader);
    TARN_ParamList *handles = TARN_ParamListCreateAndAllocateParams(TARN_PARAMLIST_INSTANCE, 1000, 128000);
    ASSERT_EQ(0u, TARN_GetInstanceList(TARN_NODE_worldGroups_vscsi, inst.l, handles));
    ASSERT_EQ(2, TARN_ParamListUsedCount(handles));
    EXPECT_EQ(9002, TARN_ParamGetInt(TARN_ParamListGetParam(handles, 1)));
    TARN_ParamListDestroy(handles);
  }
  for (int64_t id : {502, 503, 500, 11, 501}) {
    List inst{id};
    uint8_t rec[TARN_WORLDINFO_SIZE];
    ASSERT_EQ(0u, TARN_Get(TARN_NODE_world_info, inst.l, rec, sizeof rec)) << id;
    uint32_t group;
    memcpy(&group, rec + TARN_WORLDINFO_GROUPID_OFFSET, 4);
    EXPECT_EQ(500u, group);
  }
  List unknown{999};
  uint8_t flag;
  EXPECT_EQ(NOT_FOUND, TARN_Get(TARN_NODE_worldGroups_hasVmm, unknown.l, &flag, 1));

  // hasVmm false and the default leader (= world group id) of the second VM.
  List second{600};
  uint32_t leader = 0;
  flag = 7;
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, second.l, &flag, 1));
  EXPECT_EQ(0, flag);
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_vmmLeaderID, second.l, &leader, 4));
  EXPECT_EQ(600u, leader);

  // Disk names: NUL-terminated within 16 bytes.
  List disk{501, 9002};
  char name[TARN_VSCSI_NAME_SIZE];
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_vscsi_name, disk.l, name, sizeof name));
  EXPECT_STREQ("a-very-long-dis", name);
  List noDisk{500, 1};
  EXPECT_EQ(NOT_FOUND, TARN_Get(TARN_NODE_worldGroups_vscsi_name, noDisk.l, name, sizeof name));
}

TEST_F(Hostsim, TraceSwitchesAndStaleTraces) {
  int32_t count = 0;
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_perf_vethra_monitoredDiskCount, nullptr, &count, 4));
  EXPECT_EQ(1, count);  // the stale trace
  ASSERT_EQ(0u, start(501, 9001));  // addressed by the leader id, traced under the world group
  EXPECT_EQ(NOT_FOUND, start(500, 1));
  EXPECT_EQ(NOT_FOUND, start(999, 9001));

  TARN_ParamList *handles = TARN_ParamListCreateAndAllocateParams(TARN_PARAMLIST_INSTANCE, 1000, 128000);
  ASSERT_EQ(0u, TARN_GetInstanceList(TARN_NODE_perf_vethra_handles, nullptr, handles));
  std::vector<int64_t> ids;
  for (int i = 0; i < TARN_ParamListUsedCount(handles); i++)
    ids.push_back(TARN_ParamGetInt(TARN_ParamListGetParam(handles, i)));
  TARN_ParamListDestroy(handles);
  EXPECT_EQ((std::vector<int64_t>{9001, 4242}), ids);

  List h{4242};
  uint8_t rec[TARN_HANDLEINFO_SIZE];
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_perf_vethra_handles_handleInfo, h.l, rec, sizeof rec));
  uint32_t wg;
  uint64_t handle;
  memcpy(&wg, rec, 4);
  memcpy(&handle, rec + 4, 8);
  EXPECT_EQ(777u, wg);
  EXPECT_EQ(4242u, handle);

  // Stop the stale trace of a world group the host does not have, then a real one.
  uint32_t word;
  List stale{777, 4242}, real{500, 9001};
  EXPECT_EQ(0u, TARN_Set(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, stale.l, nullptr, &word, 0));
  EXPECT_EQ(0u, TARN_Set(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, real.l, nullptr, &word, 0));
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_perf_vethra_monitoredDiskCount, nullptr, &count, 4));
  EXPECT_EQ(0, count);
}

TEST_F(Hostsim, PowerOffAndOn) {
  ASSERT_EQ(0u, start(500, 9001));
  json_t *r = control(R"({"op":"powerOff","worldGroupId":500})");
  EXPECT_TRUE(json_is_true(json_object_get(r, "ok")));
  json_decref(r);
  List inst{500};
  uint8_t flag;
  uint32_t cartel;
  EXPECT_EQ(NOT_FOUND, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
  List byInstance{11};
  EXPECT_EQ(NOT_FOUND, TARN_Get(TARN_NODE_vm_vmxCartelID, byInstance.l, &cartel, 4));
  EXPECT_EQ(NOT_FOUND, start(500, 9001));
  TARN_ParamList *vms = nullptr;
  ASSERT_EQ(0u, TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &vms));
  EXPECT_EQ(1, TARN_ParamListUsedCount(vms));
  TARN_ParamListDestroy(vms);
  // Its trace is gone: injected records are skipped.
  EXPECT_EQ(3, controlInt(injectRequest(500, 9001, 3), "skipped"));

  r = control(R"({"op":"powerOn","worldGroupId":11})");
  json_decref(r);
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
  EXPECT_EQ(3, controlInt(injectRequest(500, 9001, 3), "skipped"));  // traces stay off
}

TEST_F(Hostsim, FaultInjectionAndCallCounts) {
  json_t *r = control(R"({"op":"fault","node":"worldGroups_hasVmm","status":"0xBAD0094","count":2})");
  EXPECT_TRUE(json_is_true(json_object_get(r, "ok")));
  json_decref(r);
  List inst{500};
  uint8_t flag;
  EXPECT_EQ(0xBAD0094u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
  EXPECT_EQ(0xBAD0094u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));
  EXPECT_EQ(3, stateInt("worldGroups_hasVmm", "calls"));

  r = control(R"({"op":"fault","node":"paramListCreate","status":234881044,"count":1})");
  json_decref(r);
  EXPECT_EQ(nullptr, TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1));
  TARN_ParamList *l = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1);
  EXPECT_NE(nullptr, l);
  TARN_ParamListDestroy(l);

  r = control(R"({"op":"fault","node":"noSuchNode","status":1})");
  EXPECT_TRUE(json_is_string(json_object_get(r, "error")));
  json_decref(r);
}

TEST_F(Hostsim, ChannelChunksCutRecordsAndAck) {
  ASSERT_EQ(0u, start(500, 9001));
  json_t *r = control(injectRequest(500, 9001, 400));
  EXPECT_EQ(400, json_integer_value(json_object_get(r, "appended")));
  EXPECT_EQ(0, json_integer_value(json_object_get(r, "skipped")));
  json_decref(r);

  std::vector<uint8_t> first = readChunk();
  ASSERT_EQ(size_t(TARN_LOGCHANNEL_MAX_DATA), first.size());
  EXPECT_EQ(first, readChunk());  // nothing acknowledged yet: same bytes again
  ack(first.size());
  std::vector<uint8_t> second = readChunk();
  ASSERT_EQ(size_t(400 * 48 - TARN_LOGCHANNEL_MAX_DATA), second.size());
  ack(second.size());
  EXPECT_TRUE(readChunk().empty());

  std::vector<uint8_t> all(first);
  all.insert(all.end(), second.begin(), second.end());
  for (int i = 0; i < 400; i++) {
    TraceRecord rec;
    memcpy(&rec, all.data() + i * 48, 48);
    ASSERT_EQ(uint64_t(i + 1), rec.timestamp);
    EXPECT_EQ(0x2A, rec.opcode);
    EXPECT_EQ(500u, rec.worldGroupId);
    EXPECT_EQ(9001u, rec.handleId);
    EXPECT_EQ(uint64_t(i + 2), rec.latency);
  }
  // Record 341 is the one cut across the two reads (16380 = 341 * 48 + 12).
  EXPECT_EQ(400, stateInt("recordsAcknowledged"));
  EXPECT_EQ(0, stateInt("recordsDropped"));
}

TEST_F(Hostsim, InjectSkipsUntracedAndClearEmpties) {
  ASSERT_EQ(0u, start(500, 9001));
  std::string req = R"({"op":"inject","records":[)" + recordJson(500, 9001, 1) + "," +
                    recordJson(500, 9002, 2) + "," + recordJson(600, 9101, 3) + "]}";
  json_t *r = control(req);
  EXPECT_EQ(1, json_integer_value(json_object_get(r, "appended")));
  EXPECT_EQ(2, json_integer_value(json_object_get(r, "skipped")));
  json_decref(r);
  EXPECT_EQ(48u, readChunk().size());
  uint8_t cmd[128];
  ASSERT_EQ(0u, TARN_Set(TARN_NODE_perf_vethra_command_clearLogChannel, nullptr, nullptr, cmd, 128));
  EXPECT_TRUE(readChunk().empty());
}

TEST(HostsimRing, FullRingDropsGeneratedButInjectWaits) {
  // A 100-record ring and a disk generating 200000 I/Os per second.
  ASSERT_EQ(0, hostsim_configure(R"({"channelCapacityBytes": 4800, "vms": [
      {"worldGroupId": 1, "disks": [
        {"handleId": 1, "workload": {"rate": 200000, "readFraction": 1}},
        {"handleId": 2}]}]})", nullptr));
  ASSERT_EQ(0u, start(1, 1));
  for (int i = 0; i < 200 && stateInt("recordsDropped") == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(stateInt("recordsDropped"), 0);
  EXPECT_EQ(4800, stateInt("usedBytes", "channel"));
  std::vector<uint8_t> chunk = readChunk();
  ASSERT_EQ(4800u, chunk.size());
  TraceRecord rec;
  memcpy(&rec, chunk.data() + 48, 48);
  EXPECT_EQ(0x28, rec.opcode);
  EXPECT_EQ(1u, rec.handleId);

  // Stop the generator's disk, then inject 1000 records through the same ring
  // while a reader drains it: all arrive, in order, none dropped.
  List inst{1, 1};
  uint32_t word;
  ASSERT_EQ(0u, TARN_Set(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, inst.l, nullptr, &word, 0));
  uint8_t cmd[128];
  ASSERT_EQ(0u, TARN_Set(TARN_NODE_perf_vethra_command_clearLogChannel, nullptr, nullptr, cmd, 128));
  int64_t droppedBefore = stateInt("recordsDropped");
  ASSERT_EQ(0u, start(1, 2));
  json_t *reply = nullptr;
  std::thread injector([&] { reply = control(injectRequest(1, 2, 1000)); });
  std::vector<uint8_t> stream;
  while (stream.size() < 1000 * 48) {
    std::vector<uint8_t> c = readChunk();
    if (c.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    size_t take = c.size() - c.size() % 48;  // whole records only
    stream.insert(stream.end(), c.begin(), c.begin() + take);
    ack(take);
  }
  injector.join();
  EXPECT_EQ(1000, json_integer_value(json_object_get(reply, "appended")));
  json_decref(reply);
  for (int i = 0; i < 1000; i++) {
    memcpy(&rec, stream.data() + i * 48, 48);
    ASSERT_EQ(uint64_t(i + 1), rec.timestamp);
  }
  EXPECT_EQ(droppedBefore, stateInt("recordsDropped"));
}

TEST(HostsimWorkload, GeneratesRecordsForTracedDisksOnly) {
  ASSERT_EQ(0, hostsim_configure(R"({"vms": [{"worldGroupId": 3, "disks": [
      {"handleId": 30, "workload": {"rate": 5000, "readFraction": 0, "sizes": [{"bytes": 1048576, "weight": 1}],
                                    "sequentialFraction": 1, "workingSetBlocks": 100000,
                                    "latency": {"meanUs": 100, "jitterUs": 0}, "seed": 5}},
      {"handleId": 31, "workload": {"rate": 5000}}]}]})", nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(readChunk().empty());  // nothing traced yet
  ASSERT_EQ(0u, start(3, 30));
  std::vector<uint8_t> data;
  for (int i = 0; i < 200 && data.size() < 48 * 20; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    data = readChunk();
  }
  ASSERT_GE(data.size(), 48u * 20);
  TraceRecord prev{};
  for (size_t off = 0; off + 48 <= data.size(); off += 48) {
    TraceRecord rec;
    memcpy(&rec, data.data() + off, 48);
    EXPECT_EQ(30u, rec.handleId);
    EXPECT_EQ(0x2A, rec.opcode);
    EXPECT_EQ(1048576u, rec.length);
    EXPECT_EQ(100u, rec.latency);
    if (off > 0) {
      EXPECT_EQ(prev.lba + 2048, rec.lba);  // sequential 1 MiB writes
      EXPECT_GE(rec.timestamp, prev.timestamp);
    }
    prev = rec;
  }
}

TEST(HostsimWorkload, ReplayRewritesIdsAndKeepsSpacing) {
  std::string path = "/tmp/hostsim_replay_" + std::to_string(getpid()) + ".rec";
  std::vector<TraceRecord> file(3);
  for (int i = 0; i < 3; i++) {
    file[i] = TraceRecord{};
    file[i].opcode = 0x2A;
    file[i].worldGroupId = 99;  // rewritten to the disk's ids
    file[i].handleId = 99;
    file[i].length = 512 * (i + 1);
    file[i].lba = 100 + i;
    file[i].timestamp = 5000000 + 1000 * i;  // 1 ms apart
    file[i].latency = 7;
  }
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  fwrite(file.data(), 48, 3, f);
  fclose(f);
  std::string host = R"({"vms":[{"worldGroupId":4,"disks":[{"handleId":40,"workload":{"replay":")" + path +
                     R"(","replayLoop":false}}]}]})";
  ASSERT_EQ(0, hostsim_configure(host.c_str(), nullptr));
  ASSERT_EQ(0u, start(4, 40));
  std::vector<uint8_t> data;
  for (int i = 0; i < 200 && data.size() < 3 * 48; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    data = readChunk();
  }
  ASSERT_EQ(3u * 48, data.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(3u * 48, readChunk().size());  // no loop
  for (int i = 0; i < 3; i++) {
    TraceRecord rec;
    memcpy(&rec, data.data() + i * 48, 48);
    EXPECT_EQ(4u, rec.worldGroupId);
    EXPECT_EQ(40u, rec.handleId);
    EXPECT_EQ(uint32_t(512 * (i + 1)), rec.length);
    EXPECT_EQ(uint64_t(100 + i), rec.lba);
    if (i > 0) {
      TraceRecord prev;
      memcpy(&prev, data.data() + (i - 1) * 48, 48);
      EXPECT_EQ(1000u, rec.timestamp - prev.timestamp);
    }
  }
  unlink(path.c_str());
}

TEST(HostsimWorkload, ReorderPullsTimestampsBack) {
  ASSERT_EQ(0, hostsim_configure(R"({"vms": [{"worldGroupId": 5, "disks": [
      {"handleId": 50, "workload": {"rate": 50000, "reorder": {"fraction": 0.3, "maxUs": 2000}}}]}]})",
                                 nullptr));
  ASSERT_EQ(0u, start(5, 50));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<uint8_t> data = readChunk();
  ASSERT_GE(data.size(), 48u * 100);
  int backwards = 0;
  for (size_t off = 48; off + 48 <= data.size(); off += 48) {
    TraceRecord a, b;
    memcpy(&a, data.data() + off - 48, 48);
    memcpy(&b, data.data() + off, 48);
    backwards += b.timestamp < a.timestamp;
  }
  EXPECT_GT(backwards, 0);
}

TEST_F(Hostsim, AddVmAndWorkloadOps) {
  json_t *r = control(R"({"op":"addVm","vm":{"instanceId":13,"worldGroupId":700,"disks":[{"handleId":1}]}})");
  EXPECT_EQ(700, json_integer_value(json_object_get(r, "worldGroupId")));
  json_decref(r);
  r = control(R"({"op":"addVm","vm":{"worldGroupId":700}})");
  EXPECT_TRUE(json_is_string(json_object_get(r, "error")));  // duplicate
  json_decref(r);
  TARN_ParamList *vms = nullptr;
  ASSERT_EQ(0u, TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &vms));
  EXPECT_EQ(3, TARN_ParamListUsedCount(vms));
  EXPECT_EQ(13, TARN_ParamGetInt(TARN_ParamListGetParam(vms, 2)));
  TARN_ParamListDestroy(vms);

  ASSERT_EQ(0u, start(700, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(readChunk().empty());  // no workload yet
  r = control(R"({"op":"workload","worldGroupId":13,"handleId":1,"workload":{"rate":20000,"readFraction":1}})");
  EXPECT_TRUE(json_is_true(json_object_get(r, "ok")));
  json_decref(r);
  std::vector<uint8_t> data;
  for (int i = 0; i < 200 && data.empty(); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    data = readChunk();
  }
  ASSERT_GE(data.size(), 48u);
  TraceRecord rec;
  memcpy(&rec, data.data(), 48);
  EXPECT_EQ(700u, rec.worldGroupId);
  EXPECT_EQ(0x28, rec.opcode);
}

TEST_F(Hostsim, ParamListCreateDestroyCounting) {
  int64_t created = stateInt("paramListsCreated"), destroyed = stateInt("paramListsDestroyed");
  TARN_ParamList *a = TARN_ParamListCreate(TARN_PARAMLIST_INPUT, 1);
  TARN_ParamList *b = nullptr;
  ASSERT_EQ(0u, TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &b));
  for (int i = 0; i < 5000; i++) ASSERT_EQ(0u, TARN_ParamListAddInt(a, i));  // grows past capacity
  EXPECT_EQ(5000, TARN_ParamListUsedCount(a));
  EXPECT_EQ(4999, TARN_ParamGetInt(TARN_ParamListGetParam(a, 4999)));
  EXPECT_EQ(created + 2, stateInt("paramListsCreated"));
  TARN_ParamListDestroy(a);
  TARN_ParamListDestroy(b);
  EXPECT_EQ(destroyed + 2, stateInt("paramListsDestroyed"));
}

TEST(HostsimMisc, StatusTextsSignatureAndFormatting) {
  EXPECT_STREQ("Success", BREL_ReturnStatusToString(0));
  EXPECT_STREQ("Not found", BREL_ReturnStatusToString(0xBAD0062));
  EXPECT_STREQ("Out of memory", BREL_ReturnStatusToString(0xBAD0014));
  EXPECT_STREQ(strerror(ENOENT), BREL_ReturnStatusToString(0x2BAD0000 + ENOENT));
  const char *u = BREL_ReturnStatusToString(0x12345);
  EXPECT_STREQ("Unknown status 0x12345", u);
  BREL_ReturnStatusToString(0x54321);
  EXPECT_STREQ("Unknown status 0x12345", u);  // still valid
  char buf[8];
  EXPECT_EQ(11, Str_Sprintf(buf, sizeof buf, "%s-%d", "abc", 1234567));
  EXPECT_STREQ("abc-123", buf);

  ASSERT_EQ(0, hostsim_configure(R"({"vms":[]})", nullptr));
  char date[21] = {};
  const char *own = nullptr;
  EXPECT_EQ(0, TARN_CheckSig(date, 21, &own));
  ASSERT_EQ(0, hostsim_configure(R"({"signatureMatches":false,"hostBuildDate":"Feb 02 2026 02:02:02"})", nullptr));
  EXPECT_NE(0, TARN_CheckSig(date, 21, &own));
  EXPECT_STREQ("Feb 02 2026 02:02:02", date);
  ASSERT_NE(nullptr, own);
  EXPECT_EQ(20u, strlen(own));
}

TEST(HostsimSocket, ControlRoundTripOverSocket) {
  std::string path = "/tmp/hostsim_unit_" + std::to_string(getpid()) + ".ctl";
  ASSERT_EQ(0, hostsim_configure(kHost, path.c_str()));
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, connect(fd, (sockaddr *)&addr, sizeof addr));
  std::string reqs = "not json\n{\"op\":\"powerOff\",\"worldGroupId\":600}\n{\"op\":\"drain\"}\n"
                     "{\"op\":\"state\"}\n";
  ASSERT_EQ(ssize_t(reqs.size()), write(fd, reqs.data(), reqs.size()));
  std::string in;
  char buf[4096];
  while (std::count(in.begin(), in.end(), '\n') < 4) {
    ssize_t n = read(fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    in.append(buf, n);
  }
  close(fd);
  std::vector<json_t *> replies;
  size_t pos = 0;
  for (int i = 0; i < 4; i++) {
    size_t nl = in.find('\n', pos);
    replies.push_back(json_loadb(in.data() + pos, nl - pos, 0, nullptr));
    pos = nl + 1;
  }
  EXPECT_TRUE(json_is_string(json_object_get(replies[0], "error")));
  EXPECT_TRUE(json_is_true(json_object_get(replies[1], "ok")));
  EXPECT_TRUE(json_is_true(json_object_get(replies[2], "drained")));
  json_t *vm2 = json_array_get(json_object_get(replies[3], "vms"), 1);
  EXPECT_TRUE(json_is_false(json_object_get(vm2, "poweredOn")));
  for (json_t *r : replies) json_decref(r);

  ASSERT_EQ(0, hostsim_configure(kHost, nullptr));  // stops serving and removes the socket
  EXPECT_NE(0, access(path.c_str(), F_OK));
}

TEST(HostsimSocket, LiveListenerIsNotStolen) {
  std::string path = "/tmp/hostsim_unit_busy_" + std::to_string(getpid()) + ".ctl";
  unlink(path.c_str());
  int owner = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, bind(owner, (sockaddr *)&addr, sizeof addr));
  ASSERT_EQ(0, listen(owner, 4));
  EXPECT_EQ(-1, hostsim_configure(kHost, path.c_str()));  // warns, serves nothing
  int probe = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(0, connect(probe, (sockaddr *)&addr, sizeof addr));  // still the owner's socket
  int accepted = accept(owner, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  close(accepted);
  close(probe);
  close(owner);
  unlink(path.c_str());
  List inst{500};
  uint8_t flag;
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1));  // the host runs anyway
}

}  // namespace
