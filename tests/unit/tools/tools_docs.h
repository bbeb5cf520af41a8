// Builders of daemon documents, and a shell runner, for the tool tests.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "vethractl.h"

using TestCounters = std::vector<std::pair<const char *, long long>>;  // by name; the rest are 0
struct TestDisk {
  std::string name;
  TestCounters counters;
};
struct TestVm {
  std::string name;
  long long worldGroupId;
  std::vector<TestDisk> disks;
};

// The metrics document; with changeRate, the change-rate document, whose
// counters are the 5, 15 and 60 minute windows.
inline std::string TestMetricsDoc(long long ts, const std::vector<TestVm> &vms,
                                  bool changeRate = false) {
  static const char *const windows[] = {"changebytes5m", "changebytes15m", "changebytes60m"};
  const char *const *names = changeRate ? windows : VTR_ToolCounterNames;
  const int count = changeRate ? 3 : VTR_TOOL_COUNTERS;
  std::string s = changeRate ? "{\"vethraChangeRate\":{\"changeRateFields\":["
                             : "{\"vethraMetrics\":{\"metricFields\":[";
  for (int i = 0; i < count; i++) s += std::string(i ? "," : "") + "\"" + names[i] + "\"";
  s += std::string("]},\"") + (changeRate ? "changeRateValues" : "metricValues") +
       "\":{\"timeStamp\":" + std::to_string(ts) + ",\"vmWorldGroups\":[";
  for (size_t v = 0; v < vms.size(); v++) {
    s += std::string(v ? "," : "") + "{\"vmName\":\"" + vms[v].name +
         "\",\"uuid\":\"42 1a\",\"worldGroupId\":" + std::to_string(vms[v].worldGroupId) +
         ",\"vmDisks\":[";
    for (size_t d = 0; d < vms[v].disks.size(); d++) {
      s += std::string(d ? "," : "") + "{\"vscsiDevName\":\"" + vms[v].disks[d].name + "\",\"" +
           (changeRate ? "changeRates" : "ioCounters") + "\":[";
      for (int i = 0; i < count; i++) {
        long long val = 0;
        for (auto &c : vms[v].disks[d].counters) {
          if (std::string(c.first) == names[i]) val = c.second;
        }
        s += std::string(i ? "," : "") + std::to_string(val);
      }
      s += "]}";
    }
    s += "]}";
  }
  return s + "]}}";
}

// A document parsed as the tools parse it; a parse failure fails the test.
inline VTR_Doc TestParse(const std::string &text, bool changeRate = false) {
  VTR_Doc doc{};
  std::string err;
  EXPECT_EQ((changeRate ? VTR_ParseChangeRateDoc : VTR_ParseMetricsDoc)(text, &doc, &err), 0)
      << err;
  return doc;
}

// Runs a shell command; its exit status, and what it wrote in *out.
inline int Shell(const std::string &command, std::string *out) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) *out += buf;
  return WEXITSTATUS(pclose(p));
}
