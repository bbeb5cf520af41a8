// Switching the host's per-disk trace on and off. Every handle whose start
// request succeeds gets a disk entry, every handle whose stop request
// succeeds loses it. Per-handle requests are addressed by the caller's
// instance list extended by (world group or leader id, handle id); each
// integer appended is removed again before returning.
//
// Locking: these operations take no lock. At run time the caller holds
// registryLock (they change vmList and delete disk entries); they must not be
// called with recordQueue.mutex held.
#include "trace/tracing.h"

#include <stdio.h>
#include <string.h>

#include "base/config.h"
#include "base/log.h"
#include "host/tarn_scope.h"
#include "registry/registry.h"

uint32_t disabledHandleCount = 0;

namespace {

// Set once by the shutdown, under registryLock: from then on no trace is
// started, so a request that completes after the final stop changes nothing.
bool tracingClosed = false;

constexpr int kSmallHandleListCount = 120;
constexpr int kSmallHandleListBytes = 15360;

// Reads a handle's device name; the text is always NUL-terminated and at most
// 15 characters long.
TARN_Status ReadDeviceName(TARN_ParamList *instance, char (&name)[TARN_VSCSI_NAME_SIZE]) {
  memset(name, 0, sizeof name);
  TARN_Status status = TARN_Get(TARN_NODE_worldGroups_vscsi_name, instance, name, sizeof name);
  name[sizeof name - 1] = '\0';
  return status;
}

// Start or stop request for the handle named by the instance list. The host
// does not fill the output word.
TARN_Status SendTraceCommand(uint16_t node, TARN_ParamList *instance) {
  uint32_t unused = 0;
  return TARN_Set(node, instance, nullptr, &unused, 0);
}

// Log texts of one caller of StartHandleTraces.
struct StartTexts {
  const char *fetchFailed;  // %lu handle id
  const char *starting;     // %d world group, %lu handle id, %s device name
  const char *startFailed;  // %s caller, %s status text
};

constexpr StartTexts kStartupTexts = {
    "Monitor: Failed to fetch dev name for handleid:%lu",
    "Monitor: Starting tracing for worldGroup %d, handleID %lu (%s)",
    "Monitor: Starting diskGauge Failed in %s. err:%s"};
constexpr StartTexts kAppendTexts = {"Monitor: Failed to fetch devname for handlid:%lu",
                                     "Starting tracing for worldGroup %d, handleID %lu (%s)",
                                     "Monitor: Starting diskGauge Failed in %s"};

// Starts the trace of each of the first `count` handles of `handles`,
// addressed by the caller's instance list extended by the handle id, and
// enters every started one in diskTable under worldGroupId. In list mode the
// handles are printed instead. Returns the last handle's status (a handle
// whose name cannot be read counts with that failure).
VTR_Status StartHandleTraces(TARN_ParamList *instance, uint32_t worldGroupId,
                             TARN_ParamList *handles, int count, const StartTexts &texts,
                             const char *caller) {
  VTR_Status status = VTR_OK;
  for (int i = 0; i < count; i++) {
    int64_t value = 0;
    if (!VTR_ParamInt(handles, i, &value)) continue;
    uint64_t handleId = static_cast<uint64_t>(value);
    VTR_ScopedParam handle(instance, value);
    char name[TARN_VSCSI_NAME_SIZE];
    status = handle.ok() ? ReadDeviceName(instance, name) : handle.status();
    if (status != 0) {
      VTR_Log(LOG_ERR, texts.fetchFailed, handleId);
      continue;
    }
    if (listMode) {
      printf("Virtual SCSI Disk handleID: %lu (%s)\n", handleId, name);
      continue;
    }
    VTR_Log(LOG_INFO, texts.starting, worldGroupId, handleId, name);
    status = SendTraceCommand(TARN_NODE_worldGroups_vscsi_stats_startVethraTrace, instance);
    if (status != 0) {
      VTR_Log(LOG_ERR, texts.startFailed, caller, BREL_ReturnStatusToString(status));
    } else if (VTR_AddHashEntry(worldGroupId, handleId) != VTR_OK) {
      VTR_Log(LOG_ERR, "Monitor: Failed to add entry worldId:%d handleID:%lu to the hash table",
              worldGroupId, handleId);
    }
  }
  return status;
}

}  // namespace

VTR_Status VTR_LookupCartelId(TARN_ParamList *instance, int64_t vmId, uint32_t *cartelId) {
  VTR_ScopedParam vm(instance, vmId);
  if (!vm.ok()) return vm.status();
  return TARN_Get(TARN_NODE_vm_cartelID, instance, cartelId, sizeof *cartelId);
}

void VTR_CloseTracing() { tracingClosed = true; }
bool VTR_TracingClosed() { return tracingClosed; }

void VTR_SetVSCSIHandles(TARN_ParamList *instance, uint32_t worldGroupId) {
  uint32_t count = 0;
  VTR_OwnedParamList handles(
      VTR_GetTARNVscsiListHandle(TARN_NODE_worldGroups_vscsi, instance, worldGroupId, &count));
  if (!handles) {
    VTR_Log(LOG_ERR, "Monitor: Failed to get vscsi handle list for worldId: %d", worldGroupId);
    return;
  }
  StartHandleTraces(instance, worldGroupId, handles.get(), static_cast<int>(count), kStartupTexts,
                    "VTR_SetVSCSIHandles");
}

// Any id the host resolves to a VM (a world id, its vmm leader id, its
// instance id) is first resolved to the VM's world group id, which then
// names the vmList node and the disk entries: a VM is watched at most once
// whatever id it was asked by. The trace is addressed by the vmm leader id.
VTR_Status VTR_EnableVMTrace(uint32_t vmId) {
  if (tracingClosed) {
    VTR_Log(LOG_INFO, "Monitor: Shutting down, tracing not started for vmId : %d", vmId);
    return VTR_FAILURE;
  }
  VTR_OwnedParamList instance(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2));
  if (!instance) {
    VTR_Log(LOG_ERR, "Monitor: TARN_ParamlistCreate() failed in %s", "VTR_EnableVMTrace");
    return VTR_FAILURE;
  }
  int32_t groupId = 0;
  {
    VTR_ScopedParam vm(instance.get(), vmId);
    uint8_t worldInfo[TARN_WORLDINFO_SIZE] = {0};
    if (!vm.ok() ||
        TARN_Get(TARN_NODE_world_info, instance.get(), worldInfo, sizeof worldInfo) != 0) {
      VTR_Log(LOG_ERR, "Monitor: Failed to get the groupID for vmId : %d", vmId);
      return VTR_FAILURE;
    }
    memcpy(&groupId, worldInfo + TARN_WORLDINFO_GROUPID_OFFSET, sizeof groupId);
  }
  uint32_t worldGroupId = 0;
  if (VTR_LookupCartelId(instance.get(), groupId, &worldGroupId) != 0) {
    VTR_Log(LOG_ERR, "Monitor: Failed to get cartel id for vmId : %d", vmId);
    return VTR_FAILURE;
  }
  int32_t leaderId = 0;
  {
    VTR_ScopedParam group(instance.get(), groupId);
    if (!group.ok() || TARN_Get(TARN_NODE_worldGroups_vmmLeaderID, instance.get(), &leaderId,
                                sizeof leaderId) != 0) {
      VTR_Log(LOG_ERR, " Monitor: Failed to get the vmLeaderID for vmId : %d", vmId);
      return VTR_FAILURE;
    }
    VTR_Log(LOG_INFO, " Monitor: vmLeaderID : %d", leaderId);
  }
  VTR_ScopedParam leader(instance.get(), leaderId);
  if (!leader.ok() || VTR_AddVMWorldIdToList(worldGroupId, instance.get()) != VTR_OK) {
    VTR_Log(LOG_ERR, "Monitor: Failed to add WorldID to VMlist : %d", vmId);
    return VTR_FAILURE;
  }
  VTR_OwnedParamList handles(TARN_ParamListCreateAndAllocateParams(
      TARN_PARAMLIST_INSTANCE, VTR_HANDLE_LIST_COUNT, VTR_HANDLE_LIST_BYTES));
  if (!handles) {
    VTR_Log(LOG_ERR, "Vethra : Insufficient memory to create TARN Param list for VM: %d", vmId);
    return VTR_FAILURE;
  }
  if (TARN_GetInstanceList(TARN_NODE_worldGroups_vscsi, instance.get(), handles.get()) != 0) {
    VTR_Log(LOG_ERR, "Monitor: TARN_GetInstanceList() failed  for VM:%d", vmId);
    return VTR_FAILURE;
  }
  return StartHandleTraces(instance.get(), worldGroupId, handles.get(),
                           TARN_ParamListUsedCount(handles.get()), kAppendTexts,
                           "VTR_EnableVMTrace");
}

VTR_Status VTR_DisableVMTrace(uint32_t worldGroupId, TARN_ParamList *instance) {
  VTR_Log(LOG_INFO, "Monitor: Disable the monitoring for the VM :%d", worldGroupId);
  VTR_OwnedParamList handles(TARN_ParamListCreateAndAllocateParams(
      TARN_PARAMLIST_INSTANCE, kSmallHandleListCount, kSmallHandleListBytes));
  if (!handles) {
    VTR_Log(LOG_ERR, "Monitor: Insufficient memory to create Param list for handles");
    return VTR_FAILURE;
  }
  VTR_ScopedParam group(instance, worldGroupId);
  if (!group.ok() ||
      TARN_GetInstanceList(TARN_NODE_worldGroups_vscsi, instance, handles.get()) != 0) {
    VTR_Log(LOG_ERR, "Monitor: TARN_GetInstanceList() failed for VMid:%d", worldGroupId);
    return VTR_FAILURE;
  }
  VTR_Status status = VTR_OK;
  int count = TARN_ParamListUsedCount(handles.get());
  for (int i = 0; i < count; i++) {
    int64_t value = 0;
    if (!VTR_ParamInt(handles.get(), i, &value)) continue;
    uint64_t handleId = static_cast<uint64_t>(value);
    VTR_ScopedParam handle(instance, value);
    status = handle.ok()
                 ? SendTraceCommand(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace, instance)
                 : handle.status();
    if (status != 0) {
      VTR_Log(LOG_ERR, "Monitor: Failed to stop tracing for VMid: %d  handleid: %lu", worldGroupId,
              handleId);
      continue;
    }
    disabledHandleCount++;
    VTR_DeleteHashEntry(worldGroupId, handleId);
  }
  if (VTR_RemoveVMWorldIdFromList(worldGroupId) != VTR_OK) {
    VTR_Log(LOG_ERR, "Monitor: vmId:%d could not be deleted from the list", worldGroupId);
    status = VTR_FAILURE;
  }
  return status;
}

VTR_Status VTR_StopTracing() {
  disabledHandleCount = 0;
  VTR_OwnedParamList instance(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2));
  if (!instance) {
    VTR_Log(LOG_ERR, "Monitor: TARN_ParamlistCreate() failed");
    return VTR_FAILURE;
  }
  TARN_ParamList *rawVms = nullptr;
  if (TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &rawVms) != 0) {
    TARN_ParamListDestroy(rawVms);  // in case the host allocated before failing
    VTR_Log(LOG_ERR, "Monitor: TARN_GetInstanceListAlloc failed");
    return VTR_FAILURE;
  }
  VTR_OwnedParamList vms(rawVms);
  if (worldGroupGiven) {
    for (int32_t i = 0; i < worldGroupCount; i++) {
      if (VTR_DisableVMTrace(worldGroupIds[i], instance.get()) != VTR_OK) {
        VTR_Log(LOG_ERR, "Monitor: Failed to stop tracing for WorldId : %u", worldGroupIds[i]);
      }
    }
    // Then the VMs a peer added: each disable removes its node, so every VM
    // still listed is visited once.
    VTR_ForEachVM([&](VMListNode *node) {
      uint32_t id = node->worldGroupId;
      if (VTR_DisableVMTrace(id, instance.get()) != VTR_OK) {
        VTR_Log(LOG_ERR, "Monitor: Failed to stop tracing for WorldId : %u", id);
      }
    });
  } else {
    int count = TARN_ParamListUsedCount(vms.get());
    for (int i = 0; i < count; i++) {
      int64_t value = 0;
      if (!VTR_ParamInt(vms.get(), i, &value)) continue;
      int32_t vmInstance = static_cast<int32_t>(value);
      uint32_t cartelId = 0;
      // Without its cartel id the VM's traces cannot be addressed.
      if (VTR_LookupCartelId(instance.get(), vmInstance, &cartelId) != 0) {
        VTR_Log(LOG_ERR, "Monitor: Failed to get cartel id for VM instance: %d", vmInstance);
        continue;
      }
      if (VTR_DisableVMTrace(cartelId, instance.get()) != VTR_OK) {
        VTR_Log(LOG_ERR, "Monitor: Failed to stop tracing for WorldId : %d", vmInstance);
      }
    }
  }
  VTR_Log(LOG_INFO, "Monitor: Number of handles disabled :%u", disabledHandleCount);
  return VTR_OK;
}
