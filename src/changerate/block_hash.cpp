// Block hashing, the estimate formula and the dispatchers that create, feed
// and release a disk's estimator of the kind selected at start-up.
#include "changerate/block_hash.h"

#include <math.h>

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
