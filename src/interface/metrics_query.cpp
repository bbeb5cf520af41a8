// The metrics query: every monitored disk's 70 I/O counters as one JSON
// document.
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "interface/requests.h"
#include "interface/vm_document.h"

namespace {

// The disk's 70 counters as a JSON array, or false without an entry. The
// caller holds registryLock, which keeps the entry from being freed while its
// counters are read.
bool AppendIoCounters(uint32_t worldGroupId, uint64_t handleId, std::string &out) {
  auto *entry = VTR_FindDiskEntry(VTR_GetDiskKey(worldGroupId, handleId));
  if (entry == nullptr) {
    VTR_Log(LOG_ERR, "No hash entry found for vmid:%d handleid:%lu", static_cast<int>(worldGroupId),
            static_cast<unsigned long>(handleId));
    return false;
  }
  // Counters above 2^63 - 1 come out negative, as signed 64-bit integers.
  out += '[';
  for (int i = 0; i < VTR_NUM_COUNTERS; i++) {
    if (i != 0) out += ',';
    VTR_AppendJsonInteger(out,
                          static_cast<int64_t>(VTR_CounterLoad(entry->counters.ioCounters[i])));
  }
  out += ']';
  return true;
}

}  // namespace

VTR_Status VTR_QueryMetrics(int fd) {
  static const VTR_VMDocument document = {"vethraMetrics",
                                          "metricValues",
                                          "VTR_QueryMetrics",
                                          "Interface: Metric info: ",
                                          "Unable to fetch the metrics, json encoding failed.",
                                          "Unable to fetch the metrics, json_dumps() failed.",
                                          "ioCounters",
                                          false,
                                          AppendIoCounters};
  json_t *fields = json_array();
  json_t *holder = json_object();
  VTR_Log(LOG_INFO, "Interface: Received Metrics Query Message");
  for (int i = 0; i < VTR_NUM_COUNTERS; i++)
    json_array_append_new(fields, json_string(metricFieldNames[i]));
  json_object_set_new(holder, "metricFields", fields);
  return VTR_SendVMDocument(fd, document, holder);
}
