// Per-record analysis on the Consumer thread: finds each record's disk entry
// and updates its counters (direction, sequentiality, alignment, size and
// latency histograms) and, for writes, its change-rate estimator.
#include <string.h>

#include "base/config.h"
#include "base/log.h"
#include "trace/analyzer.h"

namespace {
constexpr uint64_t SEQUENTIAL_WINDOW = 1000000;  // trace-clock units
constexpr uint64_t SHORT_GAP_SECTORS = 32;
constexpr uint8_t OPCODE_CLASS_MASK = 0x5F;  // folds the 6/10/12/16-byte CDB variants
constexpr uint8_t OPCODE_READ = 0x08;
constexpr uint8_t OPCODE_WRITE = 0x0A;
}  // namespace

// Size classes by whole KiB k: 0-3 | 4 | 5-7 | 8 | 9-15 | ... | 1024 | above.
// From 4 KiB to 1 MiB each power of two 2^p has an "equal" bucket 2(p-2)+1
// followed by the "between" bucket 2(p-2)+2 for the lengths up to 2^(p+1).
int VTR_SizeBucket(uint32_t length) {
  const uint32_t k = length >> 10;
  if (k < 4) return 0;
  if (k > 1024) return VTR_NUM_SIZE_BUCKETS - 1;
  const int p = 31 - __builtin_clz(k);
  return 2 * (p - 2) + (k == (1u << p) ? 1 : 2);
}

// Inclusive upper bounds in microseconds; the count of bounds below L is the bucket.
int VTR_LatencyBucket(uint64_t l) {
  return (l > 1) + (l > 10) + (l > 100) + (l > 500) + (l > 1000) + (l > 5000) + (l > 10000) +
         (l > 25000) + (l > 50000) + (l > 100000);
}

int VTR_ClassifySequential(const DiskEntry *entry, const TraceRecord *record, int d) {
  const CounterBlock &c = entry->counters;
  const uint64_t lastLength = c.lastLength[d];
  if (lastLength == 0) return 0;
  if (record->timestamp - c.lastTimestamp[d] > SEQUENTIAL_WINDOW) return 0;
  const uint64_t lastLba = c.lastLba[d];
  const uint64_t lba = record->lba;
  const uint64_t previousEnd = lastLba + (lastLength >> 9);
  if (lba == previousEnd) return 1;  // continues where the last one ended
  if (lba == lastLba && record->length == lastLength) return 2;  // the same range again
  if (previousEnd < lba) return lba - previousEnd <= SHORT_GAP_SECTORS ? 5 : 0;
  const uint64_t newEnd = lba + (record->length >> 9);
  if (lastLba < newEnd) return 3;                        // overlapping ranges
  return lastLba - newEnd <= SHORT_GAP_SECTORS ? 4 : 0;  // just before the last one
}

namespace {

// Counts one record in its disk's counters; true when it is a write.
inline bool CountRecord(DiskEntry *entry, const TraceRecord *record) {
  const uint8_t opClass = record->opcode & OPCODE_CLASS_MASK;
  int d;
  if (opClass == OPCODE_READ) {
    d = 0;
  } else if (opClass == OPCODE_WRITE) {
    d = 1;
  } else {
    VTR_Log(LOG_DEBUG, "Unhandled VSCSI Command Type: 0x%x\n", record->opcode);
    return false;
  }
  CounterBlock &c = entry->counters;
  uint64_t *ctr = c.ioCounters;
  const uint32_t length = record->length;
  const uint64_t lba = record->lba;

  VTR_CounterAdd(ctr[VTR_CTR_RIO + d], 1);
  VTR_CounterAdd(ctr[VTR_CTR_RTHPUT + d], length);
  if (VTR_ClassifySequential(entry, record, d) != 0) {
    VTR_CounterAdd(ctr[VTR_CTR_SEQRIO + d], 1);
    VTR_CounterAdd(ctr[VTR_CTR_SEQRBYTES + d], length);
  }
  if ((lba & 7) == 0 && (length & 4095) == 0) VTR_CounterAdd(ctr[VTR_CTR_ALIGNED_RIO + d], 1);
  VTR_CounterAdd(ctr[VTR_CTR_SIZE_BASE + 2 * VTR_SizeBucket(length) + d], 1);
  VTR_CounterAdd(ctr[VTR_CTR_LAT_BASE + 2 * VTR_LatencyBucket(record->latency) + d], 1);

  VTR_CounterStore(c.lastLba[d], lba);
  VTR_CounterStore(c.lastLength[d], length);
  VTR_CounterStore(c.lastTimestamp[d], record->timestamp);
  return d == 1;
}

}  // namespace

void VTR_UpdateCounters(DiskEntry *entry, const TraceRecord *record) {
  if (CountRecord(entry, record) && changeRateEnabled)
    VTR_AddChangeRate(record->lba, record->length, &entry->changeRate, slidingHllEnabled);
}

int32_t lookupFailureCount = 0;

namespace {

// Cache of recent successful lookups, used only with the queue mutex held.
// Entries are unlinked and freed only by VTR_DeleteHashEntry, which drops the
// cache under the same mutex, so a cached pointer is always a live entry.
// Failed lookups are not cached: a disk may be added at any time. The cache is
// indexed by the disk's identity (world group id, low 32 bits of the handle
// id), the only inputs of the disk key, which saves computing the key on a hit.
constexpr int ENTRY_CACHE_SLOTS = 256;
struct CachedEntry {
  uint64_t identity;
  DiskEntry *entry;
};
CachedEntry entryCache[ENTRY_CACHE_SLOTS];

inline uint64_t DiskIdentity(const TraceRecord *r) {
  return static_cast<uint64_t>(r->worldGroupId) << 32 | static_cast<uint32_t>(r->handleId);
}
inline CachedEntry &CacheSlot(uint64_t identity) {
  const uint64_t h = identity * 0x9E3779B97F4A7C15ULL;
  return entryCache[h >> 56];
}
static_assert(ENTRY_CACHE_SLOTS == 256, "CacheSlot takes the top 8 bits");

TraceRecord batchBuffer[VTR_BATCH_SIZE];

// Records of a disk without an entry arrive at the full I/O rate: log the
// first 99 and then every 1000th.
__attribute__((noinline)) void CountLookupFailure(const TraceRecord *record, uint64_t key) {
  lookupFailureCount = static_cast<int32_t>(static_cast<uint32_t>(lookupFailureCount) + 1);
  if (lookupFailureCount <= 99 || lookupFailureCount % 1000 == 0) {
    VTR_Log(LOG_WARNING,
            "Analyzer: Hash entry loopkup failures seen for worldId: %d handleId: %d hashKey: "
            "%lu Total lookup failure:%d",
            static_cast<int>(record->worldGroupId), static_cast<int32_t>(record->handleId),
            static_cast<unsigned long>(key % VTR_DISK_TABLE_BUCKETS), lookupFailureCount);
  }
}

}  // namespace

void VTR_InvalidateEntryCache() { memset(static_cast<void *>(entryCache), 0, sizeof entryCache); }

namespace {

// The disk entry of a record, through the cache; null (counted and logged)
// when the disk has none.
DiskEntry *LookupEntry(const TraceRecord *record) {
  const uint64_t identity = DiskIdentity(record);
  CachedEntry &slot = CacheSlot(identity);
  if (slot.entry != nullptr && slot.identity == identity) return slot.entry;
  const uint64_t key = VTR_GetDiskKey(record->worldGroupId, record->handleId);
  DiskEntry *entry = VTR_FindDiskEntry(key);
  if (entry == nullptr) {
    CountLookupFailure(record, key);
    return nullptr;
  }
  slot.identity = identity;
  slot.entry = entry;
  return entry;
}

// A batch's writes for the sliding estimators, handed over per estimator at
// the end of the batch: each estimator then takes its lock and reads the
// clock once per batch instead of once per write, which costs several times
// more than hashing the write's blocks. Stamps are whole seconds, so a write
// entered a batch's length later keeps its second or moves to the next.
struct SlidingGroup {
  VTR_SHll *shll;
  uint32_t count;
  uint32_t start;
  uint32_t slot;  // its place in groupSlots
};
constexpr uint32_t GROUP_SLOTS = 1024;  // a power of two above twice VTR_BATCH_SIZE
static_assert(GROUP_SLOTS >= 2 * VTR_BATCH_SIZE, "the table stays at most half full");
struct SlidingBatch {
  VTR_BlockWrite writes[VTR_BATCH_SIZE];
  uint16_t group[VTR_BATCH_SIZE];
  VTR_BlockWrite grouped[VTR_BATCH_SIZE];
  SlidingGroup groups[VTR_BATCH_SIZE];
  uint16_t groupSlots[GROUP_SLOTS];  // group index + 1; 0: free
  uint32_t writeCount;
  uint32_t groupCount;
} slidingBatch;

void CollectSlidingWrite(VTR_SHll *shll, uint64_t sector, uint32_t length) {
  if (shll == nullptr) {  // logs as an add to a missing estimator does
    VTR_SHllAdd(sector, length, shll);
    return;
  }
  SlidingBatch &b = slidingBatch;
  uint32_t slot =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(shll) * 0x9E3779B97F4A7C15ULL >> 54);
  while (b.groupSlots[slot] != 0 && b.groups[b.groupSlots[slot] - 1].shll != shll)
    slot = (slot + 1) & (GROUP_SLOTS - 1);
  if (b.groupSlots[slot] == 0) {
    b.groups[b.groupCount] = SlidingGroup{shll, 0, 0, slot};
    b.groupSlots[slot] = static_cast<uint16_t>(++b.groupCount);
  }
  const uint16_t g = static_cast<uint16_t>(b.groupSlots[slot] - 1);
  ++b.groups[g].count;
  b.group[b.writeCount] = g;
  b.writes[b.writeCount++] = VTR_BlockWrite{sector, length};
}

void FlushSlidingWrites() {
  SlidingBatch &b = slidingBatch;
  uint32_t start = 0;
  for (uint32_t g = 0; g < b.groupCount; ++g) {
    b.groups[g].start = start;
    start += b.groups[g].count;
    b.groups[g].count = 0;
  }
  for (uint32_t i = 0; i < b.writeCount; ++i) {
    SlidingGroup &group = b.groups[b.group[i]];
    b.grouped[group.start + group.count++] = b.writes[i];
  }
  for (uint32_t g = 0; g < b.groupCount; ++g) {
    const SlidingGroup &group = b.groups[g];
    VTR_SHllAddWrites(group.shll, b.grouped + group.start, group.count);
    b.groupSlots[group.slot] = 0;
  }
  b.writeCount = 0;
  b.groupCount = 0;
}

}  // namespace

void VTR_ProcessRecord(const TraceRecord *record) {
  if (DiskEntry *entry = LookupEntry(record)) VTR_UpdateCounters(entry, record);
}

int32_t VTR_ProcessBatch() {
  const int32_t n = VTR_TakeBatch(batchBuffer);
  const bool sliding = slidingHllEnabled;
  for (int32_t i = 0; i < n; i++) {
    const TraceRecord *record = &batchBuffer[i];
    DiskEntry *entry = LookupEntry(record);
    if (entry == nullptr || !CountRecord(entry, record) || !changeRateEnabled) continue;
    if (sliding)
      CollectSlidingWrite(entry->changeRate.shll, record->lba, record->length);
    else
      VTR_AddChangeRate(record->lba, record->length, &entry->changeRate, false);
  }
  // Entries live while recordQueue.mutex is held, so the estimators do too.
  FlushSlidingWrites();
  return n;
}
