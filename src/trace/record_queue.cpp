// The time-ordered record queue between the Producer and the Consumer: a
// static ring of VTR_QUEUE_SLOTS records, guarded by one mutex.
#include "trace/record_queue.h"

#include <string.h>
#include <time.h>

#include "base/config.h"
#include "base/log.h"
#include "registry/registry.h"
#include "trace/analyzer.h"

alignas(64) RecordQueue recordQueue;

namespace {

pthread_once_t queueOnce = PTHREAD_ONCE_INIT;

void CreateQueueSync() {
  pthread_mutex_init(&recordQueue.mutex, nullptr);
  pthread_cond_init(&recordQueue.spaceAvailable, nullptr);
  // The Consumer's timed wait is measured on the monotonic clock so
  // that a step of the wall clock cannot stretch it.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&recordQueue.recordsAvailable, &attr);
  pthread_condattr_destroy(&attr);
}

// The registry unlinks a disk entry inside this fence: the Consumer reads
// entries only while it holds the queue mutex, and its lookup cache is
// dropped before the mutex is given back.
void EnterRemovalFence() { pthread_mutex_lock(&recordQueue.mutex); }
void LeaveRemovalFence() {
  VTR_InvalidateEntryCache();
  pthread_mutex_unlock(&recordQueue.mutex);
}

inline int32_t NextSlot(int32_t i) { return i + 1 == VTR_QUEUE_SLOTS ? 0 : i + 1; }
inline int32_t PrevSlot(int32_t i) { return i == 0 ? VTR_QUEUE_SLOTS - 1 : i - 1; }
inline bool QueueFull() { return NextSlot(recordQueue.writeIndex) == recordQueue.readIndex; }

// Stores r at the right place behind the queued records (queue not empty,
// not full). Equal time stamps keep their arrival order.
void InsertOrdered(const TraceRecord *r) {
  TraceRecord *slots = recordQueue.slots;
  const int32_t w = recordQueue.writeIndex;
  const uint64_t ts = r->timestamp;
  if (ts >= slots[w].timestamp) {
    slots[NextSlot(w)] = *r;
    return;
  }
  // Shift every newer record one slot towards the write side, newest first.
  int32_t j = w;
  for (;;) {
    slots[NextSlot(j)] = slots[j];
    if (j == recordQueue.readIndex) break;
    int32_t p = PrevSlot(j);
    if (slots[p].timestamp <= ts) break;
    j = p;
  }
  slots[j] = *r;
}

}  // namespace

void VTR_InitRecordQueue() {
  pthread_once(&queueOnce, CreateQueueSync);
  VTR_SetEntryRemovalFence({EnterRemovalFence, LeaveRemovalFence});
  pthread_mutex_lock(&recordQueue.mutex);
  VTR_InvalidateEntryCache();
  lookupFailureCount = 0;
  recordQueue.readIndex = recordQueue.writeIndex = -1;
  recordQueue.producerWaitCount = 0;
  recordQueue.recordsSignalCount = 0;
  pthread_mutex_unlock(&recordQueue.mutex);
}

void VTR_FinaliseRecordQueue() {
  VTR_SetEntryRemovalFence({nullptr, nullptr});
  recordQueue.readIndex = recordQueue.writeIndex = -1;
  recordQueue.producerWaitCount = 0;
}

bool VTR_QueueEmpty() { return recordQueue.readIndex == -1; }

int32_t VTR_QueueCount() {
  const int32_t r = recordQueue.readIndex, w = recordQueue.writeIndex;
  if (r == -1) return 0;
  return r <= w ? w + 1 - r : w + VTR_QUEUE_SLOTS + 1 - r;
}

bool VTR_Enqueue(const TraceRecord *record) {
  pthread_mutex_lock(&recordQueue.mutex);
  while (!VTR_QueueEmpty() && QueueFull()) {
    // The shutdown sets exitRequested before it wakes this wait, so a full
    // queue cannot keep the Producer from being joined.
    if (exitRequested.load(std::memory_order_relaxed)) {
      pthread_mutex_unlock(&recordQueue.mutex);
      return false;
    }
    recordQueue.producerWaitCount++;
    VTR_Log(LOG_WARNING, "Producer Waiting on buffer full for %u times",
            recordQueue.producerWaitCount);
    pthread_cond_wait(&recordQueue.spaceAvailable, &recordQueue.mutex);
  }
  if (VTR_QueueEmpty()) {
    recordQueue.readIndex = 0;
    recordQueue.writeIndex = 0;
    recordQueue.slots[0] = *record;
  } else {
    InsertOrdered(record);
    recordQueue.writeIndex = NextSlot(recordQueue.writeIndex);
  }
  if (VTR_QueueCount() > VTR_QUEUE_SIGNAL_THRESHOLD) {
    recordQueue.recordsSignalCount++;
    pthread_cond_signal(&recordQueue.recordsAvailable);
  }
  pthread_mutex_unlock(&recordQueue.mutex);
  return true;
}

int32_t VTR_TakeBatch(TraceRecord *out) {
  const int32_t r = recordQueue.readIndex, w = recordQueue.writeIndex;
  if (r == -1) return 0;
  // A batch never wraps: records past the last slot wait for the next one.
  int32_t n = r > w ? VTR_QUEUE_SLOTS - r : w + 1 - r;
  if (n > VTR_BATCH_SIZE) n = VTR_BATCH_SIZE;
  memcpy(static_cast<void *>(out), &recordQueue.slots[r], sizeof(TraceRecord) * n);
  int32_t next = r + n;
  if (next == VTR_QUEUE_SLOTS) next = 0;
  if (next == NextSlot(w)) {
    recordQueue.readIndex = recordQueue.writeIndex = -1;
  } else {
    recordQueue.readIndex = next;
  }
  return n;
}

void VTR_WakeQueueWaiters() {
  pthread_mutex_lock(&recordQueue.mutex);
  pthread_cond_broadcast(&recordQueue.spaceAvailable);
  pthread_cond_broadcast(&recordQueue.recordsAvailable);
  pthread_mutex_unlock(&recordQueue.mutex);
}
