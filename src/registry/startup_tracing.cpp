// STUB: replaced by the registry implementation.
#include "registry/startup_tracing.h"
VTR_Status VTR_InitialCleanup() { return VTR_OK; }
VTR_Status VTR_ClearStaleMonitoredDisks() { return VTR_OK; }
VTR_Status VTR_EnableVMVscsiTrace() { return VTR_OK; }
VTR_Status VTR_PrintVMInfo(int32_t, uint32_t) { return VTR_OK; }
