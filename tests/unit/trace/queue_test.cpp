// Record queue and channel cutting: ordering, batching, the full-queue wait.
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "trace/analyzer.h"
#include "unit/test_support.h"

namespace {

TraceRecord Rec(uint64_t timestamp, uint64_t tag = 0) {
  TraceRecord r{};
  r.timestamp = timestamp;
  r.lba = tag;
  return r;
}
void Put(uint64_t timestamp, uint64_t tag = 0) {
  TraceRecord r = Rec(timestamp, tag);
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
      TraceRecord r = Rec(VTR_QUEUE_SLOTS, 42);
      *result = VTR_Enqueue(&r);
    });
    while (LockedWaitCount() == 0) sched_yield();
  }
  std::thread producer;
};
using ConcurrencyQueue = QueueTest;

TEST_F(QueueTest, CutsRecordsAcrossReads) {
  TraceRecord recs[4];
  for (int i = 0; i < 4; i++) {
    recs[i] = Rec(100 + i, 7 * i);
    recs[i].handleId = 0x1122334455667788ULL + i;
  }
  const uint8_t *stream = reinterpret_cast<const uint8_t *>(recs);
  uint8_t carry[VTR_CARRY_BUFFER_SIZE];
  EXPECT_EQ(VTR_CutRecords(carry, 0, stream, 100), 4);
  EXPECT_EQ(VTR_QueueCount(), 2);
  EXPECT_EQ(VTR_CutRecords(carry, 4, stream + 100, 92), 0);
  TraceRecord batch[VTR_BATCH_SIZE];
  ASSERT_EQ(VTR_TakeBatch(batch), 4);
  EXPECT_EQ(memcmp(batch, recs, sizeof recs), 0);
  // A byte count beyond the channel maximum is clamped: 47 carried + 16380.
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
  for (int i = 0; i < 3; i++) recordQueue.slots[last - 2 + i] = Rec(1 + i, 1 + i);
  recordQueue.slots[0] = Rec(4, 4);
  recordQueue.slots[1] = Rec(6, 6);
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
