// Request handlers: VM set, status, exit, metrics and change-rate queries.
#pragma once

#include <jansson.h>

#include "base/status.h"
#include "interface/uds.h"
#include "registry/registry.h"

VTR_Status VTR_AppendNewVMs(int fd, const VTR_Request *request);
VTR_Status VTR_DeleteVMs(int fd, const VTR_Request *request);
VTR_Status VTR_QueryVMStatus(int fd);
VTR_Status VTR_HandleExit(int fd);
VTR_Status VTR_QueryMetrics(int fd);
VTR_Status VTR_QueryChangeRate(int fd);

// True when the VM still exists on the host. A VM that is down is removed
// from vmList together with its disk entries (the node is freed), so callers
// take the next node before calling. Caller holds registryLock.
bool VTR_RemoveInvalidVM(VMListNode *node);
