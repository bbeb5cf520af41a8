// Switching host tracing on and off per VM and per virtual disk, keeping the
// disk entries in step.
#pragma once

#include <stdint.h>

#include "host/hostrt.h"
#include "host/vscsi_list.h"
#include "base/status.h"

extern uint32_t disabledHandleCount;

void VTR_SetVSCSIHandles(TARN_ParamList *instance, uint32_t worldGroupId);
VTR_Status VTR_EnableVMTrace(uint32_t vmId);
VTR_Status VTR_DisableVMTrace(uint32_t worldGroupId, TARN_ParamList *instance);
VTR_Status VTR_StopTracing();
