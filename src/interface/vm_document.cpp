#include "interface/vm_document.h"

#include <stdlib.h>
#include <string.h>

#include "interface/requests.h"
#include "base/clock.h"
#include "base/log.h"

namespace {

// One object per VM that is still alive, in list order. A VM that is down is
// removed by the liveness check. The caller holds registryLock.
json_t *BuildVMArray(json_t *(*diskArray)(const VMListNode *node)) {
  json_t *vms = json_array();
  VTR_ForEachVM([&](VMListNode *node) {
    if (!VTR_RemoveInvalidVM(node)) return;
    json_t *vm = json_pack("{s:s,s:s,s:i,s:o}", "vmName", node->vmName, "uuid", node->uuid,
                           "worldGroupId", static_cast<int>(static_cast<int32_t>(node->worldGroupId)),
                           "vmDisks", diskArray(node));
    if (vm == nullptr) {
      VTR_Log(LOG_ERR, "Interface: json_pack failed for VM: %s", node->vmName);
      return;
    }
    json_array_append_new(vms, vm);
  });
  return vms;
}

}  // namespace

VTR_Status VTR_SendVMDocument(int fd, const VTR_VMDocument &shape, json_t *fieldsHolder,
                              json_t *(*diskArray)(const VMListNode *node)) {
  struct timeval now;
  VTR_GetTime(&now);
  json_t *vms;
  {
    RegistryGuard guard;
    vms = BuildVMArray(diskArray);
  }
  json_t *values = json_pack("{s:i,s:o}", "timeStamp", static_cast<int>(static_cast<int32_t>(now.tv_sec)),
                             "vmWorldGroups", vms);
  json_t *document = json_pack("{s:o,s:o}", shape.fieldsHolderKey, fieldsHolder, shape.valuesKey, values);
  if (document == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_pack failed in %s", shape.operation);
    return VTR_SendError(fd, shape.encodingError);
  }
  char *text = json_dumps(document, JSON_COMPACT);
  json_decref(document);
  if (text == nullptr) return VTR_SendError(fd, shape.dumpError);
  VTR_Log(LOG_DEBUG, "%s%s", shape.debugPrefix, text);
  VTR_Status status = VTR_SendResponse(fd, text, static_cast<int32_t>(strlen(text)), VTR_REPLY_OK);
  free(text);
  return status;
}
