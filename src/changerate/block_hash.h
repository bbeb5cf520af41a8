// Block hashing shared by the two estimators, inlined into their feed loops.
#pragma once

#include <stdint.h>

#include <array>

#include "changerate/changerate.h"

namespace vtr_cr {

constexpr uint64_t kMurmurMul = 0xc6a4a7935bd1e995ULL;
constexpr int kMurmurShift = 47;
// seed ^ (8 * m): the state after absorbing the length of one 8-byte key.
constexpr uint64_t kMurmurInit = VTR_HLL_SEED ^ (8 * kMurmurMul);
// Consecutive block keys differ by 8 sectors, so key * m grows by 8 * m.
constexpr uint64_t kKeyStep = 8 * kMurmurMul;

// MurmurHash64A of one 64-bit key, given km = key * m, in place; T is
// uint64_t or a vector of them (the same steps lane by lane).
template <typename T>
__attribute__((always_inline)) inline void MurmurMix(T &km) {
  km ^= km >> kMurmurShift;
  km *= kMurmurMul;
  km ^= kMurmurInit;
  km *= kMurmurMul;
  km ^= km >> kMurmurShift;
  km *= kMurmurMul;
  km ^= km >> kMurmurShift;
}
inline uint64_t MurmurFromProduct(uint64_t km) {
  MurmurMix(km);
  return km;
}

// 2^-r for every register value, exact in double precision: the terms of
// the harmonic sum of both estimators.
inline const std::array<double, 64> kInversePowers = [] {
  std::array<double, 64> table{};
  double value = 1.0;
  for (double &entry : table) {
    entry = value;
    value /= 2.0;
  }
  return table;
}();

// Number of 4 KiB blocks of a write of `length` bytes, rounded up.
inline uint32_t BlockCount(uint32_t length) { return (length >> 12) + ((length & 0xfffu) != 0); }

// Hashes of the `n` consecutive blocks whose first key product is `km`
// (out[i] = MurmurFromProduct(km + i * kKeyStep)); eight at a time in vector
// registers where the processor has 64-bit vector multiplies.
void HashBlockRun(uint64_t km, uint32_t n, uint64_t *out);
// Runs of fewer blocks are hashed inline; longer ones in chunks of this many.
constexpr uint32_t kShortRun = 8;
constexpr uint32_t kHashChunk = 64;

// Raises ranks[j] to the rank of every block of the `count` writes that
// falls in register j: the highest rank per register, as a HyperLogLog add
// keeps it. Returns the number of blocks.
uint32_t RaiseWriteRanks(const VTR_BlockWrite *writes, uint32_t count, uint8_t *ranks);

// Calls fn(registerIndex, rank) for each block of the write, in block order.
// Block keys are the first sector of each 4 KiB block, counted from the 4 KiB
// boundary at or below `sector`; the count comes from the length alone.
template <typename Fn>
inline void ForEachBlock(uint64_t sector, uint32_t length, Fn &&fn) {
  uint64_t km = (sector & ~7ULL) * kMurmurMul;
  uint32_t n = BlockCount(length);
  if (n < kShortRun) {
    for (; n != 0; --n, km += kKeyStep) {
      uint64_t h = MurmurFromProduct(km);
      fn(VTR_HllIndex(h), VTR_HllRank(h));
    }
    return;
  }
  uint64_t hashes[kHashChunk];
  while (n != 0) {
    const uint32_t m = n < kHashChunk ? n : kHashChunk;
    HashBlockRun(km, m, hashes);
    for (uint32_t i = 0; i < m; ++i) fn(VTR_HllIndex(hashes[i]), VTR_HllRank(hashes[i]));
    km += m * kKeyStep;
    n -= m;
  }
}

}  // namespace vtr_cr

// HyperLogLog operations behind the dispatchers (hll.cpp).
VTR_Status VTR_HLLInit(VTR_CR_Metric *slot);
void VTR_HLLAdd(uint64_t sector, uint32_t length, VTR_CR_HLL *hll);
