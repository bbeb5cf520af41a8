// The change-rate query: every monitored disk's changed bytes over 5, 15 and
// 60 minutes, from its HyperLogLog or Sliding HyperLogLog estimator.
#include <stdlib.h>
#include <string.h>

#include "base/config.h"
#include "base/log.h"
#include "interface/requests.h"
#include "interface/vm_document.h"

namespace {

constexpr const char kDisabled[] = "Change rate estimation is disabled";

constexpr int kBlockShift = 12;  // distinct 4 KiB blocks -> bytes

void AppendBytes(std::string &out, const uint64_t blocks[3]) {
  out += '[';
  for (int i = 0; i < 3; i++) {
    if (i != 0) out += ',';
    VTR_AppendJsonInteger(out, static_cast<int64_t>(blocks[i] << kBlockShift));
  }
  out += ']';
}

// The three rates of one disk, or false when it has none (logged). The caller
// holds registryLock, which keeps the entry and its estimator alive.
bool AppendDiskRates(uint32_t worldGroupId, uint64_t handleId, std::string &out) {
  auto *entry = VTR_FindDiskEntry(VTR_GetDiskKey(worldGroupId, handleId));
  if (entry == nullptr || (!slidingHllEnabled && entry->changeRate.hll == nullptr)) {
    VTR_Log(LOG_ERR, "Interface: No Hash/CR Metric entry found for vmid:%d handleid:%lu",
            static_cast<int>(worldGroupId), static_cast<unsigned long>(handleId));
    return false;
  }
  uint64_t blocks[3];
  if (slidingHllEnabled) {
    // The estimator serialises this with the Consumer's additions itself.
    static const uint16_t kWindows[] = {300, 900, 3600};
    VTR_SHllEstimateWindows(entry->changeRate.shll, kWindows, 3, blocks);
  } else if (VTR_HLLEstimates(entry->changeRate.hll, blocks) != VTR_OK) {
    VTR_Log(LOG_ERR, "Interface: Failed to read the estimates for vmid: %u handleid: %lu",
            worldGroupId, static_cast<unsigned long>(handleId));
    return false;
  }
  AppendBytes(out, blocks);
  return true;
}

}  // namespace

VTR_Status VTR_QueryChangeRate(int fd) {
  VTR_Log(LOG_INFO, "Interface: Received Change rate Query Message");
  if (!changeRateEnabled) {
    VTR_Log(LOG_INFO, "Interface: Change rate estimation is disabled");
    return VTR_SendResponse(fd, kDisabled, sizeof kDisabled - 1, VTR_REPLY_ERROR);
  }
  static const VTR_VMDocument document = {"vethraChangeRate",
                                          "changeRateValues",
                                          "VTR_QueryChangeRate",
                                          "Interface: CR Metric info: ",
                                          "Unable to fetch the change rate, json encoding failed.",
                                          "Unable to fetch the change rate, json_dumps() failed.",
                                          "changeRates",
                                          true,
                                          AppendDiskRates};
  json_t *fields = json_array();
  json_t *holder = json_object();
  for (const char *name : {"changebytes5m", "changebytes15m", "changebytes60m"}) {
    json_array_append_new(fields, json_string(name));
  }
  json_object_set_new(holder, "changeRateFields", fields);
  return VTR_SendVMDocument(fd, document, holder);
}
