// Workload generator: one thread that, every couple of milliseconds, creates
// the records due for each traced disk of a powered-on VM that has a workload
// (synthetic or replayed from a record file) and appends them to the channel,
// dropping what does not fit.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "internal.h"

namespace hostsim {
namespace {

constexpr uint64_t kTickUs = 2000;
constexpr uint64_t kMaxCatchUpUs = 250000;   // after a stall, generate at most this much backlog
constexpr size_t kMaxReplayPerTick = 20000;  // per disk

// Never destroyed: the generator thread may still run while the process exits.
struct GenControl {
  std::mutex mutex;  // guards the thread object and the stop flag
  std::condition_variable cv;
  bool stop = false;
  std::thread *thread = nullptr;
};
GenControl &gc() {
  static GenControl *g = new GenControl;
  return *g;
}

double uniform(std::mt19937_64 &rng) { return (rng() >> 11) * (1.0 / 9007199254740992.0); }

uint32_t pickSize(const Workload &w, std::mt19937_64 &rng) {
  if (w.sizes.empty()) return 4096;
  double total = 0;
  for (const SizeWeight &s : w.sizes) total += s.weight;
  if (total <= 0) return w.sizes.front().bytes;
  double x = uniform(rng) * total;
  for (const SizeWeight &s : w.sizes) {
    if (x < s.weight) return s.bytes;
    x -= s.weight;
  }
  return w.sizes.back().bytes;
}

uint64_t pickLatency(const Workload &w, std::mt19937_64 &rng) {
  if (!w.latencyHistogram.empty()) {
    double total = 0;
    for (const LatencyBucket &b : w.latencyHistogram) total += b.weight;
    double x = uniform(rng) * total;
    for (const LatencyBucket &b : w.latencyHistogram) {
      if (x < b.weight) return b.us;
      x -= b.weight;
    }
    return w.latencyHistogram.back().us;
  }
  int64_t lat = (int64_t)w.latencyMeanUs;
  if (w.latencyJitterUs > 0)
    lat += (int64_t)(rng() % (2 * w.latencyJitterUs + 1)) - (int64_t)w.latencyJitterUs;
  return lat < 1 ? 1 : (uint64_t)lat;
}

void initState(Vm &vm, Disk &d, uint64_t nowUs) {
  GenState &g = d.gen;
  const Workload &w = d.workload;
  uint64_t seed =
      w.seed ? w.seed : ((uint64_t)vm.worldGroupId << 32) ^ d.handleId ^ 0x9E3779B97F4A7C15ull;
  g.rng.seed(seed);
  g.carry = 0;
  g.lastUs = nowUs;
  g.nextBlock = g.rng() % w.workingSetBlocks;
  g.replayRecords.reset();
  g.replayIndex = 0;
  g.replayDone = false;
  if (!w.replay.empty()) {
    auto recs = std::make_shared<std::vector<WireRecord>>();
    std::string err;
    if (!loadRecordFile(w.replay, *recs, err)) {
      fprintf(stderr, "hostsim: replay for disk %u/%llu: %s\n", vm.worldGroupId,
              (unsigned long long)d.handleId, err.c_str());
      g.replayDone = true;
    } else if (recs->empty()) {
      g.replayDone = true;
    } else {
      g.replayFirstTs = recs->front().timestamp;
      g.replayBaseUs = nowUs;
      g.replayRecords = std::move(recs);
    }
  }
  g.initialized = true;
}

void replayTick(Vm &vm, Disk &d, uint64_t nowUs, std::vector<WireRecord> &out) {
  GenState &g = d.gen;
  if (g.replayDone || !g.replayRecords) return;
  const std::vector<WireRecord> &recs = *g.replayRecords;
  double speed = d.workload.replaySpeed;
  size_t emitted = 0;
  while (emitted < kMaxReplayPerTick) {
    if (g.replayIndex >= recs.size()) {
      if (!d.workload.replayLoop) {
        g.replayDone = true;
        return;
      }
      uint64_t lastTs = recs.back().timestamp;
      uint64_t span = lastTs > g.replayFirstTs ? lastTs - g.replayFirstTs : 0;
      g.replayBaseUs += (uint64_t)((double)span / speed) + 1;
      g.replayIndex = 0;
    }
    const WireRecord &src = recs[g.replayIndex];
    uint64_t rel = src.timestamp > g.replayFirstTs ? src.timestamp - g.replayFirstTs : 0;
    uint64_t ts = g.replayBaseUs + (uint64_t)((double)rel / speed);
    if (ts > nowUs) return;
    WireRecord r = src;
    r.worldGroupId = vm.worldGroupId;
    r.handleId = d.handleId;
    r.timestamp = ts;
    out.push_back(r);
    g.replayIndex++;
    emitted++;
  }
}

void syntheticTick(Vm &vm, Disk &d, uint64_t nowUs, uint64_t elapsed,
                   std::vector<WireRecord> &out) {
  GenState &g = d.gen;
  const Workload &w = d.workload;
  double due = g.carry + w.rate * (double)elapsed / 1e6;
  uint64_t n = (uint64_t)std::floor(due);
  g.carry = due - (double)n;
  uint64_t start = nowUs - elapsed;
  for (uint64_t i = 0; i < n; i++) {
    WireRecord r;
    memset(&r, 0, sizeof r);
    bool read = uniform(g.rng) < w.readFraction;
    uint32_t size = pickSize(w, g.rng);
    uint64_t blocks = (size + 4095) / 4096;
    uint64_t block;
    if (uniform(g.rng) < w.sequentialFraction) {
      block = g.nextBlock;
    } else {
      block = g.rng() % w.workingSetBlocks;
    }
    if (block + blocks > w.workingSetBlocks) block = 0;  // wrap at the end of the working set
    g.nextBlock = (block + blocks) % w.workingSetBlocks;
    uint64_t ts = start + (elapsed * (i + 1)) / n;
    if (w.reorderFraction > 0 && w.reorderMaxUs > 0 && uniform(g.rng) < w.reorderFraction) {
      uint64_t back = 1 + g.rng() % w.reorderMaxUs;
      ts = ts > back ? ts - back : 0;
    }
    r.opcode = read ? OPCODE_READ10 : OPCODE_WRITE10;
    r.worldGroupId = vm.worldGroupId;
    r.handleId = d.handleId;
    r.length = size;
    r.lba = block * 8;  // 512-byte sectors
    r.timestamp = ts;
    r.latency = pickLatency(w, g.rng);
    out.push_back(r);
  }
}

}  // namespace

std::atomic<uint64_t> generatorTicks{0};

namespace {

void generatorLoop() {
  std::vector<WireRecord> scratch;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(hostMutex);
      scratch.clear();
      generateTick(*host, traceClockUs(), scratch);
      // Appended under the host lock so that no record of a trace that was
      // just stopped (or a VM just powered off) reaches the channel afterwards.
      channelAppendOrDrop(scratch.data(), scratch.size());
    }
    generatorTicks.fetch_add(1, std::memory_order_release);
    GenControl &g = gc();
    std::unique_lock<std::mutex> lock(g.mutex);
    if (g.cv.wait_for(lock, std::chrono::microseconds(kTickUs), [&g] { return g.stop; })) return;
  }
}

}  // namespace

void generateTick(Host &h, uint64_t nowUs, std::vector<WireRecord> &out) {
  for (Vm &vm : h.vms) {
    if (!vm.poweredOn) continue;
    for (Disk &d : vm.disks) {
      if (!d.hasWorkload || !h.traced.count({vm.worldGroupId, d.handleId})) continue;
      GenState &g = d.gen;
      if (!g.initialized) {
        initState(vm, d, nowUs);
        continue;
      }
      if (nowUs < g.lastUs) {  // the trace clock was reset
        uint64_t back = g.lastUs - nowUs;
        g.replayBaseUs = g.replayBaseUs > back ? g.replayBaseUs - back : 0;
        g.lastUs = nowUs;
      }
      uint64_t elapsed = std::min(nowUs - g.lastUs, kMaxCatchUpUs);
      if (!d.workload.replay.empty()) {
        if (nowUs - g.lastUs > kMaxCatchUpUs) g.replayBaseUs += nowUs - g.lastUs - kMaxCatchUpUs;
        replayTick(vm, d, nowUs, out);
      } else if (elapsed > 0) {
        syntheticTick(vm, d, nowUs, elapsed, out);
      }
      g.lastUs = nowUs;
    }
  }
}

bool loadRecordFile(const std::string &path, std::vector<WireRecord> &out, std::string &err) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    err = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  WireRecord buf[4096];
  size_t n;
  while ((n = fread(buf, RECORD_SIZE, 4096, f)) > 0) out.insert(out.end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  if (!ok) err = "read error on " + path;
  return ok;
}

void generatorStart() {
  GenControl &g = gc();
  std::lock_guard<std::mutex> lock(g.mutex);
  if (g.thread) return;
  g.stop = false;
  g.thread = new std::thread(generatorLoop);
}

void generatorStop() {
  GenControl &g = gc();
  std::thread *t;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    t = g.thread;
    g.thread = nullptr;
    g.stop = true;
  }
  g.cv.notify_all();
  if (t) {
    t->join();
    delete t;
  }
}

}  // namespace hostsim
