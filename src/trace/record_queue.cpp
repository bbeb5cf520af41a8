// STUB: replaced by the trace pipeline implementation.
#include "trace/record_queue.h"
RecordQueue recordQueue;
void VTR_InitRecordQueue() {
  pthread_mutex_init(&recordQueue.mutex, nullptr);
  pthread_cond_init(&recordQueue.spaceAvailable, nullptr);
  pthread_cond_init(&recordQueue.recordsAvailable, nullptr);
  recordQueue.readIndex = recordQueue.writeIndex = -1;
}
bool VTR_QueueEmpty() { return true; }
int32_t VTR_QueueCount() { return 0; }
bool VTR_Enqueue(const TraceRecord *) { return false; }
int32_t VTR_TakeBatch(TraceRecord *) { return 0; }
void VTR_WakeQueueWaiters() {}
