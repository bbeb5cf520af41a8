// Block hashing, the estimate formula and the dispatchers that create, feed
// and release a disk's estimator of the kind selected at start-up.
#include "changerate/block_hash.h"

#include <math.h>
#include <string.h>

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

#if defined(__x86_64__) && defined(__GNUC__)
using Lanes = uint64_t __attribute__((vector_size(64)));

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

// Read before main: the processor's features are read in first.
const bool haveWideMultiply = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}();
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
