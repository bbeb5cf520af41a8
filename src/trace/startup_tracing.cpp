// Start-up work on the main thread, before any other thread exists: clearing
// the tracing an earlier run left on, and tracing (or, in list mode, printing)
// the VMs that the command line selects.
#include "trace/startup_tracing.h"

#include <stdio.h>
#include <string.h>

#include <memory>

#include "base/config.h"
#include "base/log.h"
#include "host/tarn_scope.h"
#include "registry/registry.h"
#include "trace/tracing.h"

namespace {

constexpr int kCommandBufferSize = 128;

void SendCommand(uint16_t node, const char *format) {
  char output[kCommandBufferSize] = {0};
  TARN_Status status = TARN_Set(node, nullptr, nullptr, output, sizeof output);
  if (status != 0) {
    VTR_Log(LOG_ERR, format, static_cast<int32_t>(status), BREL_ReturnStatusToString(status));
  }
}

bool IsSelectedWorldGroup(uint32_t worldGroupId) {
  for (int32_t i = 0; i < worldGroupCount; i++) {
    if (worldGroupIds[i] == worldGroupId) return true;
  }
  return false;
}

void AddSelectedVM(uint32_t worldGroupId, TARN_ParamList *instance) {
  if (VTR_AddVMWorldIdToList(worldGroupId, instance) != VTR_OK) {
    VTR_Log(LOG_ERR, "Main: Failed to add WorldID to VMlist : %d", worldGroupId);
  }
}

// Length of a text field of a host record that need not be NUL-terminated.
int FieldLength(const char *field, size_t fieldSize) {
  return static_cast<int>(strnlen(field, fieldSize));
}

}  // namespace

VTR_Status VTR_PrintVMInfo(int32_t vmInstanceId, uint32_t worldGroupId) {
  VTR_Status status = VTR_NO_MEMORY;
  VTR_OwnedParamList instance(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1));
  if (!instance) {
    printf("Insufficient memory to create TARN Param list");
  } else {
    VTR_ScopedParam vm(instance.get(), vmInstanceId);
    auto record = std::make_unique<char[]>(TARN_VMMGROUPINFO_SIZE);
    memset(record.get(), 0, TARN_VMMGROUPINFO_SIZE);
    status = vm.ok() ? TARN_Get(TARN_NODE_vm_vmmGroupInfo, instance.get(), record.get(),
                                TARN_VMMGROUPINFO_SIZE)
                     : vm.status();
    if (status == 0) {
      const char *name = record.get() + TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET;
      const char *config = record.get() + TARN_VMMGROUPINFO_CONFIGFILE_OFFSET;
      printf(
          "Virtual Machine worldGroupID: %d, Virtual Machine Display Name: %.*s, Virtual "
          "Machine Config File: %.*s, \n",
          worldGroupId,
          FieldLength(name,
                      TARN_VMMGROUPINFO_CONFIGFILE_OFFSET - TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET),
          name, FieldLength(config, TARN_VMMGROUPINFO_SIZE - TARN_VMMGROUPINFO_CONFIGFILE_OFFSET),
          config);
      return VTR_OK;
    }
  }
  printf("One of the TARN apis failed with error(%d): %s", static_cast<int32_t>(status),
         BREL_ReturnStatusToString(status));
  return status;
}

VTR_Status VTR_InitialCleanup() {
  SendCommand(TARN_NODE_perf_vethra_command_clearLogChannel,
              "Main: Failed to set TARN command node:clearLogChannel(%d): %s");
  SendCommand(TARN_NODE_perf_vethra_command_resetStartTimestamp,
              "Main: Failed to set TARN cmd node resetStartTimestamp(%d): %s");
  int32_t diskCount = 0;
  TARN_Status status =
      TARN_Get(TARN_NODE_perf_vethra_monitoredDiskCount, nullptr, &diskCount, sizeof diskCount);
  if (status != 0) {
    VTR_Log(LOG_ERR, "Main: Failed to get monitored Disk Count (%d)", static_cast<int32_t>(status));
    return VTR_FAILURE;
  }
  if (diskCount == 0) return VTR_OK;
  VTR_Log(LOG_INFO, "Main: Disks monitored from previous run : %d", diskCount);
  VTR_Log(LOG_INFO, "Main: Resetting tracelogging for disks from previous run");
  VTR_Status result = VTR_ClearStaleMonitoredDisks();
  if (result != VTR_OK) {
    VTR_Log(LOG_ERR, "Main: Failed to stop tracing on the disks at initalization");
  }
  return result;
}

VTR_Status VTR_ClearStaleMonitoredDisks() {
  VTR_OwnedParamList instance(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2));
  if (!instance) {
    VTR_Log(LOG_ERR, "Main: TARN_ParamlistCreate() failed in %s", "VTR_ClearStaleMonitoredDisks");
    return VTR_FAILURE;
  }
  uint32_t count = 0;
  VTR_OwnedParamList stale(
      VTR_GetTARNVscsiListHandle(TARN_NODE_perf_vethra_handles, nullptr, 0, &count));
  if (!stale) {
    VTR_Log(LOG_ERR, "Main: VTR_GetTARNVscsiListHandle() failed %s",
            "VTR_ClearStaleMonitoredDisks");
    return VTR_FAILURE;
  }
  int used = TARN_ParamListUsedCount(stale.get());
  for (int i = 0; i < used; i++) {
    int64_t value = 0;
    if (!VTR_ParamInt(stale.get(), i, &value)) {
      VTR_Log(LOG_ERR, "Main: param is null for index: %d", i);
      continue;
    }
    uint64_t staleHandle = static_cast<uint64_t>(value);
    uint8_t info[TARN_HANDLEINFO_SIZE] = {0};
    TARN_Status status;
    {
      VTR_ScopedParam handle(instance.get(), value);
      status = handle.ok() ? TARN_Get(TARN_NODE_perf_vethra_handles_handleInfo, instance.get(),
                                      info, sizeof info)
                           : handle.status();
    }
    if (status != 0) {
      VTR_Log(LOG_ERR, "Main: Failed to get the handleInfo for handleId: %lu with err:%s ",
              staleHandle, BREL_ReturnStatusToString(status));
      continue;
    }
    uint32_t worldGroupId = 0;
    uint64_t handleId = 0;
    memcpy(&worldGroupId, info, sizeof worldGroupId);
    memcpy(&handleId, info + sizeof worldGroupId, sizeof handleId);  // not aligned
    VTR_ScopedParam group(instance.get(), worldGroupId);
    VTR_ScopedParam handle(instance.get(), static_cast<int64_t>(handleId));
    uint32_t unused = 0;
    status = group.ok() && handle.ok() ? TARN_Set(TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace,
                                                  instance.get(), nullptr, &unused, 0)
                                       : VTR_FAILURE;
    if (status != 0) {
      VTR_Log(LOG_ERR, "Main: Failed to stop tracing in %s for VMid: %d  handleid: %lu with err:%s",
              "VTR_ClearStaleMonitoredDisks", worldGroupId, handleId,
              BREL_ReturnStatusToString(status));
    }
  }
  return VTR_OK;
}

VTR_Status VTR_EnableVMVscsiTrace() {
  VTR_OwnedParamList instance(TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1));
  if (!instance) {
    VTR_Log(LOG_ERR, "Main: TARN_ParamlistCreate() failed in %s", "VTR_EnableVMVscsiTrace");
    return VTR_FAILURE;
  }
  TARN_ParamList *rawVms = nullptr;
  TARN_Status status = TARN_GetInstanceListAlloc(TARN_NODE_vm, nullptr, &rawVms);
  VTR_OwnedParamList vms(rawVms);
  if (status != 0) {
    VTR_Log(LOG_ERR, "Main:TARN_GetInstanceListAlloc() failed in %s", "VTR_EnableVMVscsiTrace");
    return status;
  }
  int count = TARN_ParamListUsedCount(vms.get());
  for (int i = 0; i < count; i++) {
    int64_t value = 0;
    if (!VTR_ParamInt(vms.get(), i, &value)) continue;
    uint32_t vmInstance = static_cast<uint32_t>(value);
    uint32_t worldGroupId = 0;
    if (VTR_LookupCartelId(instance.get(), vmInstance, &worldGroupId) != 0) {
      // Without its cartel id the VM cannot be named, selected or traced.
      VTR_Log(LOG_ERR, "Main: Failed to get cartel id for VM instance: %d",
              static_cast<int32_t>(vmInstance));
      continue;
    }
    {
      // The VM's instance id addresses its vm.* and worldGroups.* nodes.
      VTR_ScopedParam vm(instance.get(), static_cast<int64_t>(vmInstance));
      if (!vm.ok()) continue;
      if (listMode) {
        VTR_PrintVMInfo(static_cast<int32_t>(vmInstance), worldGroupId);
      } else if (monitorAll) {
        AddSelectedVM(worldGroupId, instance.get());
      }
      if (worldGroupGiven) {
        if (!IsSelectedWorldGroup(worldGroupId)) continue;
        AddSelectedVM(worldGroupId, instance.get());
      }
    }
    // The handles are addressed by the cartel id from here on.
    VTR_ScopedParam group(instance.get(), static_cast<int32_t>(worldGroupId));
    if (group.ok()) VTR_SetVSCSIHandles(instance.get(), worldGroupId);
  }
  return VTR_OK;
}
