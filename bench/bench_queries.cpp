// Per-request times for a host with 2000 monitored disks (100 VMs x 20 disks)
// on the simulated host: the daemon's metrics query and change-rate query
// (HyperLogLog and Sliding HyperLogLog) answered over a socketpair, and the
// exporter's work on the replies: parsing, the /metrics text (both formats),
// the /api/v1/metrics body, and each page's whole in-process chain.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "dashboard.h"
#include "hostsim.h"
#include "interface/requests.h"
#include "registry/registry.h"
#include "trace/tracing.h"
#include "vethra_client.h"
#include "vethractl.h"

namespace {

constexpr int kVms = 100;
constexpr int kDisksPerVm = 20;
constexpr uint32_t kWorldGroupBase = 80000;
constexpr uint64_t kHandleBase = 9000;
// Distinct blocks written per disk within the last hour in sliding mode
// (about two minutes of the browser benchmark's 5 I/Os per second per disk).
constexpr uint64_t kBlocksPerDisk = 1000;

enum Mode { kNoChangeRate, kHll, kSliding };

void QuietLog(int, const char *) {}

// The clock while the disks are set up: an hour ago, moving forward.
std::atomic<long> setupSeconds{0};
void SetupClock(struct timeval *now) { *now = {setupSeconds.load(), 0}; }

std::string HostJson() {
  std::string vms;
  for (int v = 0; v < kVms; v++) {
    std::string disks;
    for (int d = 0; d < kDisksPerVm; d++) {
      char disk[96];
      snprintf(disk, sizeof disk, "%s{\"handleId\":%lu,\"name\":\"scsi%d:%d\"}", d ? "," : "",
               static_cast<unsigned long>(kHandleBase + d), d >> 4, d & 15);
      disks += disk;
    }
    char vm[256];
    snprintf(vm, sizeof vm,
             "%s{\"worldGroupId\":%u,\"displayName\":\"vm-%03d\","
             "\"uuid\":\"42 00 00 00 00 00 %02x %02x-00 00 00 00 00 00 00 01\",\"disks\":[",
             v ? "," : "", kWorldGroupBase + v, v, v >> 8, v & 255);
    vms += vm + disks + "]}";
  }
  return "{\"vms\":[" + vms + "]}";
}

// Traces every VM of the simulated host with the estimator of `mode`, with
// counters of realistic widths and, in sliding mode, kBlocksPerDisk blocks
// written over the last hour. Rebuilt only when the mode changes.
bool EnsureHost(Mode mode) {
  static int current = -1;
  static bool registryReady = [] {
    VTR_StartupConfig().logLevel = 3;
    VTR_SetLogHook(QuietLog);
    return VTR_InitHashTblAndList() == 0;
  }();
  if (!registryReady) return false;
  if (current == mode) return true;
  RegistryGuard guard;
  hostsim_configure("{\"vms\":[]}", nullptr);
  while (!VTR_VMListEmpty()) VTR_RemoveInvalidVM(VTR_VMListHeadNode()->next);
  VTR_StartupConfig().changeRateEnabled = mode != kNoChangeRate;
  VTR_StartupConfig().slidingHllEnabled = mode == kSliding;
  static const std::string host = HostJson();
  if (hostsim_configure(host.c_str(), nullptr) != 0) return false;
  std::mt19937_64 rng(7);
  struct timeval now;
  VTR_GetTime(&now);
  setupSeconds = now.tv_sec - 3599;
  VTR_SetClock(SetupClock);
  for (int v = 0; v < kVms; v++) {
    if (VTR_EnableVMTrace(kWorldGroupBase + v) != VTR_OK) return false;
    for (int d = 0; d < kDisksPerVm; d++) {
      auto *entry = VTR_FindDiskEntry(VTR_GetDiskKey(kWorldGroupBase + v, kHandleBase + d));
      if (entry == nullptr) return false;
      for (uint64_t &c : entry->counters.ioCounters) c = rng() >> (rng() % 64);
      if (mode != kSliding) continue;
      for (uint64_t b = 0; b < kBlocksPerDisk; b++) {
        setupSeconds = now.tv_sec - 3599 + static_cast<long>(b * 3599 / kBlocksPerDisk);
        VTR_AddChangeRate((rng() % (1ULL << 30)) * 8, 4096, &entry->changeRate, true);
      }
      setupSeconds = now.tv_sec - 3599;
    }
  }
  VTR_SetClock(nullptr);
  current = mode;
  return true;
}

// Runs a request handler on one end of a socketpair and returns the reply.
std::string Query(VTR_Status (*handler)(int fd)) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return std::string();
  std::thread server([&] { handler(sv[1]); });
  uint32_t code = 0;
  std::string body;
  vtrc_recv_reply(sv[0], &code, &body, 10000);
  server.join();
  close(sv[0]);
  close(sv[1]);
  return body;
}

void Setup(benchmark::State &state, Mode mode) {
  if (!EnsureHost(mode)) state.SkipWithError("cannot set up the simulated host");
}

void BM_DaemonMetricsQuery(benchmark::State &state) {
  Setup(state, kNoChangeRate);
  size_t bytes = 0;
  for (auto _ : state) bytes = Query(VTR_QueryMetrics).size();
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DaemonMetricsQuery)->Unit(benchmark::kMillisecond);

// arg 0: HyperLogLog (-c), arg 1: Sliding HyperLogLog (-s).
void BM_DaemonChangeRateQuery(benchmark::State &state) {
  Setup(state, state.range(0) ? kSliding : kHll);
  size_t bytes = 0;
  for (auto _ : state) bytes = Query(VTR_QueryChangeRate).size();
  state.counters["reply_bytes"] = static_cast<double>(bytes);
  state.SetLabel(state.range(0) ? "-s" : "-c");
}
BENCHMARK(BM_DaemonChangeRateQuery)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The daemon's two replies, as the exporter receives them.
struct Replies {
  std::string metrics, rates;
};
const Replies &DaemonReplies(benchmark::State &state) {
  static Replies replies;
  if (replies.metrics.empty()) {
    Setup(state, kHll);
    replies = {Query(VTR_QueryMetrics), Query(VTR_QueryChangeRate)};
  }
  return replies;
}

void BM_ExporterParseMetrics(benchmark::State &state) {
  const Replies &r = DaemonReplies(state);
  for (auto _ : state) {
    VTR_Doc doc;
    std::string err;
    benchmark::DoNotOptimize(VTR_ParseMetricsDoc(r.metrics, &doc, &err));
  }
}
BENCHMARK(BM_ExporterParseMetrics)->Unit(benchmark::kMillisecond);

// arg 1: OpenMetrics, arg 0: text format 0.0.4.
void BM_ExporterRenderExposition(benchmark::State &state) {
  const Replies &r = DaemonReplies(state);
  VTR_Scrape s{};
  std::string err;
  s.metricsOk = VTR_ParseMetricsDoc(r.metrics, &s.metrics, &err) == 0;
  s.changeRate = VTR_ParseChangeRateDoc(r.rates, &s.rates, &err) == 0 ? 1 : -1;
  s.durationSeconds = 0.0123;
  size_t bytes = 0;
  for (auto _ : state) bytes = VTR_RenderExposition(s, state.range(0) != 0).size();
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ExporterRenderExposition)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The /api/v1/metrics body, with an earlier sample to take rates against.
void BM_ExporterApiBody(benchmark::State &state) {
  const Replies &r = DaemonReplies(state);
  VTR_DashReply reply{0, 0, r.metrics, 0, 0, r.rates};
  VTR_DashHistory history;
  double now = 1000;
  VTR_DashboardApiBody(reply, now, &history, "/bench.uds");
  size_t bytes = 0;
  for (auto _ : state) bytes = VTR_DashboardApiBody(reply, now += 2, &history, "/bench.uds").size();
  state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ExporterApiBody)->Unit(benchmark::kMillisecond);

// A whole /metrics request as the exporter makes it, less HTTP: both queries
// (over socketpairs rather than the daemon's socket), parsing and rendering.
// arg: the daemon's estimator, 0 for -c, 1 for -s.
void BM_PageMetrics(benchmark::State &state) {
  Setup(state, state.range(0) ? kSliding : kHll);
  size_t bytes = 0;
  for (auto _ : state) {
    VTR_Scrape s{};
    std::string err;
    s.metricsOk = VTR_ParseMetricsDoc(Query(VTR_QueryMetrics), &s.metrics, &err) == 0;
    s.changeRate = VTR_ParseChangeRateDoc(Query(VTR_QueryChangeRate), &s.rates, &err) == 0 ? 1 : -1;
    bytes = VTR_RenderExposition(s, false).size();
  }
  state.counters["text_bytes"] = static_cast<double>(bytes);
  state.SetLabel(state.range(0) ? "-s" : "-c");
}
BENCHMARK(BM_PageMetrics)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A whole /api/v1/metrics request, less HTTP. arg as above.
void BM_PageApi(benchmark::State &state) {
  Setup(state, state.range(0) ? kSliding : kHll);
  VTR_DashHistory history;
  double now = 1000;
  size_t bytes = 0;
  for (auto _ : state) {
    VTR_DashReply reply{0, 0, Query(VTR_QueryMetrics), 0, 0, Query(VTR_QueryChangeRate)};
    bytes = VTR_DashboardApiBody(reply, now += 2, &history, "/bench.uds").size();
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
  state.SetLabel(state.range(0) ? "-s" : "-c");
}
BENCHMARK(BM_PageApi)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
