// STUB: replaced by the tracing-control implementation.
#include "trace/tracing.h"
uint32_t disabledHandleCount = 0;
TARN_ParamList *VTR_GetTARNVscsiListHandle(uint16_t, TARN_ParamList *, uint32_t, uint32_t *) { return nullptr; }
void VTR_SetVSCSIHandles(TARN_ParamList *, uint32_t) {}
VTR_Status VTR_EnableVMTrace(uint32_t) { return VTR_FAILURE; }
VTR_Status VTR_DisableVMTrace(uint32_t, TARN_ParamList *) { return VTR_FAILURE; }
VTR_Status VTR_StopTracing() { return VTR_OK; }
