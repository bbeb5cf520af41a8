// Status texts, bounded formatting, the interface signature check, node
// names, per-node call counters and fault injection, and the trace clock.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "internal.h"

namespace hostsim {

// ---- node names -------------------------------------------------------------
namespace {
const char *const kNodeNames[N_COUNT] = {
    nullptr,
    "vm",
    "vm_cartelID",
    "vm_vmmGroupInfo",
    "world_info",
    "worldGroups_hasVmm",
    "worldGroups_vmmLeaderID",
    "worldGroups_vscsi",
    "worldGroups_vscsi_name",
    "worldGroups_vscsi_stats_startVethraTrace",
    "worldGroups_vscsi_stats_stopVethraTrace",
    "perf_vethra_handles",
    "perf_vethra_handles_handleInfo",
    "perf_vethra_monitoredDiskCount",
    "perf_vethra_command_clearLogChannel",
    "perf_vethra_command_resetStartTimestamp",
    "perf_logChannel_data",
    "paramListCreate",
};

std::atomic<uint64_t> g_calls[N_COUNT];

struct Fault {
  TARN_Status status = 0;
  int64_t remaining = 0;  // -1 = forever
};
std::mutex g_faultMutex;
Fault g_faults[N_COUNT];
std::atomic<int> g_faultsArmed{0};  // fast path: no fault pending anywhere

// One hold at a time: the next call on `node` blocks until released.
struct Hold {
  int node = 0;       // armed for this node; 0: none
  bool held = false;  // a call is blocked in holdCall
};
std::mutex g_holdMutex;
std::condition_variable g_holdChanged;
Hold g_hold;
std::atomic<bool> g_holdArmed{false};  // fast path: no hold armed

// Blocks the calling thread while a hold armed for `node` is in force.
void holdCall(int node) {
  if (!g_holdArmed.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lock(g_holdMutex);
  if (g_hold.node != node || g_hold.held) return;
  g_hold.held = true;
  g_holdChanged.notify_all();
  g_holdChanged.wait(lock, [] { return !g_hold.held; });
}
}  // namespace

void armHold(int node) {
  std::lock_guard<std::mutex> lock(g_holdMutex);
  g_hold = Hold{node, false};
  g_holdArmed.store(true, std::memory_order_release);
}

void releaseHold() {
  std::lock_guard<std::mutex> lock(g_holdMutex);
  g_hold = Hold{};
  g_holdArmed.store(false, std::memory_order_release);
  g_holdChanged.notify_all();
}

bool awaitHeld(int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(g_holdMutex);
  return g_holdChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return g_hold.held; });
}

const char *nodeName(int node) { return node > 0 && node < N_COUNT ? kNodeNames[node] : nullptr; }

int nodeByName(const std::string &name) {
  std::string n = name;
  if (n.rfind("TARN_NODE_", 0) == 0) n = n.substr(10);
  for (int i = 1; i < N_COUNT; i++)
    if (n == kNodeNames[i]) return i;
  return 0;
}

void countCall(int node) {
  if (node > 0 && node < N_COUNT) g_calls[node].fetch_add(1, std::memory_order_relaxed);
}

TARN_Status takeFault(int node) {
  holdCall(node);
  if (g_faultsArmed.load(std::memory_order_acquire) == 0) return ST_OK;
  if (node <= 0 || node >= N_COUNT) return ST_OK;
  std::lock_guard<std::mutex> lock(g_faultMutex);
  Fault &f = g_faults[node];
  if (f.remaining == 0) return ST_OK;
  if (f.remaining > 0 && --f.remaining == 0) g_faultsArmed.fetch_sub(1);
  return f.status;
}

void setFault(int node, TARN_Status status, int64_t count) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  Fault &f = g_faults[node];
  bool was = f.remaining != 0;
  if (count < -1) count = -1;
  f.status = status;
  f.remaining = count;
  bool now = f.remaining != 0;
  if (was && !now) g_faultsArmed.fetch_sub(1);
  if (!was && now) g_faultsArmed.fetch_add(1);
}

void clearFaults() {
  {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    for (Fault &f : g_faults) f = Fault{};
    g_faultsArmed.store(0);
  }
  releaseHold();
}

void resetCallCounts() {
  for (auto &c : g_calls) c.store(0);
}

json_t *callCountsJson() {
  json_t *o = json_object();
  for (int i = 1; i < N_COUNT; i++)
    json_object_set_new(o, kNodeNames[i], json_integer((json_int_t)g_calls[i].load()));
  return o;
}

json_t *faultsJson() {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  json_t *o = json_object();
  for (int i = 1; i < N_COUNT; i++) {
    if (g_faults[i].remaining == 0) continue;
    json_object_set_new(o, kNodeNames[i],
                        json_pack("{s:I,s:I}", "status", (json_int_t)g_faults[i].status, "count",
                                  (json_int_t)g_faults[i].remaining));
  }
  return o;
}

// ---- trace clock ---------------------------------------------------------------
namespace {
uint64_t monotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}
std::atomic<uint64_t> g_clockOrigin{monotonicUs()};
}  // namespace

uint64_t traceClockUs() {
  uint64_t now = monotonicUs(), origin = g_clockOrigin.load(std::memory_order_relaxed);
  return now > origin ? now - origin : 0;
}
void resetTraceClock() { g_clockOrigin.store(monotonicUs()); }

// ---- status texts ------------------------------------------------------------------
namespace {
std::mutex g_internMutex;
std::set<std::string> *g_interned = new std::set<std::string>;  // never freed: stable pointers

const char *intern(const std::string &s) {
  std::lock_guard<std::mutex> lock(g_internMutex);
  return g_interned->insert(s).first->c_str();
}
}  // namespace

}  // namespace hostsim

using namespace hostsim;

extern "C" {

const uint16_t TARN_NODE_vm = N_vm;
const uint16_t TARN_NODE_vm_cartelID = N_vm_cartelID;
const uint16_t TARN_NODE_vm_vmmGroupInfo = N_vm_vmmGroupInfo;
const uint16_t TARN_NODE_world_info = N_world_info;
const uint16_t TARN_NODE_worldGroups_hasVmm = N_worldGroups_hasVmm;
const uint16_t TARN_NODE_worldGroups_vmmLeaderID = N_worldGroups_vmmLeaderID;
const uint16_t TARN_NODE_worldGroups_vscsi = N_worldGroups_vscsi;
const uint16_t TARN_NODE_worldGroups_vscsi_name = N_worldGroups_vscsi_name;
const uint16_t TARN_NODE_worldGroups_vscsi_stats_startVethraTrace =
    N_worldGroups_vscsi_stats_startVethraTrace;
const uint16_t TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace =
    N_worldGroups_vscsi_stats_stopVethraTrace;
const uint16_t TARN_NODE_perf_vethra_handles = N_perf_vethra_handles;
const uint16_t TARN_NODE_perf_vethra_handles_handleInfo = N_perf_vethra_handles_handleInfo;
const uint16_t TARN_NODE_perf_vethra_monitoredDiskCount = N_perf_vethra_monitoredDiskCount;
const uint16_t TARN_NODE_perf_vethra_command_clearLogChannel =
    N_perf_vethra_command_clearLogChannel;
const uint16_t TARN_NODE_perf_vethra_command_resetStartTimestamp =
    N_perf_vethra_command_resetStartTimestamp;
const uint16_t TARN_NODE_perf_logChannel_data = N_perf_logChannel_data;

const char *BREL_ReturnStatusToString(uint32_t status) {
  switch (status) {
    case 0:
      return "Success";
    case 0xBAD0001:
      return "Failure";
    case 0xBAD0006:
      return "Limit exceeded";
    case 0xBAD0014:
      return "Out of memory";
    case 0xBAD0026:
      return "Bad parameter";
    case 0xBAD0062:
      return "Not found";
    case 0xBAD0094:
      return "Not supported";
    default:
      break;
  }
  char buf[160];
  if (status > 0x2BAD0000u && status < 0x2BAD0000u + 4096u) {
    int err = (int)(status - 0x2BAD0000u);
    char tmp[128];
    // GNU strerror_r returns the text pointer (possibly not tmp).
    const char *text = strerror_r(err, tmp, sizeof tmp);
    return intern(text);
  }
  snprintf(buf, sizeof buf, "Unknown status 0x%x", status);
  return intern(buf);
}

int Str_Sprintf(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

int TARN_CheckSig(char *buf, int bufSize, const char **ownDate) {
  static const char kOwnDate[] = "Jan 01 2025 00:00:00";  // this library's build date (20 chars)
  ensureStarted();
  std::string date;
  {
    std::lock_guard<std::mutex> lock(hostMutex);
    if (host->signatureMatches) return 0;
    date = host->hostBuildDate;
  }
  if (buf && bufSize > 0) {
    size_t n = date.size() < (size_t)bufSize - 1 ? date.size() : (size_t)bufSize - 1;
    memcpy(buf, date.data(), n);
    buf[n] = '\0';
  }
  if (ownDate) *ownDate = kOwnDate;
  return 1;
}

}  // extern "C"
