// Change-rate estimator speed and memory: HyperLogLog feeding, sliding feeding
// against HyperLogLog feeding on the same writes, the change-rate query's
// three sliding windows per disk (busy, light, nearly idle and idle disks),
// the sliding estimator's resident memory per disk, and the HyperLogLog
// period end with 2000 disks.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "changerate/changerate.h"
#include "registry/registry.h"

namespace {

std::atomic<long> benchSeconds{1700000000};
void BenchClock(struct timeval *now) {
  now->tv_sec = benchSeconds.load(std::memory_order_relaxed);
  now->tv_usec = 0;
}
void QuietLog(int, const char *) {}

// Distinct pseudo-random block-aligned sectors.
inline uint64_t Sector(uint64_t i) {
  return ((i * 0x9E3779B97F4A7C15ULL) & ((1ULL << 40) - 1)) * 8;
}

void BM_HllAdd(benchmark::State &state) {
  const uint32_t length = static_cast<uint32_t>(state.range(0)) * 4096;
  VTR_CR_Metric slot{};
  VTR_InitChangeRate(&slot, false);
  uint64_t i = 0;
  for (auto _ : state) {
    VTR_AddChangeRate(Sector(i++), length, &slot, false);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  VTR_DestroyChangeRate(&slot, false);
}
BENCHMARK(BM_HllAdd)->Arg(1)->Arg(16)->Arg(256);

// Sliding feeding on the real clock, as in the daemon (one clock read and one
// lock per write); the window of distinct blocks wraps around 1,000,000.
void BM_SHllAdd(benchmark::State &state) {
  const uint32_t length = static_cast<uint32_t>(state.range(0)) * 4096;
  VTR_SetLogHook(QuietLog);
  VTR_CR_Metric slot{};
  VTR_InitChangeRate(&slot, true);
  const uint64_t writes = 1000000 / static_cast<uint64_t>(state.range(0));
  uint64_t i = 0;
  for (auto _ : state) {
    VTR_AddChangeRate(Sector(i), length, &slot, true);
    if (++i == writes) i = 0;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["bytes"] = static_cast<double>(VTR_SHllMemoryBytes(slot.shll));
  VTR_DestroyChangeRate(&slot, true);
}
BENCHMARK(BM_SHllAdd)->Arg(1)->Arg(16)->Arg(256);

// A fresh disk fed arg0 distinct blocks one at a time, with arg1 occupied
// registers allowed in the sparse form (the default is 1024): the cost of
// inserting into the sorted sparse array, and of the move to the dense table,
// per block. Creating and releasing the estimator is included.
void BM_SHllFill(benchmark::State &state) {
  VTR_SetLogHook(QuietLog);
  const uint64_t blocks = static_cast<uint64_t>(state.range(0));
  uint64_t bytes = 0;
  for (auto _ : state) {
    VTR_CR_Metric slot{};
    VTR_InitChangeRate(&slot, true);
    VTR_SHllSetDenseLimit(slot.shll, static_cast<uint32_t>(state.range(1)));
    for (uint64_t i = 0; i < blocks; ++i) VTR_AddChangeRate(Sector(i), 4096, &slot, true);
    bytes = VTR_SHllMemoryBytes(slot.shll);
    VTR_DestroyChangeRate(&slot, true);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * blocks));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SHllFill)
    ->ArgsProduct({{1000, 4000}, {512, 1024, 2048, 4096}})
    ->ArgNames({"blocks", "limit"})
    ->Unit(benchmark::kMicrosecond);

// One disk's part of the change-rate query: the windows 300, 900 and 3600 s
// over arg0 distinct blocks written in the last hour (0: an idle disk, never
// written or pruned empty), as three single estimates (arg1 = 0) or one
// combined call (arg1 = 1). Everything is younger than an hour: no pruning.
void BM_SHllQueryWindows(benchmark::State &state) {
  VTR_SetLogHook(QuietLog);
  VTR_SetClock(BenchClock);
  const long start = benchSeconds.load();
  VTR_CR_Metric slot{};
  VTR_InitChangeRate(&slot, true);
  state.counters["idle_bytes"] = static_cast<double>(VTR_SHllMemoryBytes(slot.shll));
  const uint64_t blocks = static_cast<uint64_t>(state.range(0));
  for (uint64_t i = 0; i < blocks; ++i) {
    benchSeconds = start + static_cast<long>(i * 3599 / blocks);
    VTR_AddChangeRate(Sector(i), 4096, &slot, true);
  }
  static const uint16_t kWindows[] = {300, 900, 3600};
  uint64_t e[3] = {};
  for (auto _ : state) {
    if (state.range(1) != 0) {
      VTR_SHllEstimateWindows(slot.shll, kWindows, 3, e);
    } else {
      for (int w = 0; w < 3; ++w) e[w] = VTR_SHllEstimate(slot.shll, kWindows[w]);
    }
    benchmark::DoNotOptimize(e);
  }
  state.counters["est300"] = static_cast<double>(e[0]);
  state.counters["est900"] = static_cast<double>(e[1]);
  state.counters["est3600"] = static_cast<double>(e[2]);
  state.counters["bytes"] = static_cast<double>(VTR_SHllMemoryBytes(slot.shll));
  state.SetLabel(state.range(1) ? "one combined call" : "three single calls");
  VTR_DestroyChangeRate(&slot, true);
  VTR_SetClock(nullptr);
  benchSeconds = start;
}
BENCHMARK(BM_SHllQueryWindows)
    ->ArgsProduct({{1000000, 30000, 1000, 0}, {0, 1}})
    ->ArgNames({"blocks", "combined"})
    ->Unit(benchmark::kMicrosecond);

using Steady = std::chrono::steady_clock;

double Since(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

// CPU seconds of the calling thread: figures that the other load on a shared
// machine does not inflate.
double ThreadSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Sliding against HyperLogLog feeding, both on the real clock, on the same
// writes of arg1 blocks: random (arg0 = 0) over 1,000,000 distinct blocks, or
// sequential (arg0 = 1) through them. The sliding estimator is fed as the
// Consumer feeds it, a batch's writes to one disk per call (arg2 = 500, the
// Consumer's batch), or one write per call (arg2 = 1, which pays the lock and
// the clock reading per write). Each iteration writes the million blocks once
// into each estimator; the figures are blocks per CPU second of each and the
// sliding add's CPU time per block over the HyperLogLog add's.
void BM_AddSlidingVsPlain(benchmark::State &state) {
  VTR_SetLogHook(QuietLog);
  const bool sequential = state.range(0) != 0;
  const uint32_t blocks = static_cast<uint32_t>(state.range(1));
  const size_t batch = static_cast<size_t>(state.range(2));
  const uint64_t writes = 1000000 / blocks;
  std::vector<VTR_BlockWrite> sectors(writes);
  for (uint64_t i = 0; i < writes; ++i)
    sectors[i] = {sequential ? i * blocks * 8 : Sector(i) * blocks, blocks * 4096};
  VTR_CR_Metric plain{}, sliding{};
  VTR_InitChangeRate(&plain, false);
  VTR_InitChangeRate(&sliding, true);
  VTR_SHllAddWrites(sliding.shll, sectors.data(), writes);  // dense from the start
  double slidingSecs = 0, plainSecs = 0;
  for (auto _ : state) {
    double start = ThreadSeconds();
    for (size_t i = 0; i < sectors.size(); i += batch)
      VTR_SHllAddWrites(sliding.shll, &sectors[i], std::min(batch, sectors.size() - i));
    slidingSecs += ThreadSeconds() - start;
    start = ThreadSeconds();
    for (const VTR_BlockWrite &w : sectors) VTR_AddChangeRate(w.sector, w.length, &plain, false);
    benchmark::ClobberMemory();
    plainSecs += ThreadSeconds() - start;
    state.SetIterationTime(slidingSecs);
  }
  const double total =
      static_cast<double>(state.iterations()) * static_cast<double>(writes * blocks);
  state.counters["sliding_blocks/s"] = total / slidingSecs;
  state.counters["hll_blocks/s"] = total / plainSecs;
  state.counters["sliding/hll"] = slidingSecs / plainSecs;
  state.SetLabel(sequential ? "sequential" : "random");
  VTR_DestroyChangeRate(&plain, false);
  VTR_DestroyChangeRate(&sliding, true);
}
BENCHMARK(BM_AddSlidingVsPlain)
    ->ArgsProduct({{0, 1}, {1, 8, 64, 256}, {500}})
    ->Args({0, 1, 1})
    ->Args({1, 1, 1})
    ->ArgNames({"seq", "blocks", "batch"})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

// Resident set growth per disk: 100 sliding estimators (10000 idle ones), each fed arg0
// distinct blocks spread evenly over the last hour (0: idle, never written),
// then queried once for the three windows. A second phase (arg1 = 1) keeps
// writing the same blocks for another simulated hour, querying every 5
// minutes, and reports the growth over that hour. Each case runs in a child
// process of its own, so that memory freed by earlier cases, which the
// allocator keeps, cannot hide the growth.
void BM_SHllResident(benchmark::State &state) {
  const uint64_t blocks = static_cast<uint64_t>(state.range(0));
  const int kDisks =
      blocks == 0 ? 10000
                  : 100;  // idle ones are small: more of them for a figure not in whole pages
  const bool secondHour = state.range(1) != 0;
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    pid_t child = fork();
    if (child == 0) {
      VTR_SetLogHook(QuietLog);
      VTR_SetClock(BenchClock);
      const long start = benchSeconds.load();
      static const uint16_t kWindows[] = {300, 900, 3600};
      std::vector<VTR_CR_Metric> slots(kDisks);
      double figures[4] = {};
      ResidentBytes();  // its own buffers are in place before the first figure
      const long before = ResidentBytes();
      for (VTR_CR_Metric &slot : slots) VTR_InitChangeRate(&slot, true);
      auto feedHour = [&](long from) {
        uint64_t e[3];
        long lastQuery = from;
        for (uint64_t i = 0; i < blocks; ++i) {
          benchSeconds = from + static_cast<long>(i * 3600 / blocks);
          for (VTR_CR_Metric &slot : slots) VTR_AddChangeRate(Sector(i), 4096, &slot, true);
          if (secondHour && benchSeconds - lastQuery >= 300) {
            lastQuery = benchSeconds;
            for (VTR_CR_Metric &slot : slots) VTR_SHllEstimateWindows(slot.shll, kWindows, 3, e);
          }
        }
        benchSeconds = from + 3599;
        for (VTR_CR_Metric &slot : slots) VTR_SHllEstimateWindows(slot.shll, kWindows, 3, e);
      };
      feedHour(start);
      const long filled = ResidentBytes();
      figures[0] = static_cast<double>(filled - before) / kDisks;
      figures[1] = static_cast<double>(VTR_SHllMemoryBytes(slots[0].shll));
      if (secondHour) {
        feedHour(start + 3600);
        figures[2] = static_cast<double>(ResidentBytes() - filled) / kDisks;
        figures[3] = static_cast<double>(VTR_SHllMemoryBytes(slots[0].shll));
      }
      _exit(write(fds[1], figures, sizeof figures) == sizeof figures ? 0 : 1);
    }
    close(fds[1]);
    double figures[4] = {};
    const bool received = child > 0 && read(fds[0], figures, sizeof figures) == sizeof figures;
    close(fds[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    if (!received) {
      state.SkipWithError("the measuring child failed");
      return;
    }
    state.counters["rss_bytes/disk"] = figures[0];
    state.counters["heap_bytes/disk"] = figures[1];
    if (secondHour) state.counters["rss_growth_2nd_hour/disk"] = figures[2];
    if (secondHour) state.counters["heap_bytes_2nd_hour/disk"] = figures[3];
  }
}
BENCHMARK(BM_SHllResident)
    ->Args({1000000, 0})
    ->Args({10000, 0})
    ->Args({0, 0})
    ->Args({100000, 1})
    ->ArgNames({"blocks", "second_hour"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The HyperLogLog period end with 1000 VMs of two disks each, all three
// periods ending together (every hour), each disk fed 4000 blocks before each
// end: the Consumer's pause (the walk that swaps the register sets; wall
// time and the thread's CPU time), the helper's settling afterwards (wall),
// and for comparison the pause if the Consumer estimated and cleared the sets
// itself (CPU time).
void BM_HllPeriodEnd(benchmark::State &state) {
  VTR_SetLogHook(QuietLog);
  VTR_SetClock(BenchClock);
  constexpr int kVMs = 1000;
  VTR_StartupConfig().changeRateEnabled = true;
  VTR_StartupConfig().slidingHllEnabled = false;
  static bool ready = VTR_InitHashTblAndList() == 0;
  if (!ready) {
    state.SkipWithError("registry");
    return;
  }
  std::vector<VMListNode> vms(kVMs);
  std::vector<HandleInfo> handles(2 * kVMs);
  std::vector<DiskEntry *> disks;
  {
    RegistryGuard guard;
    for (int v = 0; v < kVMs; ++v) {
      VMListNode &vm = vms[v];
      vm.worldGroupId = 90000 + v;
      vm.handleCount = 2;
      vm.handles = &handles[2 * v];
      for (int d = 0; d < 2; ++d) {
        handles[2 * v + d].handleId = 7000 + d;
        VTR_AddHashEntry(vm.worldGroupId, 7000 + d);
        disks.push_back(VTR_FindDiskEntry(VTR_GetDiskKey(vm.worldGroupId, 7000 + d)));
      }
      VTR_VMListInsert(&vm);
    }
  }
  struct timeval periodEnd;
  VTR_GetTime(&periodEnd);
  double pause = 0, pauseCpu = 0, settle = 0, inlinePause = 0;
  uint64_t block = 0;
  for (auto _ : state) {
    for (int inlined = 0; inlined < 2; ++inlined) {
      for (DiskEntry *disk : disks)
        for (int i = 0; i < 4000; ++i)
          VTR_AddChangeRate(Sector(block++), 4096, &disk->changeRate, false);
      benchSeconds += 300;
      uint32_t counter = 12;  // all three periods end
      auto start = Steady::now();
      const double cpu = ThreadSeconds();
      if (inlined) {
        VTR_HLLDuePeriods(&periodEnd, &counter);
        RegistryGuard guard;
        for (DiskEntry *disk : disks) {
          VTR_HLLEndPeriods(disk->changeRate.hll, 7);
          VTR_HLLSettle(disk->changeRate.hll);
        }
        inlinePause += ThreadSeconds() - cpu;
        continue;
      }
      VTR_HLLRollover(&periodEnd, &counter);
      pause += Since(start);
      pauseCpu += ThreadSeconds() - cpu;
      start = Steady::now();
      VTR_HLLWaitSettled();
      settle += Since(start);
    }
    state.SetIterationTime(pause);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["consumer_pause_ms"] = pause * 1e3 / n;
  state.counters["consumer_pause_cpu_ms"] = pauseCpu * 1e3 / n;
  state.counters["helper_settle_ms"] = settle * 1e3 / n;
  state.counters["pause_if_inline_cpu_ms"] = inlinePause * 1e3 / n;
  {
    RegistryGuard guard;
    for (VMListNode &vm : vms) {
      VTR_VMListUnlink(&vm);
      for (int d = 0; d < 2; ++d) VTR_DeleteHashEntry(vm.worldGroupId, 7000 + d);
    }
  }
  VTR_SetClock(nullptr);
}
BENCHMARK(BM_HllPeriodEnd)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
