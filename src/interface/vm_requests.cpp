// Requests that change or report the set of monitored VMs: Append, Delete,
// status, Exit, and the liveness check that every query applies to a VM.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "interface/requests.h"
#include "trace/tracing.h"

namespace {

constexpr const char kAppendError[] = "Unable to append the VM(s)";
constexpr const char kDeleteError[] = "Unable to delete the VM";
constexpr const char kStatusError[] = "Unable to query VM status";

// Installed by the process frame at start-up; null until then (tests).
VTR_ExitHook exitHook = nullptr;

VTR_Status SendEmptySuccess(int fd) { return VTR_SendResponse(fd, nullptr, 0, VTR_REPLY_OK); }

// Parses an Append/Delete payload and finds its "vmWorldGroups" value.
// Returns the parsed root (caller releases it) with *list set, or null after
// logging why; a value that is not an array counts as an empty list.
json_t *ParseVMList(const VTR_Request *request, const char *caller, json_t **list) {
  json_error_t error;
  json_t *root = json_loadb(request->payload, request->length, 0, &error);
  if (root == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_loadb() failed in %s with err:%s", caller, error.text);
    return nullptr;
  }
  if (!json_is_object(root)) {
    VTR_Log(LOG_ERR, "Interface: root is not an object");
    json_decref(root);
    return nullptr;
  }
  if (json_unpack(root, "{s:o}", "vmWorldGroups", list) != 0) {
    VTR_Log(LOG_ERR, "Interface: json_unpack() failed");
    json_decref(root);
    return nullptr;
  }
  return root;
}

// Calls handle(fetched, id) for each element of the list, in order. Elements
// are used as unsigned 32-bit ids: higher bits are dropped and a non-integer
// element reads as 0. An element that cannot be fetched is logged and handed
// over with fetched = false.
template <typename Fn>
void ForEachListedId(json_t *list, Fn handle) {
  size_t count = json_array_size(list);
  for (size_t i = 0; i < count; i++) {
    json_t *element = json_array_get(list, i);
    if (element == nullptr) VTR_Log(LOG_ERR, "Interface: json_array_get() failed");
    handle(element != nullptr, static_cast<uint32_t>(json_integer_value(element)));
  }
}

}  // namespace

VTR_Status VTR_AppendNewVMs(int fd, const VTR_Request *request) {
  if (request == nullptr || request->payload == nullptr || request->length == 0) {
    VTR_Log(LOG_ERR, "Interface:The req msg is null or msg len is invalid in %s.",
            "VTR_AppendNewVMs");
    return VTR_FAILURE;
  }
  VTR_Log(LOG_INFO, "Interface: Received Append VMs Message : %.*s",
          static_cast<int>(request->length), request->payload);
  json_t *list = nullptr;
  json_t *root = ParseVMList(request, "VTR_AppendNewVMs", &list);
  if (root == nullptr) return VTR_SendError(fd, kAppendError);

  // Only the last element's outcome decides the reply; earlier failures are
  // logged by the operations themselves. Once the shutdown has closed
  // tracing (under the same lock), nothing is tried and the reply is the
  // error: the final stop has already run, so no trace may start after it.
  VTR_Status last = VTR_OK;
  {
    RegistryGuard guard;
    if (VTR_TracingClosed()) {
      VTR_Log(LOG_INFO, "Interface: Shutting down, the VM(s) are not appended");
      last = VTR_FAILURE;
    } else {
      ForEachListedId(list, [&](bool fetched, uint32_t id) {
        last = fetched ? VTR_EnableVMTrace(id) : VTR_FAILURE;
      });
    }
  }
  json_decref(root);
  return last == VTR_OK ? SendEmptySuccess(fd) : VTR_SendError(fd, kAppendError);
}

VTR_Status VTR_DeleteVMs(int fd, const VTR_Request *request) {
  if (request == nullptr || request->payload == nullptr || request->length == 0) {
    VTR_Log(LOG_ERR, "Interface:The request msg is null or msg len is invalid in %s.",
            "VTR_DeleteVMs");
    return VTR_FAILURE;
  }
  VTR_Log(LOG_INFO, "Interface: Received Delete VMs Message :%.*s",
          static_cast<int>(request->length), request->payload);
  TARN_ParamList *instance = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2);
  if (instance == nullptr) {
    VTR_Log(LOG_ERR, "Interface: TARN_ParamlistCreate() failed");
    return VTR_SendError(fd, kDeleteError);
  }
  json_t *list = nullptr;
  json_t *root = ParseVMList(request, "VTR_DeleteVMs", &list);
  if (root == nullptr) {
    TARN_ParamListDestroy(instance);
    return VTR_SendError(fd, kDeleteError);
  }

  // Every element is tried; any failure turns the reply into the error.
  bool failed = false;
  {
    RegistryGuard guard;
    ForEachListedId(list, [&](bool fetched, uint32_t id) {
      if (!fetched) {
        failed = true;
        return;
      }
      // An id that is not listed may still name a listed VM by another of
      // its ids (a vmm leader or instance id): that VM is the one meant.
      uint32_t listed = 0;
      if (VTR_FindVM(id) == nullptr && VTR_LookupCartelId(instance, id, &listed) == 0 &&
          VTR_FindVM(listed) != nullptr) {
        id = listed;
      }
      if (VTR_DisableVMTrace(id, instance) != VTR_OK) {
        VTR_Log(LOG_ERR, "Interface: Failed to stop tracing for WorldId : %d",
                static_cast<int>(id));
        failed = true;
      }
    });
  }
  TARN_ParamListDestroy(instance);
  json_decref(root);
  return failed ? VTR_SendError(fd, kDeleteError) : SendEmptySuccess(fd);
}

VTR_Status VTR_QueryVMStatus(int fd) {
  json_t *ids = json_array();
  VTR_Log(LOG_INFO, "Interface: Received Vethra Status Query Message");

  int32_t remaining = 0;
  if (durationSecs != 0) {
    struct timeval now;
    VTR_GetTime(&now);
    int64_t elapsedUs = (static_cast<int64_t>(now.tv_sec) - startTime.tv_sec) * 1000000 +
                        (static_cast<int64_t>(now.tv_usec) - startTime.tv_usec);
    int64_t left = static_cast<int64_t>(durationSecs) - elapsedUs / 1000000;
    remaining = left < 0 ? 0 : static_cast<int32_t>(left);
  }

  {
    RegistryGuard guard;
    VTR_ForEachVM([&](VMListNode *node) {
      uint32_t id = node->worldGroupId;  // the node may be freed by the check
      if (VTR_RemoveInvalidVM(node)) json_array_append_new(ids, json_integer(id));
    });
  }

  json_t *reply = json_pack("{s:s,s:s,s:i,s:o}", "status", "running", "runName", instanceName,
                            "duration", static_cast<int>(remaining), "vmWorldGroups", ids);
  if (reply == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_pack() failed in %s.", "VTR_QueryVMStatus");
    return VTR_SendError(fd, kStatusError);
  }
  char *text = json_dumps(reply, JSON_COMPACT);
  json_decref(reply);
  if (text == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_dumps() failed in %s.", "VTR_QueryVMStatus");
    return VTR_SendError(fd, kStatusError);
  }
  VTR_Log(LOG_INFO, "Json string: %s", text);
  VTR_Status status = VTR_SendResponse(fd, text, static_cast<int32_t>(strlen(text)), VTR_REPLY_OK);
  free(text);
  return status;
}

void VTR_SetExitHook(VTR_ExitHook hook) { exitHook = hook; }

// Replies first, then runs the process's shutdown through the hook: the
// same sequence a signal starts. It returns once tracing has been stopped.
VTR_Status VTR_HandleExit(int fd) {
  VTR_Log(LOG_INFO, "Interface: Recvd Exit Vethra Message.");
  SendEmptySuccess(fd);
  usleep(200000);
  if (exitHook != nullptr) exitHook();
  VTR_Log(LOG_INFO, "Interface: Exiting Vethra...!");
  return VTR_OK;
}

bool VTR_RemoveInvalidVM(VMListNode *node) {
  TARN_ParamList *instance = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1);
  if (instance == nullptr) {
    VTR_Log(LOG_ERR, "Vethra : Insufficient memory to create TARN Param list");
    return false;
  }
  TARN_ParamListAddInt(instance, node->worldGroupId);
  uint8_t hasVmm = 0;
  TARN_Status status = TARN_Get(TARN_NODE_worldGroups_hasVmm, instance, &hasVmm, sizeof hasVmm);
  TARN_ParamListDestroy(instance);
  if (status == VTR_OK) return true;

  if (status == VTR_NOT_FOUND || status == VTR_NOT_SUPPORTED) {
    // The VM is gone: drop its disk entries and its node. Its tracing went
    // with it.
    VTR_Log(LOG_INFO, " Interface: VM %u, is DOWN, cleaning up.", node->worldGroupId);
    for (int32_t i = 0; i < node->handleCount; i++) {
      VTR_DeleteHashEntry(node->worldGroupId, node->handles[i].handleId);
    }
    VTR_FreeVMNode(node);
    return false;
  }
  VTR_Log(LOG_ERR, "Interface: TARN_Get() failed in %s status:%d", "VTR_RemoveInvalidVM",
          static_cast<int>(status));
  return false;
}
