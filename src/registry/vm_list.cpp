// The list of watched VMs: one node per VM with its name, UUID and virtual
// disks. Callers serialise every change and walk with registryLock (at
// start-up only the main thread runs, so it needs none).
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "host/tarn_scope.h"
#include "host/vscsi_list.h"
#include "registry/registry.h"
#include "registry/registry_state.h"

namespace {

// Field sizes of the vmmGroupInfo record: the UUID text runs up to the
// display name, the display name spans 1024 bytes.
constexpr size_t kUuidFieldSize =
    TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET - TARN_VMMGROUPINFO_UUID_OFFSET;
constexpr size_t kDisplayNameFieldSize =
    TARN_VMMGROUPINFO_CONFIGFILE_OFFSET - TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET;

// Copies at most maxLen bytes of a text that need not be NUL-terminated
// within its srcSize bytes; dst gets room for maxLen + 1. The copy ends on a
// UTF-8 character boundary: a multi-byte character that the cut (ours, or
// the host's own cut of a fixed-size field) would leave incomplete is left
// out whole, so the copy stays valid UTF-8 (and the VM's JSON object can be
// built) whenever the rest of the host's text is.
void CopyBounded(char *dst, size_t maxLen, const char *src, size_t srcSize) {
  size_t len = strnlen(src, srcSize);
  if (len > maxLen) len = maxLen;
  auto byte = [&](size_t i) { return static_cast<unsigned char>(src[i]); };
  size_t lead = len;
  while (lead > 0 && (byte(lead - 1) & 0xC0) == 0x80) lead--;
  if (lead > 0 && byte(lead - 1) >= 0xC0) {
    size_t need = byte(lead - 1) >= 0xF0 ? 4 : byte(lead - 1) >= 0xE0 ? 3 : 2;
    if (len - (lead - 1) < need) len = lead - 1;
  }
  memcpy(dst, src, len);
  dst[len] = '\0';
}

}  // namespace

void VTR_InitVMList() { vmList.next = vmList.prev = VTR_VMListHeadNode(); }

void VTR_VMListInsert(VMListNode *node) {
  VMListNode *head = VTR_VMListHeadNode();
  node->prev = head;
  node->next = head->next;
  head->next->prev = node;
  head->next = node;
}

void VTR_VMListUnlink(VMListNode *node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->next = node->prev = nullptr;
}

void VTR_FreeVMNode(VMListNode *node) {
  if (node->next != nullptr) VTR_VMListUnlink(node);
  free(node->handles);
  free(node);
}

// Walks from the oldest node (head.prev) towards the newest.
VMListNode *VTR_FindVM(uint32_t worldGroupId) {
  VMListNode *head = VTR_VMListHeadNode();
  for (VMListNode *node = head->prev; node != head; node = node->prev) {
    if (node->worldGroupId == worldGroupId) return node;
  }
  return nullptr;
}

// Dashes and blanks of the host's text are dropped; dashes are put back after
// the 8th, 12th, 16th and 20th kept character (8-4-4-4-12 form). The result
// never exceeds uuidSize - 1 characters.
void VTR_FormatUuid(const char *source, char *uuid, size_t uuidSize) {
  if (uuidSize == 0) return;
  size_t len = 0;
  for (const char *c = source; *c != '\0' && len + 1 < uuidSize; c++) {
    if (*c == '-' || *c == ' ') continue;
    uuid[len++] = *c;
    if ((len == 8 || len == 13 || len == 18 || len == 23) && len + 1 < uuidSize) {
      uuid[len++] = '-';
    }
  }
  uuid[len] = '\0';
}

VTR_Status VTR_CheckHasVmm(TARN_ParamList *instance, uint32_t worldGroupId) {
  uint8_t hasVmm = 0;
  if (TARN_Get(TARN_NODE_worldGroups_hasVmm, instance, &hasVmm, 1) != 0) {
    VTR_Log(LOG_ERR, "Main: Failed to fetch TARN node (hasVmm) for %d.", worldGroupId);
    return VTR_FAILURE;
  }
  VTR_Log(LOG_DEBUG, "Main: worldId: %d hasVmm: %d", worldGroupId, hasVmm);
  if (hasVmm != 0) return VTR_OK;
  VTR_Log(LOG_ERR, "Main: Id:%d Not a valid VM worldId.", worldGroupId);
  return VTR_FAILURE;
}

VTR_Status VTR_GetVMDeviceName(TARN_ParamList *instance, VMListNode *node, uint32_t worldGroupId) {
  auto record = std::make_unique<char[]>(TARN_VMMGROUPINFO_SIZE);
  memset(record.get(), 0, TARN_VMMGROUPINFO_SIZE);
  TARN_Status status =
      TARN_Get(TARN_NODE_vm_vmmGroupInfo, instance, record.get(), TARN_VMMGROUPINFO_SIZE);
  if (status != 0) {
    VTR_Log(LOG_ERR, "Main: TARN_Get() failed to get device name for VM: %d ,err: %s", worldGroupId,
            BREL_ReturnStatusToString(status));
    return VTR_FAILURE;
  }
  // Longer names are cut to what the node's buffers hold.
  CopyBounded(node->vmName, sizeof node->vmName - 1,
              record.get() + TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET, kDisplayNameFieldSize);
  char hostUuid[kUuidFieldSize + 1];
  CopyBounded(hostUuid, kUuidFieldSize, record.get() + TARN_VMMGROUPINFO_UUID_OFFSET,
              kUuidFieldSize);
  VTR_FormatUuid(hostUuid, node->uuid, sizeof node->uuid);
  return VTR_OK;
}

VTR_Status VTR_AllocAndAddHandleInfoToList(TARN_ParamList *instance, VMListNode *node,
                                           TARN_ParamList *handleList, int32_t count) {
  node->handles = nullptr;
  if (count > 0) {
    node->handles =
        static_cast<HandleInfo *>(calloc(static_cast<size_t>(count), sizeof(HandleInfo)));
    if (node->handles == nullptr) {
      VTR_Log(LOG_ERR, "Main: malloc failed in %s", "VTR_AllocAndAddHandleInfoToList");
      return VTR_FAILURE;
    }
  }
  for (int32_t i = 0; i < count; i++) {
    HandleInfo *info = &node->handles[i];
    int64_t value = 0;
    VTR_ParamInt(handleList, i, &value);
    info->handleId = static_cast<uint64_t>(value);

    char name[TARN_VSCSI_NAME_SIZE] = {0};
    VTR_ScopedParam handle(instance, value);
    TARN_Status status =
        handle.ok() ? TARN_Get(TARN_NODE_worldGroups_vscsi_name, instance, name, sizeof name)
                    : handle.status();
    if (status != 0) {
      VTR_Log(LOG_ERR, "Main: Failed to fetch dev name for handleid:%lu", info->handleId);
      continue;
    }
    CopyBounded(info->vscsiDevName, sizeof info->vscsiDevName - 1, name, sizeof name);
    VTR_Log(LOG_INFO, "Main: Added VM:%d with handleid:%lu and name:%s to list", node->worldGroupId,
            info->handleId, info->vscsiDevName);
  }
  return VTR_OK;
}

VTR_Status VTR_AddVMWorldIdToList(uint32_t worldGroupId, TARN_ParamList *instance) {
  if (VTR_CheckHasVmm(instance, worldGroupId) != VTR_OK) return VTR_FAILURE;
  if (VTR_FindVM(worldGroupId) != nullptr) {
    VTR_Log(LOG_INFO, "Main: worldId: %d already exist in the list failed to add it again.",
            worldGroupId);
    return VTR_FAILURE;
  }
  uint32_t count = 0;
  VTR_OwnedParamList handleList(
      VTR_GetTARNVscsiListHandle(TARN_NODE_worldGroups_vscsi, instance, worldGroupId, &count));
  if (!handleList) {
    VTR_Log(LOG_ERR, "Main: Failed to get vscsi handle list for worldId: %d in %s()", worldGroupId,
            "VTR_AddVMWorldIdToList");
    return VTR_FAILURE;
  }
  VTR_Log(LOG_INFO, "Main: Number of vscsi handles in VM: %d are %d", worldGroupId, count);
  auto *node = static_cast<VMListNode *>(calloc(1, sizeof(VMListNode)));
  if (node == nullptr) {
    VTR_Log(LOG_ERR, "Main: malloc failed in %s", "VTR_AddVMWorldIdToList");
    return VTR_FAILURE;
  }
  node->worldGroupId = worldGroupId;
  node->handleCount = static_cast<int32_t>(count);
  if (VTR_GetVMDeviceName(instance, node, worldGroupId) != VTR_OK ||
      VTR_AllocAndAddHandleInfoToList(instance, node, handleList.get(), node->handleCount) !=
          VTR_OK) {
    VTR_FreeVMNode(node);
    return VTR_FAILURE;
  }
  VTR_VMListInsert(node);
  VTR_Log(LOG_INFO, "Main: Added worldId: %d to the list", worldGroupId);
  return VTR_OK;
}

VTR_Status VTR_RemoveVMWorldIdFromList(uint32_t worldGroupId) {
  if (VTR_VMListEmpty()) {
    VTR_Log(LOG_INFO, "Main:The WorldId list is empty");
    return VTR_FAILURE;
  }
  VMListNode *node = VTR_FindVM(worldGroupId);
  if (node == nullptr) {
    VTR_Log(LOG_WARNING, "Main: The worldId:%d not present in the list", worldGroupId);
    return VTR_FAILURE;
  }
  VTR_FreeVMNode(node);
  VTR_Log(LOG_INFO, "Main: Deleted %d from the list", worldGroupId);
  return VTR_OK;
}
