#include "interface/vm_document.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <charconv>

#include "base/clock.h"
#include "base/log.h"
#include "interface/requests.h"

namespace {

// Largest document sent so far: the next one reserves that much at once
// instead of growing by copies.
std::atomic<size_t> largestDocument{0};

// Appends `text` as a JSON string, exactly as jansson's compact dump writes
// it; returns false, appending nothing, when jansson would refuse the text.
// Plain printable ASCII is copied; anything else goes through jansson.
bool AppendString(std::string &out, const char *text) {
  const char *p = text;
  while (*p >= 0x20 && *p < 0x7f && *p != '"' && *p != '\\') ++p;
  if (*p == '\0') {
    out += '"';
    out.append(text, static_cast<size_t>(p - text));
    out += '"';
    return true;
  }
  json_t *string = json_string(text);
  if (string == nullptr) return false;
  char *dumped = json_dumps(string, JSON_ENCODE_ANY | JSON_COMPACT);
  json_decref(string);
  if (dumped == nullptr) return false;
  out += dumped;
  free(dumped);
  return true;
}

// The disks of one VM that still have a value. A disk whose value or name
// fails is left out; its value is still formed first (a sliding estimate
// prunes), as when the whole disk object was packed at once.
void AppendDiskArray(std::string &out, const VTR_VMDocument &shape, const VMListNode *node) {
  out += '[';
  bool first = true;
  for (int32_t i = 0; i < node->handleCount; i++) {
    const HandleInfo &handle = node->handles[i];
    const size_t mark = out.size();
    if (!first) out += ',';
    out += "{\"vscsiDevName\":";
    bool named = AppendString(out, handle.vscsiDevName);
    out += ",\"";
    out += shape.diskValueKey;
    out += "\":";
    bool valued = shape.diskValue(node->worldGroupId, handle.handleId, out);
    if (!named || !valued) {
      if (shape.deviceLogHasIds) {
        VTR_Log(LOG_ERR, "Interface: json_pack failed for device: %s worldID: %u handleId: %u",
                handle.vscsiDevName, node->worldGroupId, static_cast<unsigned>(handle.handleId));
      } else {
        VTR_Log(LOG_ERR, "Interface: json_pack failed for device: %s", handle.vscsiDevName);
      }
      out.resize(mark);
      continue;
    }
    out += '}';
    first = false;
  }
  out += ']';
}

// One object per VM that is still alive, in list order. A VM that is down is
// removed by the liveness check. The caller holds registryLock.
void AppendVMArray(std::string &out, const VTR_VMDocument &shape) {
  out += '[';
  bool first = true;
  VTR_ForEachVM([&](VMListNode *node) {
    if (!VTR_RemoveInvalidVM(node)) return;
    const size_t mark = out.size();
    if (!first) out += ',';
    out += "{\"vmName\":";
    bool valid = AppendString(out, node->vmName);
    out += ",\"uuid\":";
    valid = AppendString(out, node->uuid) && valid;
    out += ",\"worldGroupId\":";
    VTR_AppendJsonInteger(out, static_cast<int32_t>(node->worldGroupId));
    out += ",\"vmDisks\":";
    AppendDiskArray(out, shape, node);
    out += '}';
    if (!valid) {
      VTR_Log(LOG_ERR, "Interface: json_pack failed for VM: %s", node->vmName);
      out.resize(mark);
      return;
    }
    first = false;
  });
  out += ']';
}

}  // namespace

void VTR_AppendJsonInteger(std::string &out, int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

VTR_Status VTR_SendVMDocument(int fd, const VTR_VMDocument &shape, json_t *fieldsHolder) {
  struct timeval now;
  VTR_GetTime(&now);
  char *fields = fieldsHolder != nullptr ? json_dumps(fieldsHolder, JSON_COMPACT) : nullptr;
  json_decref(fieldsHolder);
  if (fields == nullptr) {
    VTR_Log(LOG_ERR, "Interface: json_pack failed in %s", shape.operation);
    return VTR_SendError(fd, shape.encodingError);
  }
  std::string text;
  text.reserve(largestDocument.load(std::memory_order_relaxed));
  text += "{\"";
  text += shape.fieldsHolderKey;
  text += "\":";
  text += fields;
  free(fields);
  text += ",\"";
  text += shape.valuesKey;
  text += "\":{\"timeStamp\":";
  VTR_AppendJsonInteger(text, static_cast<int32_t>(now.tv_sec));
  text += ",\"vmWorldGroups\":";
  {
    RegistryGuard guard;
    AppendVMArray(text, shape);
  }
  text += "}}";
  if (text.size() > INT32_MAX) return VTR_SendError(fd, shape.dumpError);
  if (text.size() > largestDocument.load(std::memory_order_relaxed))
    largestDocument.store(text.size(), std::memory_order_relaxed);
  VTR_Log(LOG_DEBUG, "%s%s", shape.debugPrefix, text.c_str());
  return VTR_SendResponse(fd, text.data(), static_cast<int32_t>(text.size()), VTR_REPLY_OK);
}
