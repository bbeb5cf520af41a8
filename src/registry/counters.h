// The per-disk counter block and the names of its 70 counters.
#pragma once

#include <stdint.h>

#include <atomic>

constexpr int VTR_NUM_COUNTERS = 70;
constexpr int VTR_METRIC_NAME_SIZE = 32;

// Indices of the fixed counters; the size histogram starts at 10 + 2b
// (read) / 11 + 2b (write), the latency histogram at 48 + 2b / 49 + 2b.
enum {
  VTR_CTR_RIO = 0,
  VTR_CTR_WIO = 1,
  VTR_CTR_RTHPUT = 2,
  VTR_CTR_WTHPUT = 3,
  VTR_CTR_SEQRIO = 4,
  VTR_CTR_SEQWIO = 5,
  VTR_CTR_SEQRBYTES = 6,
  VTR_CTR_SEQWBYTES = 7,
  VTR_CTR_ALIGNED_RIO = 8,
  VTR_CTR_ALIGNED_WIO = 9,
  VTR_CTR_SIZE_BASE = 10,
  VTR_NUM_SIZE_BUCKETS = 19,
  VTR_CTR_LAT_BASE = 48,
  VTR_NUM_LAT_BUCKETS = 11,
};

extern const char metricFieldNames[VTR_NUM_COUNTERS][VTR_METRIC_NAME_SIZE];

// Written only by the Consumer thread; read by queries on other threads.
// Access every field through VTR_CounterLoad/VTR_CounterStore so that a
// reader always sees whole 64-bit values (relaxed atomics: plain moves on x86-64).
struct CounterBlock {
  uint64_t ioCounters[VTR_NUM_COUNTERS];
  uint64_t lastLba[2];  // [0] read, [1] write
  uint64_t lastLength[2];
  uint64_t lastTimestamp[2];
};

inline uint64_t VTR_CounterLoad(const uint64_t &c) {
  return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(c)).load(std::memory_order_relaxed);
}
inline void VTR_CounterStore(uint64_t &c, uint64_t v) {
  std::atomic_ref<uint64_t>(c).store(v, std::memory_order_relaxed);
}
inline void VTR_CounterAdd(uint64_t &c, uint64_t v) { VTR_CounterStore(c, VTR_CounterLoad(c) + v); }
