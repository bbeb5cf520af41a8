// Stress of the whole daemon: hostsim streams records on 16 disks of 8 VMs,
// powers VMs off and on and fails host reads, while 8 clients add and remove
// VMs and query metrics, change rates and status, and a probe proves with
// injected records that a removed disk counts nothing and a re-added one
// starts from zero. Afterwards the daemon must answer, exit cleanly with
// every trace stopped, and leave no sanitizer report on stderr.
//
// Environment: VETHRA_STRESS_SECONDS (both runs together, default 30);
// VETHRA_STRESS_RATE (records/s of the 16 disks while all are traced, about
// half of it on average; default 1000000, 200000 in sanitizer builds);
// VETHRA_STRESS_CLOCK_SPEED (default 40; 1 turns it off and is the default
// in sanitizer builds, whose runtimes hang libfaketime's start-up): the
// daemon's wall clock runs that much faster under libfaketime (when
// installed), so that HyperLogLog periods end and sliding windows expire.

#include <array>
#include <atomic>
#include <random>

#include "e2e/harness.h"
#include "vethra_client.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STRESS_SANITIZED 1
#endif
#endif

namespace {

using namespace e2e;

constexpr int kWorkloadVms = 8;
constexpr uint32_t kFirstVm = 5001;    // workload VMs 5001..5008, as GeneratedHost numbers them
constexpr uint32_t kProbeVm = 201;     // silent; removed and re-added by the probe
constexpr uint32_t kSentinelVm = 202;  // always monitored; its workload only writes
constexpr int kVmSlots = kWorkloadVms + 2;
constexpr int kReplyTimeoutMs = 30000;
#ifdef STRESS_SANITIZED
constexpr int kDefaultRate = 200000, kDefaultClockSpeed = 1;
#else
constexpr int kDefaultRate = 1000000, kDefaultClockSpeed = 40;
#endif

int EnvInt(const char *name, int fallback) {
  const char *v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

int Slot(int64_t wg) {
  if (wg == kProbeVm) return kWorkloadVms;
  if (wg == kSentinelVm) return kWorkloadVms + 1;
  return static_cast<int>(wg - kFirstVm);
}

std::string HostJson(int perDiskRate) {
  std::string host = GeneratedHost(kWorkloadVms, 2,
                                   R"({"rate":)" + std::to_string(perDiskRate) +
                                       R"(,"readFraction":0.6,
    "sizes":[{"bytes":4096,"weight":4},{"bytes":8192,"weight":2},{"bytes":65536,"weight":1},
             {"bytes":1048576,"weight":1}],"sequentialFraction":0.3,"workingSetBlocks":65536,
    "latency":{"meanUs":700,"jitterUs":650},"reorder":{"fraction":0.05,"maxUs":500}})");
  return host.substr(0, host.size() - 2) + R"(,{"worldGroupId":201,"disks":[{"handleId":1}]},
    {"worldGroupId":202,"disks":[{"handleId":1,"workload":{"rate":2000,"readFraction":0}}]}]})";
}

// Shared by the test's threads. A VM's `started` count goes up before any
// operation that may remove it from the daemon (Delete, power-off) and its
// `finished` count after that operation can no longer take effect; a disk
// stayed monitored between two metrics replies when no such operation was
// in flight when the first was asked for and none began before the second
// arrived.
struct Shared {
  std::atomic<bool> stop{false};
  std::array<std::atomic<uint64_t>, kVmSlots> started{};
  std::array<std::atomic<uint64_t>, kVmSlots> finished{};
  std::mutex gate;  // held while a fault is pending or the probe changes its VM
  std::mutex failMutex;
  std::vector<std::string> failures;
  std::atomic<uint64_t> requests{0}, comparisons{0}, probeRounds{0}, faults{0}, powerCycles{0};

  void Fail(const std::string &what) {
    std::lock_guard<std::mutex> lock(failMutex);
    if (failures.size() < 20) failures.push_back(what);
    stop = true;
  }
};

// One persistent client connection.
struct Conn {
  Daemon *d;
  Shared *s;
  int fd = -1;
  ~Conn() {
    if (fd >= 0) close(fd);
  }
  bool Call(uint32_t command, const std::string &payload, uint32_t *code, std::string *body) {
    for (int attempt = 0; attempt < 2; attempt++) {
      if (fd < 0) fd = vtrc_connect(d->SocketPath().c_str());
      if (fd < 0) break;
      int rc =
          vtrc_send_request(fd, command, payload.data(), static_cast<uint32_t>(payload.size()));
      if (rc == 0) rc = vtrc_recv_reply(fd, code, body, kReplyTimeoutMs);
      if (rc == 0) {
        s->requests++;
        return true;
      }
      close(fd);
      fd = -1;
      if (rc == -ETIMEDOUT) {
        s->Fail("no reply to command " + std::to_string(command) + " within 30 s");
        return false;
      }
    }
    s->Fail("daemon connection lost on command " + std::to_string(command));
    return false;
  }
};

std::string VmList(std::initializer_list<uint32_t> ids) {
  std::string s = "{\"vmWorldGroups\":[";
  for (uint32_t id : ids) s += (s.back() == '[' ? "" : ",") + std::to_string(id);
  return s + "]}";
}

struct Snapshot {
  std::vector<uint64_t> values;
  bool clean;        // no removal in flight when the reply was asked for
  uint64_t started;  // the VM's started count then
};

// Metrics query with the monotonicity check against this connection's
// earlier replies.
void MetricsRound(Conn *c, std::map<DiskKey, Snapshot> *snaps) {
  Shared *s = c->s;
  std::array<uint64_t, kVmSlots> f0, s0, s1;
  for (int i = 0; i < kVmSlots; i++) f0[i] = s->finished[i].load();
  for (int i = 0; i < kVmSlots; i++) s0[i] = s->started[i].load();
  uint32_t code = 0;
  std::string body, why;
  if (!c->Call(10, "", &code, &body)) return;
  for (int i = 0; i < kVmSlots; i++) s1[i] = s->started[i].load();
  MetricsMap m;
  if (code != 0 || !ParseMetrics(body, &m, &why)) return s->Fail("metrics reply: " + why + body);
  for (auto &[key, values] : m) {
    int slot = Slot(key.first);
    if (slot < 0 || slot >= kVmSlots)
      return s->Fail("unknown VM in metrics: " + std::to_string(key.first));
    auto it = snaps->find(key);
    if (it != snaps->end() && it->second.clean && s1[slot] == it->second.started) {
      s->comparisons++;
      for (int i = 0; i < 70; i++) {
        if (values[i] < it->second.values[i]) {
          return s->Fail("counter " + std::to_string(i) + " of VM " + std::to_string(key.first) +
                         " " + key.second + " went back from " +
                         std::to_string(it->second.values[i]) + " to " + std::to_string(values[i]));
        }
      }
    }
    (*snaps)[key] = Snapshot{values, f0[slot] == s0[slot], s0[slot]};
  }
}

void ClientWorker(Daemon *d, Shared *s, int index) {
  Conn c{d, s};
  std::mt19937 rng(1000 + index);
  std::map<DiskKey, Snapshot> snaps;
  auto vm = [&]() -> uint32_t { return kFirstVm + rng() % kWorkloadVms; };
  while (!s->stop) {
    uint32_t code = 0;
    std::string body;
    int op = rng() % 100;
    if (op < 20) {
      c.Call(12, rng() % 2 ? VmList({vm()}) : VmList({vm(), vm()}), &code, &body);
    } else if (op < 35) {
      uint32_t id = vm();
      s->started[Slot(id)]++;
      c.Call(13, VmList({id}), &code, &body);
      s->finished[Slot(id)]++;
    } else if (op < 70) {
      MetricsRound(&c, &snaps);
    } else if (op < 85) {
      if (c.Call(rng() % 2 ? 14 : 15, "", &code, &body) && (code != 0 || !ParseJson(body))) {
        s->Fail("change-rate reply " + std::to_string(code) + ": " + body.substr(0, 200));
      }
    } else if (c.Call(11, "", &code, &body) && (code != 0 || !ParseJson(body))) {
      s->Fail("status reply " + std::to_string(code) + ": " + body.substr(0, 200));
    }
    usleep(rng() % 3000);
  }
}

// Host side: power cycles, rate changes and failed host reads.
void HostChaos(Daemon *d, Shared *s, int perDiskRate) {
  Conn c{d, s};
  std::mt19937 rng(77);
  // Host reads to fail; the last one (the channel read) pauses the Producer
  // for a second, so it is picked rarely.
  const char *faults[] = {"worldGroups_hasVmm",
                          "vm_vmmGroupInfo",
                          "world_info",
                          "worldGroups_vmmLeaderID",
                          "worldGroups_vscsi",
                          "worldGroups_vscsi_name",
                          "worldGroups_vscsi_stats_startVethraTrace",
                          "worldGroups_vscsi_stats_stopVethraTrace",
                          "paramListCreate",
                          "perf_logChannel_data"};
  const int nFaults = sizeof faults / sizeof faults[0];
  while (!s->stop) {
    int pick = rng() % 10;
    std::string err;
    if (pick < 4) {
      uint32_t id = static_cast<uint32_t>(kFirstVm + rng() % kWorkloadVms);
      s->started[Slot(id)]++;
      HostControl(d, R"({"op":"powerOff","worldGroupId":)" + std::to_string(id) + "}", &err);
      usleep(20000 + rng() % 150000);
      HostControl(d, R"({"op":"powerOn","worldGroupId":)" + std::to_string(id) + "}", &err);
      // A query that saw the VM off holds registryLock until it has removed
      // it; this status request queues behind any such query.
      uint32_t code;
      std::string body;
      c.Call(11, "", &code, &body);
      s->finished[Slot(id)]++;
      s->powerCycles++;
    } else if (pick < 6) {
      int rate = perDiskRate / 2 + static_cast<int>(rng() % static_cast<uint32_t>(perDiskRate + 1));
      uint32_t id = static_cast<uint32_t>(kFirstVm + rng() % kWorkloadVms);
      HostControl(d,
                  R"({"op":"workload","worldGroupId":)" + std::to_string(id) + R"(,"handleId":)" +
                      std::to_string(id * 1000 + rng() % 2) + R"(,"workload":{"rate":)" +
                      std::to_string(rate) + R"(,"readFraction":0.5,
                         "sizes":[4096,16384],"workingSetBlocks":65536}})",
                  &err);
    } else {
      std::string node = faults[rng() % (rng() % 8 == 0 ? nFaults : nFaults - 1)];
      const char *status = node == "world_info"        ? "0xBAD0062"
                           : node == "paramListCreate" ? "0xBAD0014"
                                                       : "0xBAD0001";
      std::lock_guard<std::mutex> lock(s->gate);
      HostControl(d,
                  R"({"op":"fault","node":")" + node + R"(","status":")" + status +
                      R"(","count":)" + std::to_string(1 + rng() % 3) + "}",
                  &err);
      for (int i = 0; i < 40 && !s->stop; i++) {
        Json st = HostState(d);
        if (st && !json_object_get(json_object_get(st.get(), "faults"), node.c_str())) break;
        usleep(10000);
      }
      HostControl(d, R"({"op":"fault","node":")" + node + R"(","count":0})", &err);
      s->faults++;
    }
    if (!err.empty()) s->Fail("hostsim control: " + err);
    usleep(20000);
  }
}

// Waits until the sentinel disk has counted `expected` reads and returns the
// following metrics reply (read after the sentinel, so it shows every record
// injected before it). False on a failure.
bool WaitSentinel(Conn *c, uint64_t expected, MetricsMap *after) {
  Shared *s = c->s;
  const DiskKey sentinel{kSentinelVm, "scsi0:0"};
  for (int i = 0; i < 3000 && !s->failures.size(); i++) {
    uint32_t code = 0;
    std::string body, why;
    if (!c->Call(10, "", &code, &body)) return false;
    MetricsMap m;
    if (!ParseMetrics(body, &m, &why)) return s->Fail(why), false;
    auto it = m.find(sentinel);
    if (it != m.end() && it->second[0] > expected) {
      return s->Fail("sentinel disk counted " + std::to_string(it->second[0]) + " reads, " +
                     std::to_string(expected) + " injected"),
             false;
    }
    if (it != m.end() && it->second[0] == expected) {
      if (!c->Call(10, "", &code, &body)) return false;
      return ParseMetrics(body, after, &why) || (s->Fail(why), false);
    }
    usleep(10000);
  }
  s->Fail("sentinel reads never reached " + std::to_string(expected));
  return false;
}

// One inject request entry in hostsim's control format.
std::string RecordJson(int opcode, uint32_t wg, uint64_t handle, uint32_t length, uint64_t lba,
                       uint64_t latency) {
  return "{\"opcode\":" + std::to_string(opcode) + ",\"worldGroupId\":" + std::to_string(wg) +
         ",\"handleId\":" + std::to_string(handle) + ",\"length\":" + std::to_string(length) +
         ",\"lba\":" + std::to_string(lba) + ",\"latency\":" + std::to_string(latency) + "}";
}

// Injects records for the probe disk (reads and writes, plus an opcode that
// counts nowhere) followed by one sentinel read; returns the reads and writes.
std::pair<uint64_t, uint64_t> InjectProbe(Daemon *d, Shared *s, std::mt19937 &rng, int n) {
  static const int opcodes[] = {0x28, 0x2A, 0x88, 0x8A, 0x08, 0x0A, 0x35};
  std::string recs;
  uint64_t reads = 0, writes = 0;
  for (int i = 0; i < n; i++) {
    int op = opcodes[rng() % 7];
    if (op != 0x35) ((op & 0x5F) == 0x08 ? reads : writes)++;
    recs +=
        RecordJson(op, kProbeVm, 1, 512u << (rng() % 8), rng() % 100000, 1 + rng() % 20000) + ",";
  }
  recs += RecordJson(0x28, kSentinelVm, 1, 4096, 0, 100);
  std::string err;
  std::string reply = HostControl(d, R"({"op":"inject","records":[)" + recs + "]}", &err);
  Json j = ParseJson(reply);
  if (!j || JsonInt(j.get(), "appended") != n + 1) s->Fail("inject: " + reply + err);
  return {reads, writes};
}

// Removes the probe VM, injects records for its still-traced disk (they must
// be dropped), re-adds it and injects more: its counters must show exactly
// the records injected after the re-add.
void Probe(Daemon *d, Shared *s) {
  Conn c{d, s};
  std::mt19937 rng(4242);
  const DiskKey probe{kProbeVm, "scsi0:0"};
  uint64_t sentinelReads = 0;
  const int slot = Slot(kProbeVm);
  auto call = [&](uint32_t command) {
    std::lock_guard<std::mutex> lock(s->gate);
    uint32_t code = 1;
    std::string body;
    if (c.Call(command, VmList({kProbeVm}), &code, &body) && code != 0) {
      s->Fail("probe " + std::to_string(command) + " failed: " + body);
    }
  };
  const std::string traced = R"({"op":"setTraced","worldGroupId":201,"handleId":1,"traced":)";
  while (!s->stop) {
    MetricsMap m;
    s->started[slot]++;
    call(13);
    s->finished[slot]++;
    HostControl(d, traced + "true}");
    InjectProbe(d, s, rng, 50);
    if (!WaitSentinel(&c, ++sentinelReads, &m)) return;
    if (m.count(probe)) return s->Fail("the removed probe disk is still reported");
    HostControl(d, traced + "false}");

    call(12);
    auto [reads, writes] = InjectProbe(d, s, rng, 20 + rng() % 200);
    if (!WaitSentinel(&c, ++sentinelReads, &m)) return;
    auto it = m.find(probe);
    if (it == m.end()) continue;  // left out of this reply by a failed host read
    if (it->second[0] != reads || it->second[1] != writes) {
      return s->Fail("re-added probe disk counted " + std::to_string(it->second[0]) + " reads, " +
                     std::to_string(it->second[1]) + " writes; injected since the re-add: " +
                     std::to_string(reads) + ", " + std::to_string(writes));
    }
    s->probeRounds++;
  }
}

void RunStress(const char *estimator, int seconds) {
  const int perDiskRate = EnvInt("VETHRA_STRESS_RATE", kDefaultRate) / (2 * kWorkloadVms);
  const char *faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  const int speed = EnvInt("VETHRA_STRESS_CLOCK_SPEED", kDefaultClockSpeed);
  const bool fastClock = speed > 1 && access(faketime, R_OK) == 0;
  Daemon d;
  if (fastClock) {
    // Only the wall clock: the queue waits and hostsim's trace clock are
    // monotonic and keep their pace.
    d.extraEnv = {std::string("LD_PRELOAD=") + faketime, "FAKETIME=+0 x" + std::to_string(speed),
                  "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  }
  StartServing(&d, {{"-a", estimator}, HostJson(perDiskRate)});
  ASSERT_TRUE(WaitListening(&d, d.controlPath)) << Stderr(&d) << LogDump(&d);
  Json before = HostState(&d);
  ASSERT_TRUE(before);

  Shared s;
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++) threads.emplace_back(ClientWorker, &d, &s, i);
  threads.emplace_back(HostChaos, &d, &s, perDiskRate);
  threads.emplace_back(Probe, &d, &s);
  while (!s.stop && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(seconds)) {
    usleep(100000);
    if (!IsRunning(&d)) s.Fail("the daemon ended during the run");
  }
  Json after = HostState(&d);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.stop = true;
  for (auto &t : threads) t.join();
  for (const auto &f : s.failures) ADD_FAILURE() << f;

  if (after) {
    auto delta = [&](const char *k) { return JsonInt(after.get(), k) - JsonInt(before.get(), k); };
    printf(
        "stress: %.1f s, generated %.0f records/s (%.0f dropped/s by the host), acknowledged "
        "%.0f/s; %lu requests, %lu monotonic checks, %lu probe rounds, %lu faults, %lu power "
        "cycles\n",
        elapsed, (delta("recordsEmitted") + delta("recordsDropped")) / elapsed,
        delta("recordsDropped") / elapsed, delta("recordsAcknowledged") / elapsed,
        (unsigned long)s.requests, (unsigned long)s.comparisons, (unsigned long)s.probeRounds,
        (unsigned long)s.faults, (unsigned long)s.powerCycles);
  }
  EXPECT_GT(s.probeRounds.load(), 0u);
  if (fastClock && seconds * speed > 2 * 300) {
    // A HyperLogLog period has ended (sliding: the windows hold writes): the
    // always-monitored sentinel disk, written by its workload, has an estimate.
    Json doc = QueryDoc(&d, 14);
    int64_t estimate = -1;
    size_t i;
    json_t *vm;
    json_array_foreach(DocVms(doc.get()), i, vm) {
      json_t *disk = json_array_get(json_object_get(vm, "vmDisks"), 0);
      if (JsonInt(vm, "worldGroupId") == kSentinelVm)
        estimate = json_integer_value(json_array_get(json_object_get(disk, "changeRates"), 0));
    }
    EXPECT_GT(estimate, 0) << JsonText(doc.get()).substr(0, 600);
  }
  EXPECT_GT(s.comparisons.load(), 0u);

  // Still serving, then a clean exit that stops every trace.
  HostControl(&d, R"({"op":"clearFaults"})");
  for (int i = 0; i < kWorkloadVms; i++) {
    HostControl(&d, R"({"op":"powerOn","worldGroupId":)" + std::to_string(kFirstVm + i) + "}");
  }
  EXPECT_NE(StatusVmIds(&d), "error");
  std::string body, why;
  MetricsMap m;
  EXPECT_EQ(Request(&d, 10, "", &body), 0) << body;
  EXPECT_TRUE(ParseMetrics(body, &m, &why)) << why;
  // The SIGTERM comes during heavy ingest: the workloads still run.
  StopCleanly(&d);
  EXPECT_EQ(FindLogs(&d, "Main: Received signal 15.Cleaning up...").size(), 1u);
  Json last = ExitState(&d);
  ASSERT_TRUE(last);
  EXPECT_EQ(JsonInt(last.get(), "paramListsCreated"), JsonInt(last.get(), "paramListsDestroyed"));
  std::string err = Stderr(&d);
  for (const char *report :
       {"ERROR: AddressSanitizer", "runtime error", "WARNING: ThreadSanitizer"}) {
    EXPECT_EQ(err.find(report), std::string::npos) << err;
  }
}

int HalfTime() { return std::max(2, EnvInt("VETHRA_STRESS_SECONDS", 30) / 2); }

TEST(ConcurrencyStress, HyperLogLog) { RunStress("-c", HalfTime()); }

TEST(ConcurrencyStress, SlidingHyperLogLog) { RunStress("-s", HalfTime()); }

}  // namespace
