// Change-rate estimation: distinct 4 KiB blocks written per disk, by
// HyperLogLog over fixed 5/15/60-minute periods or by Sliding HyperLogLog
// over any trailing window up to an hour.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include "base/status.h"

constexpr int VTR_HLL_PRECISION = 14;
constexpr int VTR_HLL_REGISTERS = 1 << VTR_HLL_PRECISION;  // 16384
constexpr uint64_t VTR_HLL_SEED = 0xadc83b19ULL;
constexpr int VTR_HLL_PERIOD_SECS = 300;

// One HyperLogLog register set.
struct VTRhll {
  uint64_t estimate;  // distinct blocks of the last completed period
  uint8_t registers[VTR_HLL_REGISTERS];
};

struct VTR_CR_HLL {
  pthread_spinlock_t lock;  // guards the estimates and the clearing of registers
  VTRhll *hll5m;
  VTRhll *hll15m;
  VTRhll *hll60m;
};

struct VTR_SHll;  // sliding estimator; layout private to shll.cpp

// The change-rate slot of a disk entry.
struct VTR_CR_Metric {
  VTR_CR_HLL *hll;
  VTR_SHll *shll;
};

// Shared block hashing: calls fn(registerIndex, rank) for every 4 KiB block
// of a write of `length` bytes starting at `sector`.
uint64_t VTR_MurmurHash64A(uint64_t key, uint64_t seed);
inline uint32_t VTR_HllIndex(uint64_t h) { return static_cast<uint32_t>(h >> 50); }
inline uint8_t VTR_HllRank(uint64_t h) {
  return static_cast<uint8_t>(1 + __builtin_ctzll(h | (1ULL << 50)));
}
// The estimate from the harmonic sum S and the number of empty registers V.
uint64_t VTR_HllFormula(double sum, uint32_t zeroRegisters);

// Dispatchers used by the registry and the Consumer thread.
VTR_Status VTR_InitChangeRate(VTR_CR_Metric *slot, bool sliding);
void VTR_AddChangeRate(uint64_t sector, uint32_t length, VTR_CR_Metric *slot, bool sliding);
void VTR_DestroyChangeRate(VTR_CR_Metric *slot, bool sliding);

// HyperLogLog.
void VTR_HLLEstimate(VTRhll *set);
void VTR_HLLRollover(struct timeval *periodEnd, uint32_t *periodCounter);
void VTR_HLLDestroy(VTR_CR_Metric *slot);

// Sliding HyperLogLog.
VTR_Status VTR_SHllInit(VTR_SHll **slot);
void VTR_SHllAdd(uint64_t sector, uint32_t length, VTR_SHll *shll);
uint64_t VTR_SHllEstimate(VTR_SHll *shll, uint16_t windowSecs);
// The estimates for `count` windows in one pass over the registers: out[i] is
// what VTR_SHllEstimate(shll, windows[i]) would return if the calls were made
// in that order at the same clock (each also prunes as that call would).
void VTR_SHllEstimateWindows(VTR_SHll *shll, const uint16_t *windows, int count, uint64_t *out);
void VTR_SHllDestroy(VTR_SHll **slot);
// Bytes of heap held by one sliding estimator (benchmarks and tests).
uint64_t VTR_SHllMemoryBytes(const VTR_SHll *shll);
// Registers that currently hold at least one entry (tests).
uint32_t VTR_SHllUsedRegisters(const VTR_SHll *shll);
// Makes estimates add their sums register by register in floating point, as
// they do once a rank above 39 has been recorded (tests).
void VTR_SHllForceSequentialSums(VTR_SHll *shll);
// Sets how many occupied registers the estimator keeps in its compact sparse
// form before it moves them to the dense table (tests; default 1024).
void VTR_SHllSetDenseLimit(VTR_SHll *shll, uint32_t registers);
