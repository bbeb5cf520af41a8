// Helpers shared by the end-to-end tests that read the daemon's metrics
// document (command 10) and inject records through hostsim.
#pragma once

#include <jansson.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "e2e/harness.h"

namespace e2e {

// (world group id as reported, device name) -> the 70 counters.
using DiskKey = std::pair<int64_t, std::string>;
using MetricsMap = std::map<DiskKey, std::vector<uint64_t>>;

// Parses a metrics reply; false when the document is malformed (with *why).
inline bool ParseMetrics(const std::string &body, MetricsMap *out, std::string *why) {
  out->clear();
  Json doc = ParseJson(body);
  json_t *fields = json_object_get(json_object_get(doc.get(), "vethraMetrics"), "metricFields");
  json_t *vms = json_object_get(json_object_get(doc.get(), "metricValues"), "vmWorldGroups");
  if (!json_is_array(fields) || json_array_size(fields) != 70 || !json_is_array(vms)) {
    *why = "malformed metrics document: " + body.substr(0, 200);
    return false;
  }
  size_t i, j, k;
  json_t *vm, *disk, *value;
  json_array_foreach(vms, i, vm) {
    int64_t wg = JsonInt(vm, "worldGroupId");
    json_array_foreach(json_object_get(vm, "vmDisks"), j, disk) {
      json_t *counters = json_object_get(disk, "ioCounters");
      if (json_array_size(counters) != 70) {
        *why = "disk without 70 counters in VM " + std::to_string(wg);
        return false;
      }
      std::vector<uint64_t> values(70);
      json_array_foreach(counters, k, value) {
        values[k] = static_cast<uint64_t>(json_integer_value(value));
      }
      (*out)[{wg, json_string_value(json_object_get(disk, "vscsiDevName"))}] = std::move(values);
    }
  }
  return true;
}

// One inject request entry in hostsim's control format.
inline std::string RecordJson(int opcode, uint32_t wg, uint64_t handle, uint32_t length,
                              uint64_t lba, uint64_t latency, int64_t timestamp = -1) {
  std::string s = "{\"opcode\":" + std::to_string(opcode) + ",\"worldGroupId\":" +
                  std::to_string(wg) + ",\"handleId\":" + std::to_string(handle) +
                  ",\"length\":" + std::to_string(length) + ",\"lba\":" + std::to_string(lba) +
                  ",\"latency\":" + std::to_string(latency);
  if (timestamp >= 0) s += ",\"timestamp\":" + std::to_string(timestamp);
  return s + "}";
}

}  // namespace e2e
