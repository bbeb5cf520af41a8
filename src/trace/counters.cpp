// Per-record analysis: direction, sequentiality, alignment, size and latency
// histograms of one disk's counter block.
#include "trace/counters.h"

#include "main/config.h"
#include "main/log.h"
#include "trace/analyzer.h"

const char metricFieldNames[VTR_NUM_COUNTERS][VTR_METRIC_NAME_SIZE] = {
    "rio",            "wio",            "rthput",        "wthput",        "seqrio",
    "seqwio",         "seqrbytes",      "seqwbytes",     "eq4kalirio",    "eq4kaliwio",
    "lt4krio",        "lt4kwio",        "eq4krio",       "eq4kwio",       "gt4lt8krio",
    "gt4lt8kwio",     "eq8krio",        "eq8kwio",       "gt8lt16krio",   "gt8lt16kwio",
    "eq16krio",       "eq16kwio",       "gt16lt32krio",  "gt16lt32kwio",  "eq32krio",
    "eq32kwio",       "gt32lt64krio",   "gt32lt64kwio",  "eq64krio",      "eq64kwio",
    "gt64lt128krio",  "gt64lt128kwio",  "eq128krio",     "eq128kwio",     "gt128lt256krio",
    "gt128lt256kwio", "eq256krio",      "eq256kwio",     "gt256lt512krio", "gt256lt512kwio",
    "eq512krio",      "eq512kwio",      "gt512klt1mrio", "gt512klt1mwio", "eq1mrio",
    "eq1mwio",        "gt1mrio",        "gt1mwio",       "rlat1us",       "wlat1us",
    "rlat10us",       "wlat10us",       "rlat100us",     "wlat100us",     "rlat500us",
    "wlat500us",      "rlat1ms",        "wlat1ms",       "rlat5ms",       "wlat5ms",
    "rlat10ms",       "wlat10ms",       "rlat25ms",      "wlat25ms",      "rlat50ms",
    "wlat50ms",       "rlat100ms",      "wlat100ms",     "rlatgt100ms",   "wlatgt100ms",
};

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
  if (lastLba < newEnd) return 3;  // overlapping ranges
  return lastLba - newEnd <= SHORT_GAP_SECTORS ? 4 : 0;  // just before the last one
}

void VTR_UpdateCounters(DiskEntry *entry, const TraceRecord *record) {
  const uint8_t opClass = record->opcode & OPCODE_CLASS_MASK;
  int d;
  if (opClass == OPCODE_READ) {
    d = 0;
  } else if (opClass == OPCODE_WRITE) {
    d = 1;
  } else {
    VTR_Log(LOG_DEBUG, "Unhandled VSCSI Command Type: 0x%x\n", record->opcode);
    return;
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

  if (d == 1 && changeRateEnabled) {
    VTR_AddChangeRate(lba, length, &entry->changeRate, slidingHllEnabled);
  }
}
