// Start-up work on the main thread: clearing tracing left by an earlier run,
// and tracing (or, in list mode, printing) the VMs the command line selects.
#pragma once

#include <stdint.h>

#include "base/status.h"

VTR_Status VTR_InitialCleanup();
VTR_Status VTR_ClearStaleMonitoredDisks();
VTR_Status VTR_EnableVMVscsiTrace();
VTR_Status VTR_PrintVMInfo(int32_t vmInstanceId, uint32_t worldGroupId);
