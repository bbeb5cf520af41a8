// Per-record analysis: buckets, sequential classes, alignment, direction,
// lookups through diskTable and the throttled lookup-failure message.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "main/config.h"
#include "main/log.h"
#include "trace/analyzer.h"

namespace {

std::vector<std::pair<int, std::string>> logged;
void Capture(int priority, const char *message) { logged.emplace_back(priority, message); }

TraceRecord Io(uint8_t opcode, uint64_t lba, uint32_t length, uint64_t timestamp = 1000,
               uint64_t latency = 150) {
  TraceRecord r{};
  r.opcode = opcode;
  r.lba = lba;
  r.length = length;
  r.timestamp = timestamp;
  r.latency = latency;
  return r;
}

int Index(const char *name) {
  for (int i = 0; i < VTR_NUM_COUNTERS; i++) {
    if (strcmp(metricFieldNames[i], name) == 0) return i;
  }
  ADD_FAILURE() << "no counter " << name;
  return 0;
}
uint64_t Ctr(const DiskEntry &e, const char *name) { return e.counters.ioCounters[Index(name)]; }

class CountersTest : public ::testing::Test {
 protected:
  DiskEntry entry{};
  void SetUp() override {
    logLevel = 7;
    logged.clear();
    VTR_SetLogHook(Capture);
  }
  void TearDown() override { VTR_SetLogHook(nullptr); }
};

TEST(CounterNames, SeventyDistinctNamesInReadWritePairs) {
  std::set<std::string> names;
  for (int i = 0; i < VTR_NUM_COUNTERS; i++) {
    std::string n = metricFieldNames[i];
    ASSERT_FALSE(n.empty());
    ASSERT_LT(n.size(), static_cast<size_t>(VTR_METRIC_NAME_SIZE));
    names.insert(n);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(VTR_NUM_COUNTERS));
  EXPECT_STREQ(metricFieldNames[9], "eq4kaliwio");
  EXPECT_STREQ(metricFieldNames[10], "lt4krio");
  EXPECT_STREQ(metricFieldNames[43], "gt512klt1mwio");
  EXPECT_STREQ(metricFieldNames[47], "gt1mwio");
  EXPECT_STREQ(metricFieldNames[48], "rlat1us");
  EXPECT_STREQ(metricFieldNames[69], "wlatgt100ms");
}

TEST(Buckets, SizeBucketBoundaries) {
  // {first KiB, last KiB} of each bucket.
  const uint32_t range[VTR_NUM_SIZE_BUCKETS][2] = {
      {0, 3},     {4, 4},     {5, 7},     {8, 8},       {9, 15},     {16, 16},   {17, 31},
      {32, 32},   {33, 63},   {64, 64},   {65, 127},    {128, 128},  {129, 255}, {256, 256},
      {257, 511}, {512, 512}, {513, 1023}, {1024, 1024}, {1025, 4194303}};
  for (int b = 0; b < VTR_NUM_SIZE_BUCKETS; b++) {
    EXPECT_EQ(VTR_SizeBucket(range[b][0] << 10), b) << "bucket " << b;
    EXPECT_EQ(VTR_SizeBucket((range[b][1] << 10) + 1023), b) << "bucket " << b;
  }
  EXPECT_EQ(VTR_SizeBucket(4608), 1);
  EXPECT_EQ(VTR_SizeBucket(3584), 0);
  EXPECT_EQ(VTR_SizeBucket(1048576), 17);
  EXPECT_EQ(VTR_SizeBucket(1049600), 18);
}

TEST(Buckets, LatencyBoundsAreInclusive) {
  const uint64_t upper[] = {1, 10, 100, 500, 1000, 5000, 10000, 25000, 50000, 100000};
  uint64_t low = 0;
  for (int b = 0; b < 10; b++) {
    EXPECT_EQ(VTR_LatencyBucket(low), b);
    EXPECT_EQ(VTR_LatencyBucket(upper[b]), b);
    low = upper[b] + 1;
  }
  EXPECT_EQ(VTR_LatencyBucket(100001), 10);
  EXPECT_EQ(VTR_LatencyBucket(UINT64_MAX), 10);
}

TEST_F(CountersTest, SequentialClasses) {
  struct Case {
    uint64_t lastLba, lastLen, lastTs, lba;
    uint32_t len;
    uint64_t ts;
    int expected;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 4096, 10, 0},                // no earlier I/O
      {16, 4096, 1000, 24, 4096, 1001000, 1},   // continues; window bound inclusive
      {16, 4096, 1000, 24, 4096, 1001001, 0},   // outside the window
      {16, 4096, 1000, 24, 4096, 999, 0},       // older time stamp
      {24, 4096, 1000, 24, 4096, 2000, 2},      // same range again
      {24, 4096, 1000, 40, 4096, 2000, 5},      // forward gap of 8
      {24, 4096, 1000, 64, 4096, 2000, 5},      // forward gap of 32
      {24, 4096, 1000, 65, 4096, 2000, 0},      // forward gap of 33
      {0, 4096, 1000, 52, 4096, 2000, 0},       // forward gap of 44
      {24, 4096, 1000, 20, 8192, 2000, 3},      // overlap
      {24, 4096, 1000, 8, 4096, 2000, 4},       // ends 8 before
      {24, 4096, 1000, 16, 4096, 2000, 4},      // ends exactly at the start
      {48, 4096, 1000, 8, 4096, 2000, 4},       // backward gap of 32
      {49, 4096, 1000, 8, 4096, 2000, 0},       // backward gap of 33
  };
  for (const Case &c : cases) {
    for (int d = 0; d < 2; d++) {
      DiskEntry e{};
      e.counters.lastLba[d] = c.lastLba;
      e.counters.lastLength[d] = c.lastLen;
      e.counters.lastTimestamp[d] = c.lastTs;
      TraceRecord r = Io(d ? 0x2A : 0x28, c.lba, c.len, c.ts);
      EXPECT_EQ(VTR_ClassifySequential(&e, &r, d), c.expected) << "lba " << c.lba << " d " << d;
      EXPECT_EQ(VTR_ClassifySequential(&e, &r, 1 - d), 0);
    }
  }
}

TEST_F(CountersTest, FirstReadThenSequentialRead) {
  TraceRecord r = Io(0x28, 16, 4096, 1000, 150);
  VTR_UpdateCounters(&entry, &r);
  for (const char *n : {"rio", "eq4kalirio", "eq4krio", "rlat500us"}) EXPECT_EQ(Ctr(entry, n), 1u) << n;
  EXPECT_EQ(Ctr(entry, "rthput"), 4096u);
  EXPECT_EQ(Ctr(entry, "seqrio"), 0u);
  // A write between two back-to-back reads does not break their sequence.
  TraceRecord w = Io(0x2A, 5000, 512, 1500);
  VTR_UpdateCounters(&entry, &w);
  TraceRecord next = Io(0x28, 24, 4096, 2000);
  VTR_UpdateCounters(&entry, &next);
  EXPECT_EQ(Ctr(entry, "seqrio"), 1u);
  EXPECT_EQ(Ctr(entry, "seqrbytes"), 4096u);
  EXPECT_EQ(Ctr(entry, "rio"), 2u);
  EXPECT_EQ(Ctr(entry, "wio"), 1u);
  EXPECT_EQ(Ctr(entry, "lt4kwio"), 1u);
  EXPECT_EQ(entry.counters.lastLba[0], 24u);
  EXPECT_EQ(entry.counters.lastLength[1], 512u);
  EXPECT_EQ(entry.counters.lastTimestamp[1], 1500u);
}

TEST_F(CountersTest, DirectionByMaskedOpcode) {
  for (uint8_t op : {0x08, 0x28, 0xA8, 0x88}) {
    TraceRecord r = Io(op, 0, 4096);
    VTR_UpdateCounters(&entry, &r);
  }
  for (uint8_t op : {0x0A, 0x2A, 0xAA, 0x8A}) {
    TraceRecord r = Io(op, 0, 4096);
    VTR_UpdateCounters(&entry, &r);
  }
  EXPECT_EQ(Ctr(entry, "rio"), 4u);
  EXPECT_EQ(Ctr(entry, "wio"), 4u);

  DiskEntry untouched{};
  TraceRecord other = Io(0x35, 8, 4096);
  VTR_UpdateCounters(&untouched, &other);
  DiskEntry zero{};
  EXPECT_EQ(memcmp(&untouched.counters, &zero.counters, sizeof zero.counters), 0);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), std::make_pair(LOG_DEBUG, std::string("Unhandled VSCSI Command Type: 0x35\n")));
}

TEST_F(CountersTest, Alignment) {
  const struct {
    uint64_t lba;
    uint32_t length;
    bool aligned;
  } cases[] = {{8, 0, true}, {16, 8192, true}, {4, 4096, false}, {8, 4608, false}, {0, 512, false}};
  uint64_t expected = 0;
  for (const auto &c : cases) {
    TraceRecord r = Io(0x2A, c.lba, c.length);
    VTR_UpdateCounters(&entry, &r);
    expected += c.aligned;
    EXPECT_EQ(Ctr(entry, "eq4kaliwio"), expected) << c.lba << "/" << c.length;
  }
  EXPECT_EQ(Ctr(entry, "lt4kwio"), 2u);  // the zero-length write and the 512-byte one
}

// Records reach the counters through diskTable; unknown disks are counted
// and logged for the first 99 failures and every 1000th after that.
TEST_F(CountersTest, LookupThroughTableAndThrottledFailures) {
  if (diskTable.buckets == nullptr) {
    ASSERT_EQ(VTR_InitHashTblAndList(), 0);
  }
  auto *disk = new DiskEntry{};
  disk->node.key = VTR_GetDiskKey(77, 0x500000003ULL);
  disk->node.value = disk;
  ASSERT_EQ(hash_insert(&diskTable, &disk->node), 0);

  TraceRecord r = Io(0x28, 0, 4096);
  r.worldGroupId = 77;
  r.handleId = 0x900000003ULL;  // only the low 32 bits name the disk
  VTR_ProcessRecord(&r);
  VTR_ProcessRecord(&r);  // second time through the lookup cache
  EXPECT_EQ(VTR_CounterLoad(disk->counters.ioCounters[VTR_CTR_RIO]), 2u);

  // Once removed (and the cache dropped, as entry deletion does), records fail.
  pthread_mutex_lock(&recordQueue.mutex);
  hash_remove(&diskTable, disk->node.key);
  VTR_InvalidateEntryCache();
  pthread_mutex_unlock(&recordQueue.mutex);
  lookupFailureCount = 0;
  logged.clear();
  r.handleId = 3;
  for (int i = 0; i < 2000; i++) VTR_ProcessRecord(&r);
  EXPECT_EQ(disk->counters.ioCounters[VTR_CTR_RIO], 2u);
  EXPECT_EQ(lookupFailureCount, 2000);
  ASSERT_EQ(logged.size(), 101u);
  char first[200];
  snprintf(first, sizeof first,
           "Analyzer: Hash entry loopkup failures seen for worldId: 77 handleId: 3 hashKey: %lu "
           "Total lookup failure:1",
           static_cast<unsigned long>(VTR_GetDiskKey(77, 3) % 2000));
  EXPECT_EQ(logged[0], std::make_pair(LOG_WARNING, std::string(first)));
  EXPECT_NE(logged[98].second.find("failure:99"), std::string::npos);
  EXPECT_NE(logged[99].second.find("failure:1000"), std::string::npos);
  EXPECT_NE(logged[100].second.find("failure:2000"), std::string::npos);
  delete disk;
}

}  // namespace
