// Change-rate estimator speed and memory: HyperLogLog feeding, sliding feeding,
// the change-rate query's three sliding windows per disk (busy, light, nearly
// idle and idle disks), and the sliding estimator's memory per disk.
#include <benchmark/benchmark.h>

#include <atomic>

#include "changerate/changerate.h"
#include "base/clock.h"
#include "base/log.h"

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

}  // namespace

BENCHMARK_MAIN();
