// Block hashing, the estimate formula and the dispatchers that create, feed
// and release a disk's estimator of the kind selected at start-up.
#include "changerate/block_hash.h"

#include <math.h>
#include <string.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "base/log.h"

uint64_t VTR_MurmurHash64A(uint64_t key, uint64_t seed) {
  using namespace vtr_cr;
  uint64_t k = key * kMurmurMul;
  k ^= k >> kMurmurShift;
  k *= kMurmurMul;
  uint64_t h = seed ^ (8 * kMurmurMul);
  h ^= k;
  h *= kMurmurMul;
  h ^= h >> kMurmurShift;
  h *= kMurmurMul;
  h ^= h >> kMurmurShift;
  return h;
}

namespace vtr_cr {
namespace {

void HashRunScalar(uint64_t km, uint32_t n, uint64_t *out) {
  for (uint32_t i = 0; i < n; ++i, km += kKeyStep) out[i] = MurmurFromProduct(km);
}

// A busy register is rarely raised (only by a rank above all it got in the
// second), so the store is left out unless it raises, instead of storing
// the larger rank every time: fewer stores for later loads to wait behind.
inline void RaiseRank(uint8_t *__restrict ranks, uint32_t j, uint8_t rank) {
  if (ranks[j] < rank) ranks[j] = rank;
}

void RaiseRunScalar(uint8_t *__restrict ranks, uint64_t km, uint32_t n) {
  for (; n != 0; --n, km += kKeyStep) {
    const uint64_t h = MurmurFromProduct(km);
    RaiseRank(ranks, VTR_HllIndex(h), VTR_HllRank(h));
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
using Lanes = uint64_t __attribute__((vector_size(64)));
using Codes = uint32_t __attribute__((vector_size(32)));

// The same hashes, eight lanes at a time (AVX-512 has the 64-bit multiply).
__attribute__((target("avx512f,avx512dq"))) void HashRunWide(uint64_t km, uint32_t n,
                                                             uint64_t *out) {
  Lanes k = {0, 1, 2, 3, 4, 5, 6, 7};
  k = k * kKeyStep + km;
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8, k += 8 * kKeyStep) {
    Lanes h = k;
    MurmurMix(h);
    memcpy(out + i, &h, sizeof h);
  }
  HashRunScalar(km + i * kKeyStep, n - i, out + i);
}

// The same ranks, eight blocks at a time: each lane also forms its block's
// register index and rank (1 + trailing zeros = 64 - leading zeros of the
// lowest set bit) and packs them as index << 8 | rank. The codes of all
// the writes are gathered first and applied in one loop per bufferful, so
// that a mix of write sizes costs about one unpredictable branch per write
// (the end of its blocks) rather than several; a write's last group of
// lanes is hashed whole and only its blocks are kept.
__attribute__((target("avx512f,avx512dq,avx512cd"))) uint32_t RaiseWritesWide(
    const VTR_BlockWrite *writes, uint32_t count, uint8_t *__restrict ranks) {
  constexpr uint32_t kCodes = 1024;
  uint32_t codes[kCodes];
  uint32_t filled = 0, blocks = 0;
  auto apply = [&] {
#pragma GCC unroll 4
    for (uint32_t b = 0; b < filled; ++b)
      RaiseRank(ranks, codes[b] >> 8, static_cast<uint8_t>(codes[b]));
    filled = 0;
  };
  const Lanes lane = {0, 1, 2, 3, 4, 5, 6, 7};
  for (uint32_t w = 0; w < count; ++w) {
    Lanes k = lane * kKeyStep + static_cast<uint64_t>((writes[w].sector & ~7ULL) * kMurmurMul);
    uint32_t n = BlockCount(writes[w].length);
    blocks += n;
    for (; n != 0; k += 8 * kKeyStep) {
      if (filled > kCodes - 8) apply();
      Lanes h = k;
      MurmurMix(h);
      const Lanes x = h | uint64_t{1} << 50;
      const Lanes leading =
          reinterpret_cast<Lanes>(_mm512_lzcnt_epi64(reinterpret_cast<__m512i>(x & -x)));
      const Codes code =
          __builtin_convertvector((h >> (64 - VTR_HLL_PRECISION)) << 8 | (64 - leading), Codes);
      memcpy(codes + filled, &code, sizeof code);
      const uint32_t used = n < 8 ? n : 8;
      filled += used;
      n -= used;
    }
  }
  apply();
  return blocks;
}

// Read before main: the processor's features are read in first.
const bool haveWideMultiply = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}();
const bool haveWideRanks = haveWideMultiply && __builtin_cpu_supports("avx512cd");
#endif

}  // namespace

void HashBlockRun(uint64_t km, uint32_t n, uint64_t *out) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (haveWideMultiply) {
    HashRunWide(km, n, out);
    return;
  }
#endif
  HashRunScalar(km, n, out);
}

uint32_t RaiseWriteRanks(const VTR_BlockWrite *writes, uint32_t count, uint8_t *ranks) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (haveWideRanks) return RaiseWritesWide(writes, count, ranks);
#endif
  uint32_t blocks = 0;
  for (uint32_t w = 0; w < count; ++w) {
    const uint32_t n = BlockCount(writes[w].length);
    RaiseRunScalar(ranks, (writes[w].sector & ~7ULL) * kMurmurMul, n);
    blocks += n;
  }
  return blocks;
}

}  // namespace vtr_cr

uint64_t VTR_HllFormula(double sum, uint32_t zeroRegisters) {
  // alpha * m^2 for m = 16384, alpha = 0.7213 / (1 + 1.079 / m).
  double e = 193609743.86875492 / sum;
  // Small-range correction (linear counting); no large-range correction.
  if (e <= 40960.0 && zeroRegisters > 0) {
    e = VTR_HLL_REGISTERS * log(static_cast<double>(VTR_HLL_REGISTERS) / zeroRegisters);
  }
  return static_cast<uint64_t>(e);
}

VTR_Status VTR_InitChangeRate(VTR_CR_Metric *slot, bool sliding) {
  if (sliding) {
    if (VTR_SHllInit(slot != nullptr ? &slot->shll : nullptr) == VTR_OK) return VTR_OK;
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  return VTR_HLLInit(slot);
}

void VTR_AddChangeRate(uint64_t sector, uint32_t length, VTR_CR_Metric *slot, bool sliding) {
  if (sliding) {
    VTR_SHllAdd(sector, length, slot != nullptr ? slot->shll : nullptr);
    return;
  }
  if (slot == nullptr || slot->hll == nullptr) {
    VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer to VTR_CR_HLL is NULL");
    return;
  }
  VTR_HLLAdd(sector, length, slot->hll);
}

void VTR_DestroyChangeRate(VTR_CR_Metric *slot, bool sliding) {
  if (sliding) {
    if (slot != nullptr) VTR_SHllDestroy(&slot->shll);
    return;
  }
  VTR_HLLDestroy(slot);
}
