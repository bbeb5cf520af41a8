#include "interface/vm_document.h"

#include <stdlib.h>
#include <string.h>

#include "interface/requests.h"
#include "base/clock.h"
#include "base/log.h"

namespace {

// The disks of one VM that still have a value; the caller holds registryLock.
json_t *BuildDiskArray(const VTR_VMDocument &shape, const VMListNode *node) {
  json_t *disks = json_array();
  for (int32_t i = 0; i < node->handleCount; i++) {
    const HandleInfo &handle = node->handles[i];
    json_t *value = shape.diskValue(node->worldGroupId, handle.handleId);
    json_t *disk = json_pack("{s:s,s:o}", "vscsiDevName", handle.vscsiDevName, shape.diskValueKey, value);
    if (disk == nullptr) {
      VTR_Log(LOG_ERR, "Interface: json_pack failed for device: %s worldID: %u handleId: %lu", handle.vscsiDevName,
              node->worldGroupId, static_cast<unsigned long>(handle.handleId));
      continue;
    }
    json_array_append_new(disks, disk);
  }
  return disks;
}

// One object per VM that is still alive, in list order. A VM that is down is
// removed by the liveness check. The caller holds registryLock.
json_t *BuildVMArray(const VTR_VMDocument &shape) {
  json_t *vms = json_array();
  VTR_ForEachVM([&](VMListNode *node) {
    if (!VTR_RemoveInvalidVM(node)) return;
    json_t *vm = json_pack("{s:s,s:s,s:i,s:o}", "vmName", node->vmName, "uuid", node->uuid,
                           "worldGroupId", static_cast<int>(static_cast<int32_t>(node->worldGroupId)),
                           "vmDisks", BuildDiskArray(shape, node));
    if (vm == nullptr) {
      VTR_Log(LOG_ERR, "Interface: json_pack failed for VM: %s", node->vmName);
      return;
    }
    json_array_append_new(vms, vm);
  });
  return vms;
}

VTR_Status SendError(int fd, const char *text) {
  return VTR_SendResponse(fd, text, static_cast<int32_t>(strlen(text)), VTR_REPLY_ERROR);
}

}  // namespace

VTR_Status VTR_SendVMDocument(int fd, const VTR_VMDocument &shape, json_t *fieldsHolder) {
  struct timeval now;
  VTR_GetTime(&now);
  json_t *vms;
  {
    RegistryGuard guard;
    vms = BuildVMArray(shape);
  }
  json_t *values = json_pack("{s:i,s:o}", "timeStamp", static_cast<int>(static_cast<int32_t>(now.tv_sec)),
                             "vmWorldGroups", vms);
  json_t *document = json_pack("{s:o,s:o}", shape.fieldsHolderKey, fieldsHolder, shape.valuesKey, values);
  if (document == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_pack failed in %s", shape.operation);
    return SendError(fd, shape.encodingError);
  }
  char *text = json_dumps(document, JSON_COMPACT);
  json_decref(document);
  if (text == nullptr) return SendError(fd, shape.dumpError);
  VTR_Log(LOG_DEBUG, "%s%s", shape.debugPrefix, text);
  VTR_Status status = VTR_SendResponse(fd, text, static_cast<int32_t>(strlen(text)), VTR_REPLY_OK);
  free(text);
  return status;
}
