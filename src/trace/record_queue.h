// Trace records and the time-ordered queue between the Producer and the
// Consumer thread.
#pragma once

#include <pthread.h>
#include <stdint.h>

constexpr int VTR_TRACE_RECORD_SIZE = 48;
constexpr int32_t VTR_QUEUE_SLOTS = 500000;
constexpr int32_t VTR_BATCH_SIZE = 500;
constexpr int32_t VTR_QUEUE_SIGNAL_THRESHOLD = 5000;
constexpr const char *VTR_TRACE_CHANNEL = "vethra_vscsi_trace";

// Host wire layout (little-endian, 48 bytes).
struct TraceRecord {
  uint8_t reserved0;
  uint8_t opcode;
  uint16_t reserved1;
  uint32_t worldGroupId;
  uint64_t handleId;
  uint32_t length;
  uint32_t reserved2;
  uint64_t lba;
  uint64_t timestamp;
  uint64_t latency;
} __attribute__((packed));
static_assert(sizeof(TraceRecord) == VTR_TRACE_RECORD_SIZE);

struct RecordQueue {
  TraceRecord slots[VTR_QUEUE_SLOTS];
  int32_t readIndex;   // oldest record, -1 when empty
  int32_t writeIndex;  // newest record, -1 when empty
  pthread_mutex_t mutex;
  pthread_cond_t spaceAvailable;
  pthread_cond_t recordsAvailable;
  uint32_t producerWaitCount;
  uint32_t recordsSignalCount;  // times recordsAvailable was signalled (tests)
};

extern RecordQueue recordQueue;

// Creates the mutex and conditions (once per process), marks the queue empty,
// forgets the Consumer's cached lookups and failure count and installs the
// registry's entry-removal fence.
void VTR_InitRecordQueue();
// The pair of VTR_InitRecordQueue: empties the queue and takes the fence
// back. No Producer or Consumer may run.
void VTR_FinaliseRecordQueue();
// All of the following expect the caller to hold recordQueue.mutex, except
// VTR_Enqueue, which takes it.
bool VTR_QueueEmpty();
int32_t VTR_QueueCount();
// Inserts one record in timestamp order; waits while the queue is full.
// Returns false without inserting when exitRequested is seen during the wait.
bool VTR_Enqueue(const TraceRecord *record);
// Copies up to VTR_BATCH_SIZE of the oldest records into out; never wraps.
int32_t VTR_TakeBatch(TraceRecord *out);
// Wakes every thread waiting on the queue (shutdown).
void VTR_WakeQueueWaiters();
