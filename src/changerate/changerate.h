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

struct VTR_CR_HLL;  // fixed-period estimator; layout private to hll.cpp
struct VTR_SHll;    // sliding estimator; layout private to shll.cpp

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

// HyperLogLog. Periods are numbered 0 (5 min), 1 (15 min) and 2 (60 min).
// The periods that end now, as a bit mask (bit i: period i), or 0 while the
// current 5 minutes are not over; on an end it moves periodEnd to now and
// counts the end in periodCounter (the 15-minute one ends at every third, the
// 60-minute one at every twelfth).
uint32_t VTR_HLLDuePeriods(struct timeval *periodEnd, uint32_t *periodCounter);
// Ends the `due` periods of one disk (Consumer thread): the registers fed so
// far are set aside for their estimate and feeding goes on with cleared ones.
void VTR_HLLEndPeriods(VTR_CR_HLL *hll, uint32_t due);
// Estimates the periods that have ended and not yet been estimated.
void VTR_HLLSettle(VTR_CR_HLL *hll);
// The estimates of the last ended 5-, 15- and 60-minute periods (0 before the
// first end), settling any that are still pending.
VTR_Status VTR_HLLEstimates(VTR_CR_HLL *hll, uint64_t out[3]);
// The estimate of one register set.
uint64_t VTR_HLLEstimateRegisters(const uint8_t *registers);
// The registers that period `period` is currently fed into (tests).
const uint8_t *VTR_HLLRegisters(const VTR_CR_HLL *hll, int period);
void VTR_HLLDestroy(VTR_CR_Metric *slot);

// Sliding HyperLogLog.
VTR_Status VTR_SHllInit(VTR_SHll **slot);
void VTR_SHllAdd(uint64_t sector, uint32_t length, VTR_SHll *shll);
// One write of `length` bytes from `sector`, as VTR_SHllAdd takes it.
struct VTR_BlockWrite {
  uint64_t sector;
  uint32_t length;
};
// Records `count` writes, in order, under one lock and one clock reading:
// the same as calling VTR_SHllAdd for each of them within one second.
void VTR_SHllAddWrites(VTR_SHll *shll, const VTR_BlockWrite *writes, uint32_t count);
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
// Whether the estimator holds its lists in the dense form (tests).
bool VTR_SHllIsDense(const VTR_SHll *shll);
