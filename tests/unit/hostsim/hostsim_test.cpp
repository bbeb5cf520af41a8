// hostsim, the simulated libhostrt.so, through the TARN interface and the
// in-process control API.
#include "hostsim.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/hostrt.h"
#include "trace/record_queue.h"
#include "unit/test_support.h"

namespace {

using vtrtest::HostStateInt;

constexpr uint32_t NOT_FOUND = 0xBAD0062;

// VM 500 (instance 11, leader 501) with two disks; VM 600 without a VMM; a
// stale trace of a world group the host does not have.
const char *kHost = R"({"vms": [
    {"instanceId": 11, "worldGroupId": 500, "vmmLeaderId": 501,
     "disks": [{"handleId": 9001, "name": "scsi0:0"}, {"handleId": 9002, "name": "scsi0:1"}]},
    {"instanceId": 12, "worldGroupId": 600, "hasVmm": false, "disks": [{"handleId": 9101}]}],
  "staleTraces": [{"worldGroupId": 777, "handleId": 4242}]})";

struct List {
  TARN_ParamList *l;
  explicit List(std::initializer_list<int64_t> ids)
      : l(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2)) {
    for (int64_t id : ids) TARN_ParamListAddInt(l, id);
  }
  explicit List(const char *name) : l(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1)) {
    TARN_ParamListAddString(l, name);
  }
  ~List() { TARN_ParamListDestroy(l); }
};

std::string Reply(const std::string &req) {
  char *text = hostsim_control(req.c_str());
  std::string reply = text ? text : "";
  hostsim_free(text);
  return reply;
}
int64_t ControlInt(const std::string &req, const char *key) {
  json_t *j = json_loads(Reply(req).c_str(), 0, nullptr);
  int64_t v = json_integer_value(json_object_get(j, key));
  json_decref(j);
  return v;
}

uint32_t HasVmm(int64_t worldGroupId) {
  List inst{worldGroupId};
  uint8_t flag;
  return TARN_Get(TARN_NODE_worldGroups_hasVmm, inst.l, &flag, 1);
}
uint32_t SetTrace(uint16_t node, int64_t vm, int64_t handle) {
  List inst{vm, handle};
  uint32_t word = 0;
  return TARN_Set(node, inst.l, nullptr, &word, 0);
}
uint32_t Start(int64_t vm, int64_t handle) {
  return SetTrace(TARN_NODE_worldGroups_vscsi_stats_startVethraTrace, vm, handle);
}
std::vector<int64_t> VmInstances() {
  TARN_ParamList *vms = nullptr;
  EXPECT_EQ(0u, TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &vms));
  std::vector<int64_t> out;
  for (int i = 0; i < TARN_ParamListUsedCount(vms); i++)
    out.push_back(TARN_ParamGetInt(TARN_ParamListGetParam(vms, i)));
  TARN_ParamListDestroy(vms);
  return out;
}

std::string Inject(uint32_t wg, uint64_t handle, int n) {
  std::string r = R"({"op":"inject","records":[)";
  for (int i = 1; i <= n; i++) {
    r += (i > 1 ? "," : "") + std::string("{\"opcode\":42,\"worldGroupId\":") + std::to_string(wg) +
         ",\"handleId\":" + std::to_string(handle) +
         ",\"length\":4096,\"lba\":" + std::to_string(i * 8) +
         ",\"timestamp\":" + std::to_string(i) + ",\"latency\":" + std::to_string(i + 1) + "}";
  }
  return r + "]}";
}

constexpr char kChannel[] = "vethra_vscsi_trace";
// One read of the trace channel (its data bytes), and its acknowledgement.
std::vector<uint8_t> ReadChunk() {
  std::vector<uint8_t> buf(TARN_LOGCHANNEL_BUFFER_SIZE);
  EXPECT_EQ(0u, TARN_Get(TARN_NODE_perf_logChannel_data, List(kChannel).l, buf.data(), buf.size()));
  uint32_t n;
  memcpy(&n, buf.data(), 4);
  return std::vector<uint8_t>(buf.begin() + 4, buf.begin() + 4 + n);
}
void Ack(int64_t bytes) {
  uint32_t word;
  EXPECT_EQ(0u,
            TARN_Set(TARN_NODE_perf_logChannel_data, List(kChannel).l, List{bytes}.l, &word, 0));
}
// Polls the channel (unacknowledged) until it holds at least minBytes.
std::vector<uint8_t> WaitChunk(size_t minBytes) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 400 && data.size() < minBytes; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    data = ReadChunk();
  }
  return data;
}
// A record's fields but the reserved ones, comparable as a whole.
auto Fields(const TraceRecord &r) {
  return std::tuple(int{r.opcode}, uint32_t{r.worldGroupId}, uint64_t{r.handleId},
                    uint32_t{r.length}, uint64_t{r.lba}, uint64_t{r.timestamp},
                    uint64_t{r.latency});
}
TraceRecord At(const std::vector<uint8_t> &data, size_t i) {
  TraceRecord r;
  memcpy(&r, data.data() + i * 48, 48);
  return r;
}
void ClearChannel() {
  uint8_t cmd[128];
  ASSERT_EQ(0u, TARN_Set(TARN_NODE_perf_vethra_command_clearLogChannel, nullptr, nullptr, cmd,
                         sizeof cmd));
}

class Hostsim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, hostsim_configure(kHost, nullptr)); }
};

// Id resolution, VM information, disks and stale traces are checked through
// the daemon, in the registry tests.
TEST_F(Hostsim, TraceSwitchesAndPowerOff) {
  EXPECT_EQ(-1, hostsim_configure(R"({"vms":[{"displayName":"no id"}]})", nullptr));  // kHost stays
  EXPECT_EQ(VmInstances(), (std::vector<int64_t>{11, 12}));
  ASSERT_EQ(0u, Start(501, 9001));
  EXPECT_EQ(NOT_FOUND, Start(500, 1));
  EXPECT_EQ(NOT_FOUND, Start(999, 9001));
  EXPECT_EQ(0u, SetTrace(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, 777,
                         4242));  // VM gone: still stops

  // Power-off: every id is unknown, the VM is not listed, its traces end and
  // stay off after power-on.
  EXPECT_EQ(R"({"ok":true})", Reply(R"({"op":"powerOff","worldGroupId":500})"));
  EXPECT_EQ(NOT_FOUND, HasVmm(500));
  uint32_t cartel;
  EXPECT_EQ(NOT_FOUND, TARN_Get(TARN_NODE_vm_cartelID, List{11}.l, &cartel, 4));
  EXPECT_EQ(NOT_FOUND, Start(500, 9001));
  EXPECT_EQ(VmInstances(), std::vector<int64_t>{12});
  EXPECT_EQ(3, ControlInt(Inject(500, 9001, 3), "skipped"));
  Reply(R"({"op":"powerOn","worldGroupId":11})");
  EXPECT_EQ(0u, HasVmm(500));
  EXPECT_EQ(3, ControlInt(Inject(500, 9001, 3), "skipped"));
  int32_t count = -1;
  ASSERT_EQ(0u, TARN_Get(TARN_NODE_perf_vethra_monitoredDiskCount, nullptr, &count, 4));
  EXPECT_EQ(0, count);
}

TEST_F(Hostsim, FaultsCallCountsAndParamListCounting) {
  EXPECT_EQ(R"({"ok":true})",
            Reply(R"({"op":"fault","node":"worldGroups_hasVmm","status":"0xBAD0094","count":2})"));
  EXPECT_EQ((std::tuple{HasVmm(500), HasVmm(500), HasVmm(500)}),  // braces: called in order
            std::tuple(0xBAD0094u, 0xBAD0094u, 0u));
  EXPECT_EQ(3, HostStateInt("calls", "worldGroups_hasVmm"));
  EXPECT_TRUE(Reply(R"({"op":"fault","node":"noSuch","status":1})").starts_with(R"({"error":)"));

  int64_t created = HostStateInt("paramListsCreated"),
          destroyed = HostStateInt("paramListsDestroyed");
  Reply(R"({"op":"fault","node":"paramListCreate","status":234881044,"count":1})");
  EXPECT_EQ(nullptr, TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1));  // not counted
  TARN_ParamList *a = TARN_ParamListCreate(TARN_PARAMLIST_INPUT, 1);
  ASSERT_NE(nullptr, a);
  for (int i = 0; i < 5000; i++) ASSERT_EQ(0u, TARN_ParamListAddInt(a, i));  // grows past capacity
  EXPECT_EQ(4999, TARN_ParamGetInt(TARN_ParamListGetParam(a, 4999)));
  EXPECT_EQ(VmInstances().size(), 2u);  // an allocated list counts too
  EXPECT_EQ(created + 2, HostStateInt("paramListsCreated"));
  TARN_ParamListDestroy(a);
  EXPECT_EQ(destroyed + 2, HostStateInt("paramListsDestroyed"));
}

TEST_F(Hostsim, ChannelChunksCutRecordsUntilAcknowledged) {
  ASSERT_EQ(0u, Start(500, 9001));
  // Only traced disks get records: 9002 and VM 600 are skipped.
  EXPECT_EQ(1, ControlInt(Inject(500, 9002, 1), "skipped"));
  EXPECT_EQ(1, ControlInt(Inject(600, 9101, 1), "skipped"));
  EXPECT_EQ(400, ControlInt(Inject(500, 9001, 400), "appended"));
  std::vector<uint8_t> first = ReadChunk();
  ASSERT_EQ(size_t(TARN_LOGCHANNEL_MAX_DATA),
            first.size());        // 341 records and 12 bytes of the next
  EXPECT_EQ(first, ReadChunk());  // not acknowledged: the same bytes again
  Ack(first.size());
  std::vector<uint8_t> second = ReadChunk();
  ASSERT_EQ(size_t(400 * 48 - TARN_LOGCHANNEL_MAX_DATA), second.size());
  Ack(second.size());
  EXPECT_TRUE(ReadChunk().empty());
  first.insert(first.end(), second.begin(), second.end());
  for (uint64_t i = 1; i <= 400; i++) {  // as injected
    const TraceRecord r = At(first, i - 1);
    ASSERT_EQ(Fields(r), std::tuple(0x2A, 500u, uint64_t{9001}, 4096u, 8 * i, i, i + 1));
  }
  EXPECT_EQ(400, HostStateInt("recordsAcknowledged"));
  EXPECT_EQ(0, HostStateInt("recordsDropped"));
  EXPECT_EQ(1, ControlInt(Inject(500, 9001, 1), "appended"));
  EXPECT_EQ(48u, ReadChunk().size());
  ClearChannel();
  EXPECT_TRUE(ReadChunk().empty());
}

TEST(HostsimRing, FullRingDropsGeneratedRecordsButInjectWaits) {
  // A 100-record ring and a disk generating 200000 I/Os per second.
  const char *host = R"({"channelCapacityBytes": 4800, "vms": [{"worldGroupId": 1, "disks": [
      {"handleId": 1, "workload": {"rate": 200000, "readFraction": 1}}, {"handleId": 2}]}]})";
  ASSERT_EQ(0, hostsim_configure(host, nullptr));
  ASSERT_EQ(0u, Start(1, 1));
  for (int i = 0; i < 200 && HostStateInt("recordsDropped") == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(HostStateInt("recordsDropped"), 0);
  std::vector<uint8_t> chunk = ReadChunk();
  ASSERT_EQ(4800u, chunk.size());
  EXPECT_EQ(0x28, At(chunk, 1).opcode);
  EXPECT_EQ(1u, At(chunk, 1).handleId);

  // 1000 injected records through the same ring while a reader drains it:
  // all arrive, in order, none dropped.
  ASSERT_EQ(0u, SetTrace(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, 1, 1));
  ClearChannel();
  int64_t droppedBefore = HostStateInt("recordsDropped");
  ASSERT_EQ(0u, Start(1, 2));
  int64_t appended = 0;
  std::thread injector([&] { appended = ControlInt(Inject(1, 2, 1000), "appended"); });
  std::vector<uint8_t> stream;
  while (stream.size() < 1000 * 48) {
    std::vector<uint8_t> c = ReadChunk();
    size_t take = c.size() - c.size() % 48;  // whole records only
    stream.insert(stream.end(), c.begin(), c.begin() + take);
    if (take)
      Ack(take);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  injector.join();
  EXPECT_EQ(1000, appended);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(uint64_t(i + 1), At(stream, i).timestamp);
  EXPECT_EQ(droppedBefore, HostStateInt("recordsDropped"));
}

// Returns once the generator has run a whole tick after the call.
void WaitWholeTick() {
  const int64_t start = HostStateInt("generatorTicks");
  while (HostStateInt("generatorTicks") < start + 2) std::this_thread::yield();
}

// Generated workloads (only once traced), replay files, and VMs and
// workloads added at run time.
TEST(HostsimWorkload, GeneratedAndReplayedRecords) {
  std::string path = "/tmp/hostsim_replay_" + std::to_string(getpid()) + ".rec";
  std::vector<TraceRecord> file(3, TraceRecord{});
  for (int i = 0; i < 3; i++) {
    file[i].opcode = 0x2A;
    file[i].worldGroupId = file[i].handleId = 99;  // rewritten to the disk's ids
    file[i].length = 512 * (i + 1);
    file[i].lba = 100 + i;
    file[i].timestamp = 5000000 + 1000 * i;
  }
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  fwrite(file.data(), 48, 3, f);
  fclose(f);
  const std::string host = R"({"vms": [{"worldGroupId": 3, "disks": [
      {"handleId": 30, "workload": {"rate": 5000, "readFraction": 0, "sizes": [{"bytes": 1048576, "weight": 1}],
        "sequentialFraction": 1, "workingSetBlocks": 100000, "latency": {"meanUs": 100, "jitterUs": 0}}},
      {"handleId": 32, "workload": {"replay": ")" +
                           path + R"(", "replayLoop": false}}]}]})";
  ASSERT_EQ(0, hostsim_configure(host.c_str(), nullptr));
  WaitWholeTick();
  EXPECT_TRUE(ReadChunk().empty());  // nothing traced yet

  ASSERT_EQ(0u, Start(3, 30));
  std::vector<uint8_t> data = WaitChunk(48 * 20);
  ASSERT_GE(data.size(), 48u * 20);
  for (uint64_t i = 0, lba = At(data, 0).lba; i < data.size() / 48; i++) {  // sequential 1 MiB
    const TraceRecord r = At(data, i);
    EXPECT_EQ(Fields(r), std::tuple(0x2A, 3u, uint64_t{30}, 1048576u, lba + 2048 * i,
                                    uint64_t{r.timestamp}, uint64_t{100}));
  }
  ASSERT_EQ(0u, SetTrace(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, 3, 30));
  ClearChannel();

  ASSERT_EQ(0u, Start(3, 32));
  data = WaitChunk(3 * 48);
  WaitWholeTick();
  ASSERT_EQ(3u * 48, ReadChunk().size());  // no loop
  const uint64_t shift = At(data, 0).timestamp - file[0].timestamp;
  for (int i = 0; i < 3; i++) {  // the records as written, with the disk's ids and shifted
    file[i].worldGroupId = 3;
    file[i].handleId = 32;
    file[i].timestamp += shift;
    EXPECT_EQ(0, memcmp(&file[i], &data[48 * i], 48)) << i;
  }
  unlink(path.c_str());
  ClearChannel();

  const std::string addVm =
      R"({"op":"addVm","vm":{"instanceId":13,"worldGroupId":700,"disks":[{"handleId":1}]}})";
  EXPECT_EQ(700, ControlInt(addVm, "worldGroupId"));
  EXPECT_TRUE(Reply(R"({"op":"addVm","vm":{"worldGroupId":700}})").starts_with(R"({"error":)"));
  EXPECT_EQ(VmInstances().back(), 13);
  ASSERT_EQ(0u, Start(700, 1));
  Reply(
      R"({"op":"workload","worldGroupId":13,"handleId":1,"workload":{"rate":20000,"readFraction":1}})");
  data = WaitChunk(48);
  ASSERT_GE(data.size(), 48u);
  EXPECT_EQ(700u, At(data, 0).worldGroupId);
  EXPECT_EQ(0x28, At(data, 0).opcode);
}

TEST(HostsimMisc, StatusTextsAndFormatting) {
  EXPECT_STREQ("Success", BREL_ReturnStatusToString(0));
  EXPECT_STREQ("Not found", BREL_ReturnStatusToString(0xBAD0062));
  EXPECT_STREQ(strerror(ENOENT), BREL_ReturnStatusToString(0x2BAD0000 + ENOENT));
  const char *u = BREL_ReturnStatusToString(0x12345);
  BREL_ReturnStatusToString(0x54321);
  EXPECT_STREQ("Unknown status 0x12345", u);  // still valid after another call
  char buf[8];
  EXPECT_EQ(11, Str_Sprintf(buf, sizeof buf, "%s-%d", "abc", 1234567));
  EXPECT_STREQ("abc-123", buf);
}

// The control socket (every end-to-end test uses it) is not taken over from
// a live listener of another process at the path.
TEST(HostsimSocket, LiveListenerIsNotStolen) {
  std::string path = "/tmp/hostsim_unit_" + std::to_string(getpid()) + ".ctl";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  unlink(path.c_str());
  int owner = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(owner, (sockaddr *)&addr, sizeof addr));
  ASSERT_EQ(0, listen(owner, 4));
  EXPECT_EQ(-1,
            hostsim_configure(kHost, path.c_str()));  // warns, serves nothing, the host runs anyway
  int probe = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(0, connect(probe, (sockaddr *)&addr, sizeof addr));
  int accepted = accept(owner, nullptr, nullptr);
  EXPECT_GE(accepted, 0);  // still the owner's socket
  for (int s : {accepted, probe, owner}) close(s);
  unlink(path.c_str());
  EXPECT_EQ(0u, HasVmm(500));
}

}  // namespace
