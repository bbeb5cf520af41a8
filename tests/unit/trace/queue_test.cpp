// Record queue and channel cutting: ordering, batching, the full-queue wait.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "main/config.h"
#include "main/log.h"
#include "trace/analyzer.h"

namespace {

std::mutex logMutex;
std::vector<std::string> warnings;
void CaptureWarnings(int priority, const char *message) {
  std::lock_guard<std::mutex> lock(logMutex);
  if (priority == LOG_WARNING) warnings.emplace_back(message);
}

TraceRecord Rec(uint64_t timestamp, uint64_t lba = 0) {
  TraceRecord r{};
  r.opcode = 0x28;
  r.timestamp = timestamp;
  r.lba = lba;
  return r;
}

// Takes every queued record (batch by batch) and returns their (timestamp, lba).
std::vector<std::pair<uint64_t, uint64_t>> Drain() {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  static TraceRecord batch[VTR_BATCH_SIZE];
  pthread_mutex_lock(&recordQueue.mutex);
  while (int32_t n = VTR_TakeBatch(batch)) {
    for (int32_t i = 0; i < n; i++) out.emplace_back(uint64_t{batch[i].timestamp}, uint64_t{batch[i].lba});
  }
  pthread_mutex_unlock(&recordQueue.mutex);
  return out;
}

void FillQueue() {
  for (int32_t i = 0; i < VTR_QUEUE_SLOTS; i++) {
    TraceRecord r = Rec(static_cast<uint64_t>(i));
    ASSERT_TRUE(VTR_Enqueue(&r));
  }
}

uint32_t WaitCount() {
  pthread_mutex_lock(&recordQueue.mutex);
  uint32_t n = recordQueue.producerWaitCount;
  pthread_mutex_unlock(&recordQueue.mutex);
  return n;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTR_InitRecordQueue();
    logLevel = 7;
    warnings.clear();
    VTR_SetLogHook(CaptureWarnings);
  }
  void TearDown() override {
    VTR_SetLogHook(nullptr);
    exitRequested.store(false);
    VTR_InitRecordQueue();
  }
};
using ConcurrencyQueue = QueueTest;

TEST_F(QueueTest, CutsRecordsAcrossReads) {
  TraceRecord recs[4];
  for (int i = 0; i < 4; i++) {
    recs[i] = Rec(100 + i, 7 * i);
    recs[i].worldGroupId = 11;
    recs[i].handleId = 0x1122334455667788ULL + i;
    recs[i].length = 4096;
    recs[i].latency = 9;
  }
  const uint8_t *stream = reinterpret_cast<const uint8_t *>(recs);
  uint8_t carry[VTR_CARRY_BUFFER_SIZE];
  EXPECT_EQ(VTR_CutRecords(carry, 0, stream, 100), 4);
  EXPECT_EQ(VTR_QueueCount(), 2);
  EXPECT_EQ(VTR_CutRecords(carry, 4, stream + 100, 92), 0);
  EXPECT_EQ(VTR_QueueCount(), 4);
  TraceRecord batch[VTR_BATCH_SIZE];
  ASSERT_EQ(VTR_TakeBatch(batch), 4);
  EXPECT_EQ(memcmp(batch, recs, sizeof recs), 0);
}

TEST_F(QueueTest, CutClampsAnOversizedByteCount) {
  std::vector<TraceRecord> data(400);
  for (size_t i = 0; i < data.size(); i++) data[i] = Rec(i);
  uint8_t carry[VTR_CARRY_BUFFER_SIZE] = {};
  // 47 carried + at most 16380 new bytes: 342 records, 11 bytes left over.
  EXPECT_EQ(VTR_CutRecords(carry, 47, reinterpret_cast<uint8_t *>(data.data()), 0xFFFFFFFFu), 11);
  EXPECT_EQ(VTR_QueueCount(), 342);
}

TEST_F(QueueTest, KeepsTimestampOrderAndArrivalOrderOfEqualStamps) {
  for (auto [ts, tag] : std::vector<std::pair<uint64_t, uint64_t>>{
           {10, 1}, {30, 2}, {20, 3}, {5, 4}, {30, 5}, {20, 6}}) {
    TraceRecord r = Rec(ts, tag);
    ASSERT_TRUE(VTR_Enqueue(&r));
  }
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(Drain(), (std::vector<P>{{5, 4}, {10, 1}, {20, 3}, {20, 6}, {30, 2}, {30, 5}}));
  EXPECT_EQ(recordQueue.readIndex, -1);
  EXPECT_EQ(recordQueue.writeIndex, -1);
}

TEST_F(QueueTest, RestartsAtSlotZeroOnceEmptied) {
  for (int i = 0; i < 700; i++) {
    TraceRecord r = Rec(i);
    VTR_Enqueue(&r);
  }
  Drain();
  TraceRecord r = Rec(1);
  VTR_Enqueue(&r);
  EXPECT_EQ(recordQueue.readIndex, 0);
  EXPECT_EQ(recordQueue.writeIndex, 0);
}

TEST_F(QueueTest, BatchNeverWrapsAndOrderSurvivesTheWrap) {
  // 3 records in the last three slots, 2 in slots 0 and 1.
  const int32_t last = VTR_QUEUE_SLOTS - 1;
  for (int i = 0; i < 3; i++) recordQueue.slots[last - 2 + i] = Rec(1 + i);
  recordQueue.slots[0] = Rec(4);
  recordQueue.slots[1] = Rec(6);
  recordQueue.readIndex = last - 2;
  recordQueue.writeIndex = 1;
  EXPECT_EQ(VTR_QueueCount(), 5);
  // A late record moves the wrapped ones across the boundary.
  TraceRecord late = Rec(2, 99);
  ASSERT_TRUE(VTR_Enqueue(&late));
  TraceRecord batch[VTR_BATCH_SIZE];
  ASSERT_EQ(VTR_TakeBatch(batch), 3);
  EXPECT_EQ(batch[0].timestamp, 1u);
  EXPECT_EQ(batch[1].lba, 0u);   // equal stamp: the earlier arrival first
  EXPECT_EQ(batch[2].lba, 99u);
  EXPECT_EQ(recordQueue.readIndex, 0);
  ASSERT_EQ(VTR_TakeBatch(batch), 3);
  EXPECT_EQ(batch[0].timestamp, 3u);
  EXPECT_EQ(batch[2].timestamp, 6u);
  EXPECT_EQ(recordQueue.readIndex, -1);
  EXPECT_EQ(recordQueue.writeIndex, -1);
  EXPECT_EQ(VTR_TakeBatch(batch), 0);
}

TEST_F(ConcurrencyQueue, FullQueueWaitsUntilABatchIsTaken) {
  FillQueue();
  EXPECT_EQ(VTR_QueueCount(), VTR_QUEUE_SLOTS);
  bool result = false;
  std::thread producer([&] {
    TraceRecord r = Rec(VTR_QUEUE_SLOTS + 1, 42);
    result = VTR_Enqueue(&r);
  });
  while (WaitCount() == 0) sched_yield();
  {
    std::lock_guard<std::mutex> lock(logMutex);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], "Producer Waiting on buffer full for 1 times");
  }
  static TraceRecord batch[VTR_BATCH_SIZE];
  pthread_mutex_lock(&recordQueue.mutex);
  EXPECT_EQ(VTR_TakeBatch(batch), VTR_BATCH_SIZE);
  pthread_mutex_unlock(&recordQueue.mutex);
  pthread_cond_signal(&recordQueue.spaceAvailable);
  producer.join();
  EXPECT_TRUE(result);
  EXPECT_GE(WaitCount(), 1u);
  EXPECT_EQ(VTR_QueueCount(), VTR_QUEUE_SLOTS - VTR_BATCH_SIZE + 1);
  EXPECT_EQ(recordQueue.slots[recordQueue.writeIndex].lba, 42u);
}

TEST_F(ConcurrencyQueue, FullQueueWaitGivesUpOnExit) {
  FillQueue();
  bool result = true;
  std::thread producer([&] {
    TraceRecord r = Rec(1);
    result = VTR_Enqueue(&r);
  });
  while (WaitCount() == 0) sched_yield();
  exitRequested.store(true);
  VTR_WakeQueueWaiters();
  producer.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(VTR_QueueCount(), VTR_QUEUE_SLOTS);
}

TEST_F(ConcurrencyQueue, SignalsRecordsAvailableAboveThreshold) {
  // A waiter without a time-out returns only when the Producer signals.
  bool waiting = false;
  int32_t seen = 0;
  std::thread consumer([&] {
    pthread_mutex_lock(&recordQueue.mutex);
    waiting = true;
    while (VTR_QueueCount() <= VTR_QUEUE_SIGNAL_THRESHOLD) {
      pthread_cond_wait(&recordQueue.recordsAvailable, &recordQueue.mutex);
    }
    seen = VTR_QueueCount();
    pthread_mutex_unlock(&recordQueue.mutex);
  });
  for (;;) {
    pthread_mutex_lock(&recordQueue.mutex);
    bool ready = waiting;
    pthread_mutex_unlock(&recordQueue.mutex);
    if (ready) break;
    sched_yield();
  }
  for (int i = 0; i <= VTR_QUEUE_SIGNAL_THRESHOLD; i++) {
    TraceRecord r = Rec(i);
    VTR_Enqueue(&r);
  }
  consumer.join();
  EXPECT_EQ(seen, VTR_QUEUE_SIGNAL_THRESHOLD + 1);
}

}  // namespace
