// The exporter's history of per-disk rates (see history.h).
//
// Memory: a sample holds one point of 56 bytes per disk that had a base in
// the previous sample, and the names of a disk are stored once in `disks`,
// shared by every sample that refers to it. 2000 disks sampled every 5 s for
// 15 minutes are 180 samples, about 19 MiB (bench/bench_history.cpp prints it).
//
// Rates come from the deltas between two consecutive samples of the daemon,
// divided by the exporter's monotonic time between the two queries. A disk
// whose counters went back has no common base with the previous sample, and
// a failed query leaves the next sample without a base: both are gaps in the
// series, never a negative rate or a spike.
#include "history.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::string DiskKeyText(uint32_t worldGroupId, const std::string &name) {
  return std::to_string(worldGroupId) + "/" + name;
}

uint32_t RefDisk(VTR_History *h, uint32_t worldGroupId, const std::string &vm,
                 const std::string &name) {
  std::string key = DiskKeyText(worldGroupId, name);
  auto it = h->diskIndex.find(key);
  if (it != h->diskIndex.end()) {
    VTR_HistDisk &d = h->disks[it->second];
    d.vm = vm;  // a VM may be renamed; the newest name wins
    d.refs++;
    return it->second;
  }
  uint32_t slot;
  if (!h->freeDisks.empty()) {
    slot = h->freeDisks.back();
    h->freeDisks.pop_back();
    h->disks[slot] = VTR_HistDisk{worldGroupId, vm, name, 1};
  } else {
    slot = (uint32_t)h->disks.size();
    h->disks.push_back(VTR_HistDisk{worldGroupId, vm, name, 1});
  }
  h->diskIndex.emplace(std::move(key), slot);
  return slot;
}

void UnrefDisk(VTR_History *h, uint32_t slot) {
  VTR_HistDisk &d = h->disks[slot];
  if (--d.refs > 0) return;
  h->diskIndex.erase(DiskKeyText(d.worldGroupId, d.name));
  d.vm.clear();
  d.name.clear();
  d.vm.shrink_to_fit();
  d.name.shrink_to_fit();
  h->freeDisks.push_back(slot);
}

// Latency percentile of one direction (0 read, 1 write) from the deltas.
float LatencyPercentile(const uint64_t *delta, int direction, double q) {
  uint64_t counts[VTR_TOOL_LAT_BUCKETS];
  for (int b = 0; b < VTR_TOOL_LAT_BUCKETS; b++)
    counts[b] = delta[VTR_TOOL_LAT_BASE + 2 * b + direction];
  double us = VTR_HistogramPercentile(counts, VTR_LatBucketUpperUs, VTR_TOOL_LAT_BUCKETS, q);
  return us < 0 ? NAN : (float)(us / 1e6);
}

void AppendNumber(std::string *out, const char *key, double v) {
  if (isnan(v)) return;  // unknown: the key is left out
  char buf[64];
  int n = snprintf(buf, sizeof buf, ",\"%s\":%.7g", key, v);
  out->append(buf, (size_t)n);
}

void AppendString(std::string *out, const std::string &s) {
  *out += '"';
  for (char ch : s) {
    unsigned char u = (unsigned char)ch;
    if (ch == '"' || ch == '\\') {
      *out += '\\';
      *out += ch;
    } else if (u < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", u);
      *out += buf;
    } else {
      *out += ch;  // the daemon's documents are UTF-8: passed on as they came
    }
  }
  *out += '"';
}

const char *const POINT_KEYS[VTR_HIST_VALUES] = {"readIops",
                                                 "writeIops",
                                                 "readBytesPerSecond",
                                                 "writeBytesPerSecond",
                                                 "sequentialShare",
                                                 "readLatencyP50Seconds",
                                                 "readLatencyP99Seconds",
                                                 "writeLatencyP50Seconds",
                                                 "writeLatencyP99Seconds"};
const char *const TOTAL_KEYS[4] = {"readIops", "writeIops", "readBytesPerSecond",
                                   "writeBytesPerSecond"};

}  // namespace

void VTR_HistoryInit(VTR_History *h, double intervalSeconds, double historySeconds) {
  *h = VTR_History{};
  h->intervalSeconds = intervalSeconds;
  h->capacity = intervalSeconds > 0 ? (size_t)ceil(historySeconds / intervalSeconds) : 1;
  if (h->capacity < 1) h->capacity = 1;
}

bool VTR_HistoryAdd(VTR_History *h, const VTR_Doc *metrics, const VTR_Doc *rates, double unixTime,
                    double monotonic) {
  if (!metrics) {
    h->havePrev = false;
    return false;
  }
  if (!h->havePrev) {
    h->prev = *metrics;
    h->prevMonotonic = monotonic;
    h->havePrev = true;
    return false;
  }
  double seconds = monotonic - h->prevMonotonic;
  // Less than a second of the daemon's time: too short to be a rate; the
  // next sample measures from the same base.
  if (metrics->timeStamp - h->prev.timeStamp < 1 || seconds <= 0) return false;

  std::unordered_map<std::string, const VTR_DiskCounters *> before;
  for (const VTR_VmCounters &vm : h->prev.vms) {
    for (const VTR_DiskCounters &d : vm.disks) before[DiskKeyText(vm.worldGroupId, d.name)] = &d;
  }
  std::unordered_map<std::string, uint64_t> changed;
  if (rates) {
    for (const VTR_VmCounters &vm : rates->vms) {
      for (const VTR_DiskCounters &d : vm.disks) {
        if (!d.rates.empty()) changed[DiskKeyText(vm.worldGroupId, d.name)] = d.rates[0];
      }
    }
  }

  VTR_HistSample s{};
  s.time = round(unixTime * 1000) / 1000;  // what the endpoint prints, so that ?since= matches it
  for (const VTR_VmCounters &vm : metrics->vms) {
    for (const VTR_DiskCounters &d : vm.disks) {
      std::string key = DiskKeyText(vm.worldGroupId, d.name);
      auto it = before.find(key);
      if (it == before.end()) continue;  // new disk: no base yet
      uint64_t delta[VTR_TOOL_COUNTERS];
      bool back = false;
      for (int i = 0; i < VTR_TOOL_COUNTERS; i++) {
        back |= d.c[i] < it->second->c[i];
        delta[i] = d.c[i] - it->second->c[i];
      }
      if (back) continue;  // restarted daemon or a new entry under the same name
      VTR_HistPoint p;
      p.disk = RefDisk(h, vm.worldGroupId, vm.name, d.name);
      uint64_t ios = delta[0] + delta[1];
      p.v[VTR_HIST_READ_IOPS] = (float)((double)delta[0] / seconds);
      p.v[VTR_HIST_WRITE_IOPS] = (float)((double)delta[1] / seconds);
      p.v[VTR_HIST_READ_BPS] = (float)((double)delta[2] / seconds);
      p.v[VTR_HIST_WRITE_BPS] = (float)((double)delta[3] / seconds);
      p.v[VTR_HIST_SEQ_SHARE] = ios ? (float)((double)(delta[4] + delta[5]) / (double)ios) : NAN;
      p.v[VTR_HIST_READ_P50] = LatencyPercentile(delta, 0, 0.5);
      p.v[VTR_HIST_READ_P99] = LatencyPercentile(delta, 0, 0.99);
      p.v[VTR_HIST_WRITE_P50] = LatencyPercentile(delta, 1, 0.5);
      p.v[VTR_HIST_WRITE_P99] = LatencyPercentile(delta, 1, 0.99);
      auto c = changed.find(key);
      p.changedBytes5m = c == changed.end() ? NAN : (double)c->second;
      for (int t = 0; t < 4; t++) s.totals[t] += p.v[t];
      s.points.push_back(p);
    }
  }
  s.points.shrink_to_fit();
  h->samples.push_back(std::move(s));
  while (h->samples.size() > h->capacity) {
    for (const VTR_HistPoint &p : h->samples.front().points) UnrefDisk(h, p.disk);
    h->samples.pop_front();
  }
  h->prev = *metrics;
  h->prevMonotonic = monotonic;
  return true;
}

bool VTR_ParseHistoryQuery(const std::string &query, VTR_HistoryQuery *out) {
  *out = VTR_HistoryQuery{-INFINITY, {}, false};
  for (size_t pos = 0; pos < query.size();) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string part = query.substr(pos, amp - pos);
    pos = amp + 1;
    size_t eq = part.find('=');
    if (eq == std::string::npos) continue;
    std::string key = part.substr(0, eq), value = part.substr(eq + 1);
    char *end = nullptr;
    if (key == "since") {
      double v = strtod(value.c_str(), &end);
      if (value.empty() || *end || !isfinite(v)) return false;
      out->since = v;
    } else if (key == "disks") {
      if (value != "none") return false;
      out->noDisks = true;
    } else if (key == "worldGroupId") {
      long long v = strtoll(value.c_str(), &end, 10);
      if (value.empty() || *end || v < INT32_MIN || v > UINT32_MAX) return false;
      out->worldGroupIds.push_back((uint32_t)v);  // signed spelling as in the daemon's documents
    }
  }
  return true;
}

std::string VTR_HistoryJson(const VTR_History &h, const VTR_HistoryQuery &q) {
  std::string out;
  char buf[96];
  int n =
      snprintf(buf, sizeof buf, "{\"intervalSeconds\":%.10g,\"historySeconds\":%.10g,\"samples\":[",
               h.intervalSeconds, h.intervalSeconds * (double)h.capacity);
  out.append(buf, (size_t)n);
  bool firstSample = true;
  for (const VTR_HistSample &s : h.samples) {
    if (!(s.time > q.since)) continue;
    n = snprintf(buf, sizeof buf, "%s{\"time\":%.3f,\"totals\":{", firstSample ? "" : ",", s.time);
    out.append(buf, (size_t)n);
    firstSample = false;
    for (int t = 0; t < 4; t++) {
      n = snprintf(buf, sizeof buf, "%s\"%s\":%.7g", t ? "," : "", TOTAL_KEYS[t],
                   (double)s.totals[t]);
      out.append(buf, (size_t)n);
    }
    out += "},\"disks\":[";
    bool firstDisk = true;
    for (const VTR_HistPoint &p : s.points) {
      if (q.noDisks) break;
      const VTR_HistDisk &d = h.disks[p.disk];
      if (!q.worldGroupIds.empty()) {
        bool wanted = false;
        for (uint32_t wg : q.worldGroupIds) wanted |= wg == d.worldGroupId;
        if (!wanted) continue;
      }
      out += firstDisk ? "{\"vm\":" : ",{\"vm\":";
      firstDisk = false;
      AppendString(&out, d.vm);
      n = snprintf(buf, sizeof buf, ",\"worldGroupId\":%d,\"disk\":", (int)(int32_t)d.worldGroupId);
      out.append(buf, (size_t)n);
      AppendString(&out, d.name);
      for (int v = 0; v < VTR_HIST_VALUES; v++) AppendNumber(&out, POINT_KEYS[v], p.v[v]);
      AppendNumber(&out, "changedBytes5m", p.changedBytes5m);
      out += '}';
    }
    out += "]}";
  }
  out += "]}";
  return out;
}

/* ==== The sampler thread ==== */

namespace {

std::mutex samplerMutex;  // guards everything below
std::condition_variable samplerWake;
VTR_History samplerHistory{};
bool samplerRunning = false;
bool samplerStop = false;
std::thread samplerThread;

double ClockSeconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Queries on a fixed schedule; a query that overruns its tick moves the
// schedule on rather than firing the missed ticks at once.
void SamplerLoop(std::string socketPath, int intervalSeconds, int timeoutMs) {
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    double wall = ClockSeconds(CLOCK_REALTIME), mono = VTR_MonotonicSeconds();
    VTR_Scrape s{};
    std::string error;
    VTR_ScrapeDaemon(socketPath.c_str(), timeoutMs, &s, &error);
    {
      std::unique_lock<std::mutex> lock(samplerMutex);
      VTR_HistoryAdd(&samplerHistory, s.metricsOk ? &s.metrics : nullptr,
                     s.changeRate == 1 ? &s.rates : nullptr, wall, mono);
      next += std::chrono::seconds(intervalSeconds);
      auto now = std::chrono::steady_clock::now();
      while (next <= now) next += std::chrono::seconds(intervalSeconds);
      if (samplerWake.wait_until(lock, next, [] { return samplerStop; })) return;
    }
  }
}

}  // namespace

double VTR_MonotonicSeconds() { return ClockSeconds(CLOCK_MONOTONIC); }

void VTR_HistoryStart(const char *socketPath, int intervalSeconds, int historySeconds,
                      int timeoutMs) {
  std::lock_guard<std::mutex> lock(samplerMutex);
  if (samplerRunning) return;
  VTR_HistoryInit(&samplerHistory, intervalSeconds, historySeconds);
  samplerStop = false;
  samplerRunning = true;
  // A sample that takes longer than its interval is a gap anyway; bounding
  // the query by the interval also bounds how long VTR_HistoryStop waits.
  int queryMs = timeoutMs < intervalSeconds * 1000 ? timeoutMs : intervalSeconds * 1000;
  samplerThread = std::thread(SamplerLoop, std::string(socketPath), intervalSeconds, queryMs);
}

void VTR_HistoryStop() {
  {
    std::lock_guard<std::mutex> lock(samplerMutex);
    if (!samplerRunning) return;
    samplerStop = true;
  }
  samplerWake.notify_all();
  samplerThread.join();
  std::lock_guard<std::mutex> lock(samplerMutex);
  samplerRunning = false;
  VTR_HistoryInit(&samplerHistory, 0, 0);
}

std::string VTR_HistoryResponseBody(const VTR_HistoryQuery &q) {
  std::lock_guard<std::mutex> lock(samplerMutex);
  return VTR_HistoryJson(samplerHistory, q);
}
