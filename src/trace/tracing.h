// Switching host tracing on and off per VM and per virtual disk, keeping the
// disk entries in step.
#pragma once

#include <stdint.h>

#include "base/status.h"
#include "host/hostrt.h"
#include "host/vscsi_list.h"

extern uint32_t disabledHandleCount;

// The cartel (world group) id of the VM that vmId names on the vm node (its
// instance, world group or vmm leader id); 0 or the host's status.
VTR_Status VTR_LookupCartelId(TARN_ParamList *instance, int64_t vmId, uint32_t *cartelId);

void VTR_SetVSCSIHandles(TARN_ParamList *instance, uint32_t worldGroupId);
// Watches the VM that vmId resolves to, under its world group id; fails when
// that VM is already watched or tracing is closed. Returns the last handle's
// status.
VTR_Status VTR_EnableVMTrace(uint32_t vmId);
VTR_Status VTR_DisableVMTrace(uint32_t worldGroupId, TARN_ParamList *instance);
// Stops tracing at exit: with -w the listed ids, then every VM still in
// vmList; otherwise every VM on the host.
VTR_Status VTR_StopTracing();
// After VTR_CloseTracing no trace is started any more (VTR_EnableVMTrace
// fails). Both under registryLock, like the operations above.
void VTR_CloseTracing();
bool VTR_TracingClosed();
