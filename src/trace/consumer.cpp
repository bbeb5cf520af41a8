// The Consumer thread: takes batches of records from the queue and updates
// the counters of each record's disk entry.
#include <string.h>
#include <time.h>

#include "main/clock.h"
#include "main/config.h"
#include "main/log.h"
#include "trace/analyzer.h"

int32_t lookupFailureCount = 0;

namespace {

// Key -> entry cache of recent successful lookups, used only with the queue
// mutex held. Entries are unlinked and freed only by VTR_DeleteHashEntry,
// which drops the cache under the same mutex, so a cached pointer is always
// a live entry. Failed lookups are not cached: a disk may be added any time.
constexpr int ENTRY_CACHE_SLOTS = 256;
struct CachedEntry {
  uint64_t key;
  DiskEntry *entry;
};
CachedEntry entryCache[ENTRY_CACHE_SLOTS];

inline CachedEntry &CacheSlot(uint64_t key) {
  return entryCache[(key ^ (key >> 11) ^ (key >> 29)) & (ENTRY_CACHE_SLOTS - 1)];
}

TraceRecord batchBuffer[VTR_BATCH_SIZE];

void AddOneSecond(struct timespec *deadline) {
  clock_gettime(CLOCK_MONOTONIC, deadline);
  deadline->tv_sec += 1;
}

}  // namespace

void VTR_InvalidateEntryCache() { memset(static_cast<void *>(entryCache), 0, sizeof entryCache); }

void VTR_ProcessRecord(const TraceRecord *record) {
  const uint64_t key = VTR_GetDiskKey(record->worldGroupId, record->handleId);
  CachedEntry &slot = CacheSlot(key);
  DiskEntry *entry = slot.entry != nullptr && slot.key == key ? slot.entry : nullptr;
  if (entry == nullptr) {
    if (hash_node *node = hash_lookup_node(&diskTable, key)) {
      entry = static_cast<DiskEntry *>(node->value);
      slot.key = key;
      slot.entry = entry;
    }
  }
  if (entry != nullptr) {
    VTR_UpdateCounters(entry, record);
    return;
  }
  // Records of a disk without an entry arrive at the full I/O rate: log the
  // first 99 and then every 1000th.
  lookupFailureCount = static_cast<int32_t>(static_cast<uint32_t>(lookupFailureCount) + 1);
  if (lookupFailureCount <= 99 || lookupFailureCount % 1000 == 0) {
    VTR_Log(LOG_WARNING,
            "Analyzer: Hash entry loopkup failures seen for worldId: %d handleId: %d hashKey: "
            "%lu Total lookup failure:%d",
            static_cast<int>(record->worldGroupId), static_cast<int32_t>(record->handleId),
            static_cast<unsigned long>(key % VTR_DISK_TABLE_BUCKETS), lookupFailureCount);
  }
}

int32_t VTR_ProcessBatch() {
  const int32_t n = VTR_TakeBatch(batchBuffer);
  for (int32_t i = 0; i < n; i++) VTR_ProcessRecord(&batchBuffer[i]);
  return n;
}

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
      // at least about once a second while idle.
      struct timespec deadline;
      AddOneSecond(&deadline);
      pthread_cond_timedwait(&recordQueue.recordsAvailable, &recordQueue.mutex, &deadline);
    }
    VTR_ProcessBatch();
    pthread_mutex_unlock(&recordQueue.mutex);
    pthread_cond_signal(&recordQueue.spaceAvailable);
    if (exitRequested.load(std::memory_order_relaxed)) break;
  }
  return nullptr;
}
