// STUB: replaced by the socket interface implementation.
#include "interface/requests.h"
VTR_Status VTR_InitUDS(int *) { return VTR_FAILURE; }
void *VTR_UDSListener(void *) { return nullptr; }
void *VTR_UDSReceive(void *) { return nullptr; }
VTR_Status VTR_SendResponse(int, const char *, int32_t, uint32_t) { return VTR_FAILURE; }
VTR_Status VTR_DispatchRequest(int, const VTR_Request *) { return VTR_OK; }
VTR_Status VTR_AppendNewVMs(int, const VTR_Request *) { return VTR_FAILURE; }
VTR_Status VTR_DeleteVMs(int, const VTR_Request *) { return VTR_FAILURE; }
VTR_Status VTR_QueryVMStatus(int) { return VTR_FAILURE; }
VTR_Status VTR_HandleExit(int) { return VTR_OK; }
VTR_Status VTR_QueryMetrics(int) { return VTR_FAILURE; }
VTR_Status VTR_QueryChangeRate(int) { return VTR_FAILURE; }
json_t *VTR_GetIoCounters(uint32_t, uint64_t) { return nullptr; }
bool VTR_RemoveInvalidVM(VMListNode *) { return false; }
