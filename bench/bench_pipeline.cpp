// Throughput of the trace pipeline: the Consumer's batch processing, the
// Producer's ordered enqueue, and hostsim's channel through the real
// Producer and Consumer threads to the counters.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "hostsim.h"
#include "registry/registry.h"
#include "trace/analyzer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDisks = 16;
constexpr uint32_t kWorldGroupBase = 5000;
constexpr uint64_t kHandleBase = 8000;

DiskEntry *disks[kDisks];

// diskTable with one entry per benchmark disk, created once per process.
void EnsureDisks() {
  static bool ready = [] {
    VTR_StartupConfig().logLevel = 3;
    if (VTR_InitHashTblAndList() != 0) return false;
    VTR_InitRecordQueue();
    for (int i = 0; i < kDisks; i++) {
      if (VTR_AddHashEntry(kWorldGroupBase + i, kHandleBase + i) != VTR_OK) return false;
      disks[i] = VTR_FindDiskEntry(VTR_GetDiskKey(kWorldGroupBase + i, kHandleBase + i));
      // Both estimators, so that each benchmark can choose the mode.
      if (VTR_InitChangeRate(&disks[i]->changeRate, false) != VTR_OK ||
          VTR_InitChangeRate(&disks[i]->changeRate, true) != VTR_OK)
        return false;
    }
    return true;
  }();
  if (!ready) abort();
}

uint64_t CountedRecords() {
  uint64_t n = 0;
  for (DiskEntry *d : disks) {
    n += VTR_CounterLoad(d->counters.ioCounters[VTR_CTR_RIO]) +
         VTR_CounterLoad(d->counters.ioCounters[VTR_CTR_WIO]);
  }
  return n;
}

// 54% reads, 4 KiB to 1 MiB (small sizes most frequent), 16 disks, runs of
// sequential I/O mixed with random ones, latencies from 50 us to 200 ms,
// increasing time stamps. outOfOrder pulls every tenth record back a little.
std::vector<TraceRecord> MakeWorkload(size_t n, bool outOfOrder = false) {
  std::mt19937_64 rng(12345);
  const uint32_t sizes[] = {4096,  4096,  4096,   8192,   8192,   16384,
                            32768, 65536, 131072, 262144, 524288, 1048576};
  uint64_t nextLba[kDisks][2] = {};
  std::vector<TraceRecord> out(n);
  for (size_t i = 0; i < n; i++) {
    TraceRecord &r = out[i];
    memset(&r, 0, sizeof r);
    const int disk = static_cast<int>(rng() % kDisks);
    const int d = rng() % 100 < 54 ? 0 : 1;
    r.opcode = d == 0 ? 0x28 : 0x2A;
    r.worldGroupId = kWorldGroupBase + disk;
    r.handleId = kHandleBase + disk;
    r.length = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
    uint64_t lba = rng() % 2 ? nextLba[disk][d] : (rng() % (1u << 24)) * 8;
    nextLba[disk][d] = lba + (r.length >> 9);
    r.lba = lba;
    r.latency = 50 + (rng() % 1000) * (rng() % 200);
    r.timestamp = 1000 + i * 10;
    if (outOfOrder && i % 10 == 9) r.timestamp -= rng() % 80;
  }
  return out;
}

void ReportRate(benchmark::State &state, uint64_t records, double seconds) {
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
  state.counters["ns/record"] = seconds * 1e9 / static_cast<double>(records);
}

// (1) VTR_ProcessBatch over a full queue, change-rate estimation off.
void BM_ConsumerProcessBatch(benchmark::State &state) {
  EnsureDisks();
  VTR_StartupConfig().changeRateEnabled = false;
  const std::vector<TraceRecord> records = MakeWorkload(VTR_QUEUE_SLOTS);
  uint64_t total = 0;
  double seconds = 0;
  for (auto _ : state) {
    memcpy(static_cast<void *>(recordQueue.slots), records.data(),
           records.size() * sizeof(TraceRecord));
    recordQueue.readIndex = 0;
    recordQueue.writeIndex = VTR_QUEUE_SLOTS - 1;
    auto start = Clock::now();
    pthread_mutex_lock(&recordQueue.mutex);
    while (VTR_ProcessBatch() > 0) {
    }
    pthread_mutex_unlock(&recordQueue.mutex);
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
    total += records.size();
  }
  ReportRate(state, total, seconds);
}
BENCHMARK(BM_ConsumerProcessBatch)->UseManualTime()->Unit(benchmark::kMillisecond);

// (2) VTR_Enqueue into an empty queue; arg 1 = slightly out of order.
void BM_Enqueue(benchmark::State &state) {
  EnsureDisks();
  const size_t n = 400000;
  const std::vector<TraceRecord> records = MakeWorkload(n, state.range(0) != 0);
  uint64_t total = 0;
  double seconds = 0;
  for (auto _ : state) {
    VTR_InitRecordQueue();
    auto start = Clock::now();
    for (const TraceRecord &r : records) VTR_Enqueue(&r);
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    seconds += s;
    total += n;
  }
  VTR_InitRecordQueue();
  ReportRate(state, total, seconds);
  state.SetLabel(state.range(0) ? "10% pulled back up to 8 positions" : "in order");
}
BENCHMARK(BM_Enqueue)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// (3) hostsim's channel -> Producer -> queue -> Consumer -> counters.
std::string HostJson() {
  std::string vms, stale;
  for (int i = 0; i < kDisks; i++) {
    char vm[256], tr[96];
    snprintf(vm, sizeof vm,
             "%s{\"instanceId\":%d,\"worldGroupId\":%u,\"displayName\":\"bench%d\","
             "\"disks\":[{\"handleId\":%lu,\"name\":\"scsi0:%d\"}]}",
             i ? "," : "", 100 + i, kWorldGroupBase + i, i,
             static_cast<unsigned long>(kHandleBase + i), i);
    snprintf(tr, sizeof tr, "%s{\"worldGroupId\":%u,\"handleId\":%lu}", i ? "," : "",
             kWorldGroupBase + i, static_cast<unsigned long>(kHandleBase + i));
    vms += vm;
    stale += tr;
  }
  return "{\"vms\":[" + vms + "],\"staleTraces\":[" + stale +
         "],\"channelCapacityBytes\":134217728}";
}

// Process CPU seconds (every thread: hostsim's channel, Producer, Consumer).
double CpuSeconds(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double ProcessSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// arg0: change-rate estimation off (0, as `vethra -a`), HyperLogLog (1,
// `-a -c`) or Sliding HyperLogLog (2, `-a -s`). arg1 0: the whole workload
// is in the channel before the threads start, so the Producer fills the
// queue and waits for the Consumer whenever the Consumer is the slower;
// cpu_s/Mrecords counts every thread of the process, hostsim's channel
// included. arg1 1: paced at 4 million records/s (below every mode's
// capacity, as on a host), 50,000 records injected every 12.5 ms by the
// benchmark thread; daemon_cpu_s/Mrecords counts the Producer and the
// Consumer, and producer_waits how often the queue was full (0 when the
// Consumer kept up). consumer_cpu_s/Mrecords: the Consumer thread alone,
// where the estimators' work falls.
void BM_EndToEnd(benchmark::State &state) {
  EnsureDisks();
  VTR_StartupConfig().changeRateEnabled = state.range(0) != 0;
  VTR_StartupConfig().slidingHllEnabled = state.range(0) == 2;
  const bool paced = state.range(1) != 0;
  const size_t n = 2000000;
  const size_t chunk = paced ? 50000 : n;
  const auto chunkPeriod = std::chrono::microseconds(12500);
  static const std::string json = HostJson();
  if (hostsim_configure(json.c_str(), nullptr) != 0) {
    state.SkipWithError("hostsim_configure failed");
    return;
  }
  const std::vector<TraceRecord> records = MakeWorkload(n);
  std::vector<std::string> injects, paths;
  for (size_t first = 0; first < n; first += chunk) {
    char path[] = "/tmp/vethra_bench_XXXXXX";
    int fd = mkstemp(path);
    const ssize_t bytes = static_cast<ssize_t>(chunk * sizeof(TraceRecord));
    if (fd < 0 || write(fd, records.data() + first, bytes) != bytes) {
      state.SkipWithError("cannot write the replay file");
      break;
    }
    close(fd);
    paths.push_back(path);
    injects.push_back(std::string("{\"op\":\"inject\",\"file\":\"") + path + "\"}");
  }
  const std::string expected = "\"appended\":" + std::to_string(chunk) + ",";
  auto inject = [&](const std::string &request) {
    char *reply = hostsim_control(request.c_str());
    const bool appended = reply != nullptr && strstr(reply, expected.c_str()) != nullptr;
    if (!appended) fprintf(stderr, "inject: %s\n", reply ? reply : "(null)");
    hostsim_free(reply);
    return appended;
  };
  uint64_t total = 0, dropped = 0, waits = 0;
  double seconds = 0, cpu = 0, consumerCpu = 0, daemonCpu = 0;
  for (auto _ : state) {
    if (injects.size() != n / chunk) break;
    const int32_t failuresBefore = lookupFailureCount;
    if (!paced && !inject(injects[0])) {
      state.SkipWithError("inject failed");
      break;
    }
    const uint64_t target = CountedRecords() + n;
    pthread_t producer, consumer;
    auto start = Clock::now();
    const double cpuStart = ProcessSeconds();
    pthread_create(&producer, nullptr, VTR_ProducerThread, nullptr);
    pthread_create(&consumer, nullptr, VTR_ConsumerThread, nullptr);
    for (size_t c = 0; paced && c < injects.size(); ++c) {
      std::this_thread::sleep_until(start + c * chunkPeriod);
      if (!inject(injects[c])) {
        state.SkipWithError("inject failed");
        break;
      }
    }
    uint64_t last = 0;
    for (uint64_t now; (now = CountedRecords()) < target;) {
      // The last few thousand records stay below the wake-up threshold; the
      // Consumer's one-second time-out would collect them, the poke saves the wait.
      if (now == last) VTR_WakeQueueWaiters();
      last = now;
      usleep(200);
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    cpu += ProcessSeconds() - cpuStart;
    clockid_t consumerClock, producerClock;
    if (pthread_getcpuclockid(consumer, &consumerClock) == 0 &&
        pthread_getcpuclockid(producer, &producerClock) == 0) {
      consumerCpu += CpuSeconds(consumerClock);
      daemonCpu += CpuSeconds(consumerClock) + CpuSeconds(producerClock);
    }
    waits += recordQueue.producerWaitCount;
    exitRequested.store(true);
    VTR_WakeQueueWaiters();
    pthread_join(producer, nullptr);
    pthread_join(consumer, nullptr);
    exitRequested.store(false);
    VTR_InitRecordQueue();
    dropped += static_cast<uint64_t>(lookupFailureCount - failuresBefore);
    state.SetIterationTime(s);
    seconds += s;
    total += n;
  }
  for (const std::string &path : paths) unlink(path.c_str());
  if (total == 0) return;
  ReportRate(state, total, seconds);
  const double millions = static_cast<double>(total) / 1e6;
  state.counters["dropped"] = static_cast<double>(dropped);
  state.counters["consumer_cpu_s/Mrecords"] = consumerCpu / millions;
  if (paced) {
    state.counters["daemon_cpu_s/Mrecords"] = daemonCpu / millions;
    state.counters["producer_waits"] = static_cast<double>(waits);
  } else {
    state.counters["cpu_s/Mrecords"] = cpu / millions;
  }
  static const char *const kModes[] = {"-a", "-a -c", "-a -s"};
  state.SetLabel(std::string(kModes[state.range(0)]) + (paced ? ", paced" : ""));
  VTR_StartupConfig().changeRateEnabled = VTR_StartupConfig().slidingHllEnabled = false;
}
BENCHMARK(BM_EndToEnd)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->ArgNames({"mode", "paced"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
