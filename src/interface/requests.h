// Request handlers: VM set, status, exit, metrics and change-rate queries.
#pragma once

#include <jansson.h>

#include "base/status.h"
#include "interface/uds.h"
#include "registry/registry.h"

VTR_Status VTR_AppendNewVMs(int fd, const VTR_Request *request);
VTR_Status VTR_DeleteVMs(int fd, const VTR_Request *request);
VTR_Status VTR_QueryVMStatus(int fd);
// Replies, then runs the exit hook (the process's shutdown) and returns.
VTR_Status VTR_HandleExit(int fd);
// The process frame installs its shutdown here at start-up, so that the
// Exit request ends the process the same way a signal does.
using VTR_ExitHook = void (*)();
void VTR_SetExitHook(VTR_ExitHook hook);
VTR_Status VTR_QueryMetrics(int fd);
VTR_Status VTR_QueryChangeRate(int fd);

// True when the VM still exists on the host. A VM that is down is removed
// from vmList together with its disk entries (the node is freed), so callers
// take the next node before calling. Caller holds registryLock.
bool VTR_RemoveInvalidVM(VMListNode *node);
