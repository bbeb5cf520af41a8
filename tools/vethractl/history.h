// The exporter's history: a sampler thread queries the daemon every few
// seconds, turns the counter deltas of each interval into per-disk rates and
// latency percentiles, and keeps the last minutes of them in a ring that
// GET /api/v1/history returns.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "vethractl.h"

constexpr const char *VTR_HISTORY_API_PATH = "/api/v1/history";
constexpr int VTR_HISTORY_MIN_INTERVAL = 1;
constexpr int VTR_HISTORY_MAX_INTERVAL = 60;

// The values of one disk over one interval, in this order.
enum {
  VTR_HIST_READ_IOPS,
  VTR_HIST_WRITE_IOPS,
  VTR_HIST_READ_BPS,
  VTR_HIST_WRITE_BPS,
  VTR_HIST_SEQ_SHARE,  // 0..1 of the interval's I/Os; NaN without I/O
  VTR_HIST_READ_P50,   // seconds; NaN without reads
  VTR_HIST_READ_P99,
  VTR_HIST_WRITE_P50,  // seconds; NaN without writes
  VTR_HIST_WRITE_P99,
  VTR_HIST_VALUES
};

// A disk as the samples name it. Names are kept once, however many samples
// refer to the disk; `refs` counts those samples.
struct VTR_HistDisk {
  uint32_t worldGroupId;
  std::string vm;
  std::string name;
  size_t refs;
};

struct VTR_HistPoint {
  uint32_t disk;             // index into VTR_History::disks
  float v[VTR_HIST_VALUES];  // NaN: unknown
  double changedBytes5m;     // NaN: not estimated
};

struct VTR_HistSample {
  double time;      // Unix seconds at which the daemon was queried
  float totals[4];  // read and write IOPS, read and write bytes/s of the host
  std::vector<VTR_HistPoint> points;
};

struct VTR_History {
  double intervalSeconds;
  size_t capacity;                     // samples kept
  std::deque<VTR_HistSample> samples;  // oldest first
  std::vector<VTR_HistDisk> disks;     // slots with refs == 0 are free
  std::vector<uint32_t> freeDisks;
  std::unordered_map<std::string, uint32_t> diskIndex;  // "wgid/name" -> slot
  // The last sample of the daemon, the base of the next interval.
  bool havePrev;
  double prevMonotonic;
  VTR_Doc prev;
};

// Empties *h and sets its interval and how much it keeps (at least one sample).
void VTR_HistoryInit(VTR_History *h, double intervalSeconds, double historySeconds);

// Adds the sample of the daemon taken at `unixTime` (wall clock) and
// `monotonic` seconds. metrics is null when the query failed: the next
// sample then has no base, and the failure is a gap. rates is the change-rate
// document, or null. The interval to the previous sample must hold at least
// one second of the daemon's own time stamps; a sample closer than that is
// dropped and the base kept. A disk that is new, or whose counters went back
// (the daemon restarted, or the disk was removed and added again), has no
// point in this sample. Returns true when a sample was added.
bool VTR_HistoryAdd(VTR_History *h, const VTR_Doc *metrics, const VTR_Doc *rates, double unixTime,
                    double monotonic);

// What GET /api/v1/history asked for.
struct VTR_HistoryQuery {
  double since;                         // samples with a later time; -inf for all
  std::vector<uint32_t> worldGroupIds;  // only these VMs' disks; empty: every disk
  bool noDisks;                         // host totals only ("disks=none")
};
// Parses the query string ("since=T&worldGroupId=N&worldGroupId=M",
// "disks=none"); false when a value is not a number.
bool VTR_ParseHistoryQuery(const std::string &query, VTR_HistoryQuery *out);

// The endpoint's JSON body.
std::string VTR_HistoryJson(const VTR_History &h, const VTR_HistoryQuery &q);

// Seconds on the monotonic clock: the time base of the samples' rates.
double VTR_MonotonicSeconds();

// The sampler thread of the exporter, and the ring it fills. Each query
// waits at most timeoutMs, and never longer than one interval.
void VTR_HistoryStart(const char *socketPath, int intervalSeconds, int historySeconds,
                      int timeoutMs);
void VTR_HistoryStop();
// The JSON body for the running sampler (an empty history when none runs).
std::string VTR_HistoryResponseBody(const VTR_HistoryQuery &q);
