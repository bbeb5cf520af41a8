// The metrics and change-rate documents.
#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class QueriesTest : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    VTR_SetClock([](struct timeval *now) { *now = {1700000000, 0}; });
  }
};

// A world group id above 2^31 - 1, and a VM whose only disk loses its entry.
constexpr const char kHost[] = R"({"vms":[
  {"worldGroupId":3000000000,"displayName":"big","uuid":"42 00 00 00 00 00 00 01-00 00 00 00 00 00 00 01",
   "disks":[{"handleId":9001,"name":"scsi0:0"}]},
  {"worldGroupId":6001,"displayName":"lonely","uuid":"42 00 00 00 00 00 00 02-00 00 00 00 00 00 00 02",
   "disks":[{"handleId":9101,"name":"scsi0:0"}]}]})";

DiskEntry *Entry(uint32_t worldGroupId, uint64_t handleId) {
  return VTR_FindDiskEntry(VTR_GetDiskKey(worldGroupId, handleId));
}

bool Contains(const std::string &body, const std::string &part) {
  return body.find(part) != std::string::npos;
}

TEST_F(QueriesTest, DocumentsWithoutVMs) {
  Connection c;
  std::string metrics = c.Call(VTR_CMD_METRICS_QUERY).body;
  EXPECT_EQ(metrics.rfind(R"({"vethraMetrics":{"metricFields":["rio",)", 0), 0u) << metrics;
  EXPECT_TRUE(Contains(
      metrics, R"("wlatgt100ms"]},"metricValues":{"timeStamp":1700000000,"vmWorldGroups":[]}})"));
  for (uint32_t code : {VTR_CMD_CHANGE_RATE_QUERY, VTR_CMD_CHANGE_RATE_QUERY2}) {
    Reply r = c.Call(code);
    EXPECT_EQ(r.code, 1u);
    EXPECT_EQ(r.body, "Change rate estimation is disabled");
  }
  VTR_StartupConfig().changeRateEnabled = true;
  const char *expected =
      R"({"vethraChangeRate":{"changeRateFields":["changebytes5m","changebytes15m","changebytes60m"]},)"
      R"("changeRateValues":{"timeStamp":1700000000,"vmWorldGroups":[]}})";
  EXPECT_EQ(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body, expected);
  EXPECT_EQ(c.Call(VTR_CMD_CHANGE_RATE_QUERY2).body, expected);
}

TEST_F(QueriesTest, MetricsRenderLargeValuesSignedAndSkipDisksWithoutEntry) {
  ConfigureHost(kHost);
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[3000000000,6001]})").code, 0u);
  DiskEntry *entry = Entry(3000000000u, 9001);
  ASSERT_NE(entry, nullptr);
  entry->counters.ioCounters[0] = (1ULL << 63) + 5;
  entry->counters.ioCounters[VTR_NUM_COUNTERS - 1] = 42;
  {
    RegistryGuard guard;
    VTR_DeleteHashEntry(6001, 9101);
  }
  std::string counters = "[-9223372036854775803";
  for (int i = 1; i < VTR_NUM_COUNTERS - 1; i++) counters += ",0";
  std::string body = c.Call(VTR_CMD_METRICS_QUERY).body;
  EXPECT_TRUE(Contains(body, R"({"vmName":"lonely","uuid":"42000000-0000-0002-0000-000000000002")"
                             R"(,"worldGroupId":6001,"vmDisks":[]})"));
  EXPECT_TRUE(Contains(
      body, R"("worldGroupId":-1294967296,"vmDisks":[{"vscsiDevName":"scsi0:0","ioCounters":)" +
                counters + ",42]}"));
  EXPECT_TRUE(Logged("No hash entry found for vmid:6001 handleid:9101"));
  EXPECT_TRUE(Logged("Interface: json_pack failed for device: scsi0:0"));
  EXPECT_EQ(c.Call(VTR_CMD_METRICS_QUERY).body, body);  // reading changes nothing
}

TEST_F(QueriesTest, ChangeRatesInBytesFromEitherEstimator) {
  ConfigureHost(kHost);
  VTR_StartupConfig().changeRateEnabled = true;
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  VTR_CR_HLL *hll = Entry(6001, 9101)->changeRate.hll;
  ASSERT_NE(hll, nullptr);
  EXPECT_TRUE(Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body, R"("changeRates":[0,0,0])"));
  // Three blocks end the 5-minute period, four more the 60-minute one; the
  // query settles the ended periods itself.
  VTR_AddChangeRate(0, 3 * 4096, &Entry(6001, 9101)->changeRate, false);
  VTR_HLLEndPeriods(hll, 1);
  VTR_AddChangeRate(0, 7 * 4096, &Entry(6001, 9101)->changeRate, false);
  VTR_HLLEndPeriods(hll, 4);
  EXPECT_TRUE(Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body,
                       R"({"vscsiDevName":"scsi0:0","changeRates":[12288,0,28672]})"));

  // Sliding mode: eight distinct blocks written twice, all within 5 minutes.
  ASSERT_EQ(c.Call(VTR_CMD_DELETE_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  VTR_StartupConfig().slidingHllEnabled = true;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  for (int i = 0; i < 2; i++) VTR_AddChangeRate(0, 32768, &Entry(6001, 9101)->changeRate, true);
  EXPECT_TRUE(
      Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY2).body, R"("changeRates":[32768,32768,32768])"));
}

// The daemon keeps VM names to 127 bytes and the host cuts disk names to 15.
// A name cut to its buffer loses a multi-byte character whole rather than
// half of it, so both VMs and all their disks are still reported. Names that
// need escapes come out as jansson writes them: each document is its own
// compact re-serialisation.
TEST_F(QueriesTest, NamesAreCutOnCharacterBoundaries) {
  std::string vm(126, 'v'), disk(14, 'd');
  ConfigureHost((R"({"vms":[{"worldGroupId":7001,"displayName":")" + vm +
                 R"(\u00e9","disks":[{"handleId":1}]},
    {"worldGroupId":7002,"disks":[{"handleId":2,"name":")" +
                 disk + R"(\u00e9"},{"handleId":3,"name":"scsi0:1"}]},
    {"worldGroupId":7003,"displayName":"q\"b\\s/\u0001\t\u007f\u00e9","disks":[{"handleId":4,"name":"d\"/\u00e9"}]}]})")
                    .c_str());
  VTR_StartupConfig().changeRateEnabled = VTR_StartupConfig().slidingHllEnabled = true;
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[7001,7002,7003]})").code, 0u);
  for (uint32_t command : {VTR_CMD_METRICS_QUERY, VTR_CMD_CHANGE_RATE_QUERY}) {
    std::string body = c.Call(command).body;
    EXPECT_TRUE(Contains(body, R"({"vmName":")" + vm + R"(",)")) << body;
    EXPECT_TRUE(
        Contains(body, R"("worldGroupId":7002,"vmDisks":[{"vscsiDevName":")" + disk + R"(",)"))
        << body;
    EXPECT_TRUE(Contains(body, "{\"vmName\":\"q\\\"b\\\\s/\\u0001\\t\x7f\xc3\xa9\",")) << body;
    EXPECT_TRUE(Contains(body, "{\"vscsiDevName\":\"d\\\"/\xc3\xa9\",")) << body;
    json_t *parsed = json_loads(body.c_str(), 0, nullptr);
    ASSERT_NE(parsed, nullptr) << body;
    char *again = json_dumps(parsed, JSON_COMPACT);
    json_decref(parsed);
    EXPECT_EQ(std::string(again), body);
    free(again);
  }
  std::lock_guard<std::mutex> lock(logMutex);
  for (const auto &[priority, line] : logLines)
    EXPECT_EQ(line.find("json_pack failed"), std::string::npos) << line;
}

}  // namespace
