// GET /api/v1/metrics: the daemon's two documents passed through unchanged,
// plus the per-disk rates between this sample and an earlier one.
#include <jansson.h>
#include <stdio.h>

#include <unordered_map>

#include "dashboard.h"
#include "vethra_client.h"

namespace {

struct JsonGuard {
  json_t *j;
  ~JsonGuard() { json_decref(j); }
};

std::string Dump(json_t *j) {
  char *text = json_dumps(j, JSON_COMPACT | JSON_ENCODE_ANY | JSON_REAL_PRECISION(10));
  std::string out = text ? text : "null";
  free(text);
  return out;
}

std::string JsonText(const std::string &s, bool emptyIsNull = false) {
  if (s.empty() && emptyIsNull) return "null";
  JsonGuard j{json_stringn(s.data(), s.size())};
  return j.j ? Dump(j.j) : "null";  // not UTF-8: dropped rather than sent broken
}

std::string DiskKey(uint32_t worldGroupId, const std::string &disk) {
  return std::to_string(worldGroupId) + "/" + disk;
}

// A rate as JSON: 10 significant digits, enough for bytes per second.
void AppendNumber(std::string *out, const char *key, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, ",\"%s\":%.10g", key, v);
  *out += buf;
}

// Share of `part` in `whole` in per cent, or null when nothing happened.
void AppendPercent(std::string *out, const char *key, uint64_t part, uint64_t whole) {
  if (whole) {
    AppendNumber(out, key, 100.0 * (double)part / (double)whole);
  } else {
    *out += std::string(",\"") + key + "\":null";
  }
}

}  // namespace

// Written by hand rather than through jansson objects: with 2000 disks this
// runs on every refresh of every open page.
std::string VTR_DashboardRatesJson(const VTR_Doc *prev, const VTR_Doc &cur, double seconds) {
  if (!prev || seconds <= 0) return "{\"intervalSeconds\":null,\"disks\":[]}";
  std::string out = "{\"intervalSeconds\":";
  char buf[64];
  snprintf(buf, sizeof buf, "%.10g", seconds);
  out += buf;
  out += ",\"disks\":[";

  std::unordered_map<std::string, const VTR_DiskCounters *> before;
  for (const VTR_VmCounters &vm : prev->vms) {
    for (const VTR_DiskCounters &d : vm.disks) before[DiskKey(vm.worldGroupId, d.name)] = &d;
  }
  bool first = true;
  for (const VTR_VmCounters &vm : cur.vms) {
    for (const VTR_DiskCounters &d : vm.disks) {
      auto it = before.find(DiskKey(vm.worldGroupId, d.name));
      if (it == before.end()) continue;
      uint64_t delta[VTR_TOOL_COUNTERS];
      bool restarted = false;
      for (int i = 0; i < VTR_TOOL_COUNTERS; i++) {
        restarted |= d.c[i] < it->second->c[i];
        delta[i] = d.c[i] - it->second->c[i];
      }
      // A counter that went down belongs to a new entry under the same name (the
      // disk was removed and added again): no common base. A real wrap past 2^64
      // would take 16 EiB or 2^64 I/Os and is not worth telling apart.
      if (restarted) continue;
      uint64_t ios = delta[0] + delta[1];
      out += first ? "{" : ",{";
      first = false;
      out += "\"worldGroupId\":" + std::to_string((int32_t)vm.worldGroupId);
      out += ",\"vscsiDevName\":" + JsonText(d.name);
      AppendNumber(&out, "readIops", (double)delta[0] / seconds);
      AppendNumber(&out, "writeIops", (double)delta[1] / seconds);
      AppendNumber(&out, "readBytesPerSec", (double)delta[2] / seconds);
      AppendNumber(&out, "writeBytesPerSec", (double)delta[3] / seconds);
      AppendPercent(&out, "sequentialPct", delta[4] + delta[5], ios);
      AppendPercent(&out, "aligned4kPct", delta[8] + delta[9], ios);
      out += "}";
    }
  }
  return out + "]}";
}

std::string VTR_DashboardApiBody(const VTR_DashReply &reply, double now, VTR_DashHistory *history,
                                 const char *socketPath) {
  std::string metricsError, changeRateError, perr;
  VTR_DashSample sample{now, VTR_Doc{}};
  bool metricsOk = false, changeRateOk = false;
  if (reply.metricsRc < 0) {
    metricsError = vtrc_error_text(reply.metricsRc, socketPath);
  } else if (reply.metricsCode != 0) {
    metricsError = "metrics query failed: " + reply.metricsBody;
  } else if (VTR_ParseMetricsDoc(reply.metricsBody, &sample.metrics, &perr) != 0) {
    metricsError = "metrics reply not understood: " + perr;
  } else {
    metricsOk = true;
    VTR_Doc unused;
    if (reply.changeRateRc < 0) {
      changeRateError = vtrc_error_text(reply.changeRateRc, socketPath);
    } else if (reply.changeRateCode != 0) {
      changeRateError = reply.changeRateBody;  // e.g. "Change rate estimation is disabled"
    } else if (VTR_ParseChangeRateDoc(reply.changeRateBody, &unused, &perr) != 0) {
      changeRateError = "change-rate reply not understood: " + perr;
    } else {
      changeRateOk = true;
    }
  }

  std::string rates = VTR_DashboardRatesJson(nullptr, sample.metrics, 0);
  if (metricsOk) {
    // The newest earlier sample that is old enough, else the oldest one.
    const VTR_DashSample *base = history->samples.empty() ? nullptr : &history->samples.front();
    for (auto it = history->samples.rbegin(); it != history->samples.rend(); ++it) {
      if (now - it->when >= VTR_DASH_MIN_INTERVAL) {
        base = &*it;
        break;
      }
    }
    if (base) rates = VTR_DashboardRatesJson(&base->metrics, sample.metrics, now - base->when);
    history->samples.push_back(std::move(sample));
    if (history->samples.size() > VTR_DASH_HISTORY) history->samples.erase(history->samples.begin());
  }
  // The daemon's documents are inserted as they came: they have just been parsed.
  return "{\"metrics\":" + (metricsOk ? reply.metricsBody : std::string("null")) +
         ",\"metricsError\":" + JsonText(metricsError, true) +
         ",\"changeRate\":" + (changeRateOk ? reply.changeRateBody : std::string("null")) +
         ",\"changeRateError\":" + JsonText(changeRateError, true) + ",\"rates\":" + rates + "}";
}
