// Per-record analysis and lookups, then the record queue and channel cutting.
#include "trace/analyzer.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "unit/test_support.h"

namespace {

using vtrtest::logLines;

// A record; the queue tests tag theirs with the lba.
TraceRecord Io(uint8_t opcode, uint64_t lba, uint32_t length, uint64_t ts = 1000) {
  TraceRecord r{};
  r.opcode = opcode;
  r.lba = lba;
  r.length = length;
  r.timestamp = ts;
  r.latency = 150;  // microseconds: the 100-500 bucket
  return r;
}
// The entry's non-zero counters, by name.
std::string Counted(const DiskEntry &e) {
  std::string text;
  for (int i = 0; i < VTR_NUM_COUNTERS; i++) {
    if (uint64_t n = e.counters.ioCounters[i])
      text += metricFieldNames[i] + ("=" + std::to_string(n)) + " ";
  }
  return text;
}

class CountersTest : public ::testing::Test {
 protected:
  void SetUp() override { vtrtest::StartLogCapture(); }
  void TearDown() override { vtrtest::StopLogCapture(); }
};

TEST(Buckets, SizeAndLatencyBoundaries) {
  // First and last KiB of each size bucket; "eq" buckets span a whole KiB.
  const uint32_t kib[VTR_NUM_SIZE_BUCKETS][2] = {
      {0, 3},     {4, 4},     {5, 7},      {8, 8},       {9, 15},        {16, 16},   {17, 31},
      {32, 32},   {33, 63},   {64, 64},    {65, 127},    {128, 128},     {129, 255}, {256, 256},
      {257, 511}, {512, 512}, {513, 1023}, {1024, 1024}, {1025, 4194303}};
  for (int b = 0; b < VTR_NUM_SIZE_BUCKETS; b++) {
    EXPECT_EQ(VTR_SizeBucket(kib[b][0] << 10), b);
    EXPECT_EQ(VTR_SizeBucket((kib[b][1] << 10) + 1023), b);
  }
  const uint64_t upper[] = {1, 10, 100, 500, 1000, 5000, 10000, 25000, 50000, 100000, UINT64_MAX};
  for (int b = 0; b < VTR_NUM_LAT_BUCKETS; b++) {
    EXPECT_EQ(VTR_LatencyBucket(b ? upper[b - 1] + 1 : 0), b);
    EXPECT_EQ(VTR_LatencyBucket(upper[b]), b);
  }
}

TEST_F(CountersTest, SequentialClasses) {
  const struct {
    uint64_t lastLba, lastLen, lastTs, lba, len, ts;
    int expected;
  } cases[] = {
      {0, 0, 0, 0, 4096, 10, 0},               // no earlier I/O
      {16, 4096, 1000, 24, 4096, 1001000, 1},  // continues; window bound inclusive
      {16, 4096, 1000, 24, 4096, 1001001, 0},  // outside the window
      {16, 4096, 1000, 24, 4096, 999, 0},      // older time stamp
      {24, 4096, 1000, 24, 4096, 2000, 2},     // same range again
      {24, 4096, 1000, 40, 4096, 2000, 5},     // forward gap of 8
      {24, 4096, 1000, 64, 4096, 2000, 5},     // forward gap of 32
      {0, 4096, 1000, 52, 4096, 2000, 0},      // forward gap of 44
      {24, 4096, 1000, 20, 8192, 2000, 3},     // overlap
      {24, 4096, 1000, 8, 4096, 2000, 4},      // ends 8 before
      {48, 4096, 1000, 8, 4096, 2000, 4},      // backward gap of 32
      {49, 4096, 1000, 8, 4096, 2000, 0},      // backward gap of 33
  };
  for (const auto &c : cases) {
    for (int d = 0; d < 2; d++) {
      DiskEntry e{};
      e.counters.lastLba[d] = c.lastLba;
      e.counters.lastLength[d] = c.lastLen;
      e.counters.lastTimestamp[d] = c.lastTs;
      TraceRecord r = Io(0x28, c.lba, c.len, c.ts);
      EXPECT_EQ(VTR_ClassifySequential(&e, &r, d), c.expected) << "lba " << c.lba << " d " << d;
      EXPECT_EQ(VTR_ClassifySequential(&e, &r, 1 - d), 0);  // directions are kept apart
    }
  }
}

TEST_F(CountersTest, ReadWriteUpdatesAndAlignment) {
  DiskEntry entry{};
  auto update = [&](const TraceRecord &r) { VTR_UpdateCounters(&entry, &r); };
  update(Io(0x28, 16, 4096));
  EXPECT_EQ(Counted(entry), "rio=1 rthput=4096 eq4kalirio=1 eq4krio=1 rlat500us=1 ");
  update(Io(0x2A, 8, 0, 1500));      // zero-length write: aligned, smallest bucket
  update(Io(0x28, 24, 4096, 2000));  // the write does not break the reads' sequence
  EXPECT_EQ(Counted(entry),
            "rio=2 wio=1 rthput=8192 seqrio=1 seqrbytes=4096 eq4kalirio=2 eq4kaliwio=1 lt4kwio=1 "
            "eq4krio=2 rlat500us=2 wlat500us=1 ");
  update(Io(0x8A, 4, 4096));     // WRITE(16), sector not aligned
  update(Io(0xAA, 8, 4608));     // WRITE(12), length not aligned
  update(Io(0x0A, 0, 1048576));  // WRITE(6)
  update(Io(0xA8, 0, 1049600));  // READ(12)
  update(Io(0x88, 0, 3584));     // READ(16)
  update(Io(0x08, 0, 4096));     // READ(6)
  EXPECT_EQ(Counted(entry),
            "rio=5 wio=4 rthput=1065472 wthput=1057280 seqrio=3 seqwio=2 seqrbytes=11776 "
            "seqwbytes=1053184 eq4kalirio=3 eq4kaliwio=2 lt4krio=1 lt4kwio=1 eq4krio=3 eq4kwio=2 "
            "eq1mwio=1 gt1mrio=1 rlat500us=5 wlat500us=4 ");
  EXPECT_EQ(entry.counters.lastLba[1], 0u);
  EXPECT_EQ(entry.counters.lastLength[1], 1048576u);
  EXPECT_EQ(entry.counters.lastTimestamp[0], 1000u);
}

// Another opcode changes nothing and is logged.
TEST_F(CountersTest, UnhandledOpcodeIsLoggedAndNotCounted) {
  DiskEntry entry{}, zero{};
  TraceRecord r = Io(0x35, 8, 4096);
  VTR_UpdateCounters(&entry, &r);
  EXPECT_EQ(memcmp(&entry.counters, &zero.counters, sizeof zero.counters), 0);
  EXPECT_EQ(logLines, (std::vector<std::pair<int, std::string>>{
                          {LOG_DEBUG, "Unhandled VSCSI Command Type: 0x35\n"}}));
}

// Records reach the counters through diskTable; unknown disks are counted
// and logged for the first 99 failures and every 1000th after that.
TEST_F(CountersTest, LookupThroughTableAndThrottledFailures) {
  vtrtest::ResetRegistry();
  VTR_InitRecordQueue();
  ASSERT_EQ(VTR_AddHashEntry(77, 3), VTR_OK);
  const DiskEntry *added = vtrtest::Entry(77, 3);
  ASSERT_NE(added, nullptr);
  TraceRecord r = Io(0x28, 0, 4096);
  r.worldGroupId = 77;
  r.handleId = 0x900000003ULL;  // only the low 32 bits name the disk
  VTR_ProcessRecord(&r);
  VTR_ProcessRecord(&r);  // through the lookup cache
  EXPECT_EQ(added->counters.ioCounters[VTR_CTR_RIO], 2u);

  // Deleted (which must drop the lookup cache): records now fail instead
  // of being counted into the freed entry.
  ASSERT_EQ(VTR_DeleteHashEntry(77, 3), VTR_OK);
  logLines.clear();
  for (int i = 0; i < 2000; i++) VTR_ProcessRecord(&r);
  ASSERT_EQ(logLines.size(), 101u);
  EXPECT_EQ(logLines[0],
            std::make_pair(LOG_WARNING,
                           std::string("Analyzer: Hash entry loopkup failures seen for worldId: 77 "
                                       "handleId: 3 hashKey: 1243 Total lookup failure:1")));
  EXPECT_NE(logLines[98].second.find("failure:99"), std::string::npos);
  EXPECT_NE(logLines[99].second.find("failure:1000"), std::string::npos);
  EXPECT_NE(logLines[100].second.find("failure:2000"), std::string::npos);
}

void Put(uint64_t timestamp, uint64_t tag = 0) {
  TraceRecord r = Io(0, tag, 0, timestamp);
  ASSERT_TRUE(VTR_Enqueue(&r));
}
// Takes every queued record, batch by batch; returns their tags (lba).
std::vector<uint64_t> DrainTags() {
  static TraceRecord batch[VTR_BATCH_SIZE];
  std::vector<uint64_t> tags;
  while (int32_t n = VTR_TakeBatch(batch)) {
    for (int32_t i = 0; i < n; i++) tags.push_back(batch[i].lba);
  }
  return tags;
}
uint32_t LockedWaitCount() {
  pthread_mutex_lock(&recordQueue.mutex);
  uint32_t n = recordQueue.producerWaitCount;
  pthread_mutex_unlock(&recordQueue.mutex);
  return n;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { VTR_InitRecordQueue(); }
  void TearDown() override {
    vtrtest::StopLogCapture();
    exitRequested.store(false);
    VTR_InitRecordQueue();
  }
  // Fills the queue and blocks a second thread on the next record.
  void StartBlockedProducer(bool *result) {
    for (int32_t i = 0; i < VTR_QUEUE_SLOTS; i++) Put(i);
    vtrtest::StartLogCapture();
    producer = std::thread([result] {
      TraceRecord r = Io(0, 42, 0, VTR_QUEUE_SLOTS);
      *result = VTR_Enqueue(&r);
    });
    while (LockedWaitCount() == 0) sched_yield();
  }
  std::thread producer;
};
using ConcurrencyQueue = QueueTest;

// A byte count beyond the channel maximum is clamped: 47 carried bytes and
// 16380 read give 342 records and 11 bytes carried.
TEST_F(QueueTest, ByteCountBeyondTheChannelMaximumIsClamped) {
  uint8_t carry[VTR_CARRY_BUFFER_SIZE] = {};
  std::vector<TraceRecord> big(400);
  EXPECT_EQ(VTR_CutRecords(carry, 47, reinterpret_cast<uint8_t *>(big.data()), 0xFFFFFFFFu), 11);
  EXPECT_EQ(VTR_QueueCount(), 342);
}

TEST_F(QueueTest, TimestampOrderAfterEmptying) {
  for (int i = 0; i < 700; i++) Put(i);
  DrainTags();
  Put(10, 1);
  Put(30, 2);
  Put(20, 3);
  Put(5, 4);
  Put(30, 5);  // equal stamps keep their arrival order, at the end
  Put(20, 6);  // and when inserted behind newer records
  EXPECT_EQ(DrainTags(), (std::vector<uint64_t>{4, 1, 3, 6, 2, 5}));
  EXPECT_TRUE(VTR_QueueEmpty());
}

TEST_F(QueueTest, BatchNeverWrapsAndOrderSurvivesTheWrap) {
  // 3 records in the last three slots, 2 in slots 0 and 1; then a late one
  // that moves records back across the wrap.
  const int32_t last = VTR_QUEUE_SLOTS - 1;
  for (int i = 0; i < 3; i++) recordQueue.slots[last - 2 + i] = Io(0, 1 + i, 0, 1 + i);
  recordQueue.slots[0] = Io(0, 4, 0, 4);
  recordQueue.slots[1] = Io(0, 6, 0, 6);
  recordQueue.readIndex = last - 2;
  recordQueue.writeIndex = 1;
  EXPECT_EQ(VTR_QueueCount(), 5);
  Put(2, 99);
  TraceRecord batch[VTR_BATCH_SIZE];
  ASSERT_EQ(VTR_TakeBatch(batch), 3);
  EXPECT_EQ(batch[2].lba, 99u);
  EXPECT_EQ(DrainTags(), (std::vector<uint64_t>{3, 4, 6}));
}

TEST_F(ConcurrencyQueue, FullQueueWaitsUntilABatchIsTaken) {
  bool result = false;
  StartBlockedProducer(&result);
  static TraceRecord batch[VTR_BATCH_SIZE];
  pthread_mutex_lock(&recordQueue.mutex);
  EXPECT_EQ(VTR_TakeBatch(batch), VTR_BATCH_SIZE);
  pthread_mutex_unlock(&recordQueue.mutex);
  pthread_cond_signal(&recordQueue.spaceAvailable);
  producer.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(vtrtest::CountLogged("Producer Waiting on buffer full for 1 times", LOG_WARNING), 1u);
  EXPECT_EQ(VTR_QueueCount(), VTR_QUEUE_SLOTS - VTR_BATCH_SIZE + 1);
  EXPECT_EQ(DrainTags().back(), 42u);
}

TEST_F(ConcurrencyQueue, FullQueueWaitGivesUpOnExit) {
  bool result = true;
  StartBlockedProducer(&result);
  exitRequested.store(true);
  VTR_WakeQueueWaiters();
  producer.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(VTR_QueueCount(), VTR_QUEUE_SLOTS);
}

TEST_F(ConcurrencyQueue, SignalsRecordsAvailableAboveThreshold) {
  std::atomic<bool> waiting{false};
  int32_t seen = 0;
  std::thread consumer([&] {
    pthread_mutex_lock(&recordQueue.mutex);
    waiting = true;
    // Without a time-out only the Producer's signal ends this wait.
    while (VTR_QueueCount() <= VTR_QUEUE_SIGNAL_THRESHOLD) {
      pthread_cond_wait(&recordQueue.recordsAvailable, &recordQueue.mutex);
    }
    seen = VTR_QueueCount();
    pthread_mutex_unlock(&recordQueue.mutex);
  });
  while (!waiting) sched_yield();
  for (int i = 0; i < VTR_QUEUE_SIGNAL_THRESHOLD; i++) Put(i);
  // At the threshold itself nothing is signalled; one record more is.
  EXPECT_EQ(recordQueue.recordsSignalCount, 0u);
  Put(VTR_QUEUE_SIGNAL_THRESHOLD);
  consumer.join();
  EXPECT_EQ(recordQueue.recordsSignalCount, 1u);
  EXPECT_EQ(seen, VTR_QUEUE_SIGNAL_THRESHOLD + 1);
}

}  // namespace
