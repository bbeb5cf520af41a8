// Builders of daemon documents for the tool tests.
#pragma once

#include <string>
#include <vector>

#include "vethractl.h"

struct TestDisk {
  std::string name;
  std::vector<std::pair<const char *, long long>> counters;  // by counter name; the rest are 0
};
struct TestVm {
  std::string name;
  long long worldGroupId;
  std::vector<TestDisk> disks;
};

inline std::string TestMetricsDoc(long long ts, const std::vector<TestVm> &vms) {
  std::string s = "{\"vethraMetrics\":{\"metricFields\":[";
  for (int i = 0; i < VTR_TOOL_COUNTERS; i++)
    s += std::string(i ? "," : "") + "\"" + VTR_ToolCounterNames[i] + "\"";
  s += "]},\"metricValues\":{\"timeStamp\":" + std::to_string(ts) + ",\"vmWorldGroups\":[";
  for (size_t v = 0; v < vms.size(); v++) {
    s += std::string(v ? "," : "") + "{\"vmName\":\"" + vms[v].name +
         "\",\"uuid\":\"42 1a\",\"worldGroupId\":" + std::to_string(vms[v].worldGroupId) +
         ",\"vmDisks\":[";
    for (size_t d = 0; d < vms[v].disks.size(); d++) {
      s += std::string(d ? "," : "") + "{\"vscsiDevName\":\"" + vms[v].disks[d].name +
           "\",\"ioCounters\":[";
      for (int i = 0; i < VTR_TOOL_COUNTERS; i++) {
        long long val = 0;
        for (auto &c : vms[v].disks[d].counters) {
          if (std::string(c.first) == VTR_ToolCounterNames[i]) val = c.second;
        }
        s += std::string(i ? "," : "") + std::to_string(val);
      }
      s += "]}";
    }
    s += "]}";
  }
  return s + "]}}";
}
