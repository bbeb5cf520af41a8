// The Consumer thread: takes batches of records from the queue and hands
// them to the analysis, and ends the HyperLogLog periods.
//
// Freshness: the Producer signals the Consumer only once more than
// VTR_QUEUE_SIGNAL_THRESHOLD records are queued, so at lower rates the
// records are collected when the Consumer's timed wait runs out. That wait is
// kept short (CONSUMER_WAIT_NS) so that a queued record is counted well
// within 200 ms at any rate, and counters read over any interval of a second
// or more move smoothly instead of in one-second steps. An idle pass costs a
// lock, an empty batch and a clock read.
#include <time.h>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "trace/analyzer.h"

namespace {

constexpr long CONSUMER_WAIT_NS = 20 * 1000 * 1000;

void SetWaitDeadline(struct timespec *deadline) {
  clock_gettime(CLOCK_MONOTONIC, deadline);
  deadline->tv_nsec += CONSUMER_WAIT_NS;
  if (deadline->tv_nsec >= 1000000000L) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= 1000000000L;
  }
}

}  // namespace

void *VTR_ConsumerThread(void *) {
  VTR_Log(LOG_INFO, "Analyzer: Consumer thread initialized.");
  struct timeval periodEnd;
  VTR_GetTime(&periodEnd);
  uint32_t periodCounter = 1;
  if (exitRequested.load()) return nullptr;
  const bool hllPeriods = changeRateEnabled && !slidingHllEnabled;

  for (;;) {
    // The period end takes registryLock, which comes before the queue mutex
    // in the lock order, so it runs at each wake-up before the queue is locked.
    if (hllPeriods) VTR_HLLRollover(&periodEnd, &periodCounter);
    pthread_mutex_lock(&recordQueue.mutex);
    if (!exitRequested.load(std::memory_order_relaxed) && VTR_QueueEmpty()) {
      // One wait per pass: whether it times out, is signalled or wakes
      // spuriously, the pass ends by unlocking, so the period end above runs
      // many times a second while idle.
      struct timespec deadline;
      SetWaitDeadline(&deadline);
      pthread_cond_timedwait(&recordQueue.recordsAvailable, &recordQueue.mutex, &deadline);
    }
    VTR_ProcessBatch();
    pthread_mutex_unlock(&recordQueue.mutex);
    pthread_cond_signal(&recordQueue.spaceAvailable);
    if (exitRequested.load(std::memory_order_relaxed)) break;
  }
  return nullptr;
}
