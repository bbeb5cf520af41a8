#include "host/vscsi_list.h"

#include "base/log.h"
#include "host/tarn_scope.h"

TARN_ParamList *VTR_GetTARNVscsiListHandle(uint16_t node, TARN_ParamList *instance, uint32_t vmId,
                                           uint32_t *count) {
  VTR_OwnedParamList list(TARN_ParamListCreateAndAllocateParams(
      TARN_PARAMLIST_INSTANCE, VTR_HANDLE_LIST_COUNT, VTR_HANDLE_LIST_BYTES));
  if (!list) {
    VTR_Log(LOG_ERR, "Monitor: Insufficient memory to create TARN Param list for VM: %d", vmId);
    return nullptr;
  }
  if (TARN_GetInstanceList(node, instance, list.get()) != 0) {
    VTR_Log(LOG_ERR, "Monitor: Failed instance list get: diskGauge for VM:%d", vmId);
    return nullptr;
  }
  *count = static_cast<uint32_t>(TARN_ParamListUsedCount(list.get()));
  return list.release();
}
