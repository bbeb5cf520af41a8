// STUB: replaced by the change-rate implementation.
#include "changerate/changerate.h"
uint64_t VTR_MurmurHash64A(uint64_t, uint64_t) { return 0; }
uint64_t VTR_HllFormula(double, uint32_t) { return 0; }
VTR_Status VTR_InitChangeRate(VTR_CR_Metric *, bool) { return VTR_FAILURE; }
void VTR_AddChangeRate(uint64_t, uint32_t, VTR_CR_Metric *, bool) {}
void VTR_DestroyChangeRate(VTR_CR_Metric *, bool) {}
void VTR_HLLEstimate(VTRhll *) {}
void VTR_HLLRollover(struct timeval *, uint32_t *) {}
void VTR_HLLDestroy(VTR_CR_Metric *) {}
VTR_Status VTR_SHllInit(VTR_SHll **) { return VTR_FAILURE; }
void VTR_SHllAdd(uint64_t, uint32_t, VTR_SHll *) {}
uint64_t VTR_SHllEstimate(VTR_SHll *, uint16_t) { return 0; }
void VTR_SHllDestroy(VTR_SHll **) {}
uint64_t VTR_SHllMemoryBytes(const VTR_SHll *) { return 0; }
