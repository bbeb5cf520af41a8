// GET /api/v1/metrics: the daemon's two documents passed through unchanged,
// plus the per-disk rates between this sample and an earlier one.
#include <jansson.h>
#include <stdio.h>

#include <string_view>
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

// A disk name as a JSON string. Names of printable ASCII without quote or
// backslash (all the daemon's own) are copied as they are, which is what
// jansson would write; the rest goes through jansson.
void AppendName(std::string *out, const std::string &s) {
  for (char ch : s) {
    if ((unsigned char)ch < 0x20 || (unsigned char)ch >= 0x80 || ch == '"' || ch == '\\') {
      *out += JsonText(s);
      return;
    }
  }
  *out += '"';
  *out += s;
  *out += '"';
}

// Disks are matched across samples by world group and name.
struct DiskKey {
  uint32_t worldGroupId;
  std::string_view name;
  bool operator==(const DiskKey &o) const {
    return worldGroupId == o.worldGroupId && name == o.name;
  }
};
struct DiskKeyHash {
  size_t operator()(const DiskKey &k) const {
    return std::hash<std::string_view>()(k.name) ^ ((size_t)k.worldGroupId * 0x9E3779B97F4A7C15ull);
  }
};

// A rate as JSON: 10 significant digits, enough for bytes per second.
void AppendNumber(std::string *out, const char *key, double v) {
  char buf[64];
  int n = snprintf(buf, sizeof buf, ",\"%s\":%.10g", key, v);
  out->append(buf, (size_t)n);
}

// Share of `part` in `whole` in per cent, or null when nothing happened.
void AppendPercent(std::string *out, const char *key, uint64_t part, uint64_t whole) {
  if (whole) {
    AppendNumber(out, key, 100.0 * (double)part / (double)whole);
  } else {
    *out += ",\"";
    *out += key;
    *out += "\":null";
  }
}

// The "rates" object of VTR_DashboardRatesJson, appended to *out.
void AppendRates(std::string *out, const VTR_Doc *prev, const VTR_Doc &cur, double seconds) {
  if (!prev || seconds <= 0) {
    *out += "{\"intervalSeconds\":null,\"disks\":[]}";
    return;
  }
  char buf[64];
  int n = snprintf(buf, sizeof buf, "{\"intervalSeconds\":%.10g,\"disks\":[", seconds);
  out->append(buf, (size_t)n);

  std::unordered_map<DiskKey, const VTR_DiskCounters *, DiskKeyHash> before;
  size_t count = 0;
  for (const VTR_VmCounters &vm : prev->vms) count += vm.disks.size();
  before.reserve(count);
  for (const VTR_VmCounters &vm : prev->vms) {
    for (const VTR_DiskCounters &d : vm.disks) before[DiskKey{vm.worldGroupId, d.name}] = &d;
  }
  bool first = true;
  for (const VTR_VmCounters &vm : cur.vms) {
    for (const VTR_DiskCounters &d : vm.disks) {
      auto it = before.find(DiskKey{vm.worldGroupId, d.name});
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
      n = snprintf(buf, sizeof buf, "%s{\"worldGroupId\":%d,\"vscsiDevName\":", first ? "" : ",",
                   (int)(int32_t)vm.worldGroupId);
      out->append(buf, (size_t)n);
      first = false;
      AppendName(out, d.name);
      AppendNumber(out, "readIops", (double)delta[0] / seconds);
      AppendNumber(out, "writeIops", (double)delta[1] / seconds);
      AppendNumber(out, "readBytesPerSec", (double)delta[2] / seconds);
      AppendNumber(out, "writeBytesPerSec", (double)delta[3] / seconds);
      AppendPercent(out, "sequentialPct", delta[4] + delta[5], ios);
      AppendPercent(out, "aligned4kPct", delta[8] + delta[9], ios);
      *out += '}';
    }
  }
  *out += "]}";
}

}  // namespace

// Written by hand rather than through jansson objects: with 2000 disks this
// runs on every refresh of every open page.
std::string VTR_DashboardRatesJson(const VTR_Doc *prev, const VTR_Doc &cur, double seconds) {
  std::string out;
  AppendRates(&out, prev, cur, seconds);
  return out;
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

  // The daemon's documents are inserted as they came: they have just been
  // parsed. Only the rates are generated; the whole body is built in one
  // buffer reserved up front (a big host's documents are megabytes).
  size_t disks = 0;
  for (const VTR_VmCounters &vm : sample.metrics.vms) disks += vm.disks.size();
  std::string out;
  out.reserve(reply.metricsBody.size() + reply.changeRateBody.size() + metricsError.size() +
              changeRateError.size() + disks * 256 + 256);
  out += "{\"metrics\":";
  out += metricsOk ? reply.metricsBody : "null";
  out += ",\"metricsError\":";
  out += JsonText(metricsError, true);
  out += ",\"changeRate\":";
  out += changeRateOk ? reply.changeRateBody : "null";
  out += ",\"changeRateError\":";
  out += JsonText(changeRateError, true);
  out += ",\"rates\":";
  if (!metricsOk) {
    AppendRates(&out, nullptr, sample.metrics, 0);
  } else {
    // The newest earlier sample that is old enough by the exporter's clock
    // and by the daemon's time stamps; none yet: no rates this time.
    const VTR_DashSample *base = nullptr;
    for (auto it = history->samples.rbegin(); it != history->samples.rend(); ++it) {
      if (now - it->when >= VTR_DASH_MIN_INTERVAL &&
          sample.metrics.timeStamp - it->metrics.timeStamp >= VTR_DASH_MIN_INTERVAL) {
        base = &*it;
        break;
      }
    }
    AppendRates(&out, base ? &base->metrics : nullptr, sample.metrics, base ? now - base->when : 0);
    history->samples.push_back(std::move(sample));
    // An older sample than the newest one that is already old enough will
    // never be a base again.
    auto &all = history->samples;
    while (all.size() > 1 &&
           (all.size() > VTR_DASH_HISTORY || now - all[1].when >= VTR_DASH_MIN_INTERVAL)) {
      all.erase(all.begin());
    }
  }
  out += '}';
  return out;
}
