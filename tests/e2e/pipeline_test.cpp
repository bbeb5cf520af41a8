// End-to-end pipeline: a few thousand known records go through hostsim's
// trace channel into the real daemon (Producer, record queue, Consumer) and
// the counters of the metrics query must equal the ones this test computes
// on its own from the same records.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <random>

#include "e2e/harness.h"

namespace {

using namespace e2e;

struct Rec {  // the host's 48-byte little-endian layout
  uint8_t reserved0 = 0;
  uint8_t opcode;
  uint16_t reserved1 = 0;
  uint32_t worldGroupId;
  uint64_t handleId;
  uint32_t length;
  uint32_t reserved2 = 0;
  uint64_t lba;
  uint64_t timestamp;
  uint64_t latency;
} __attribute__((packed));
static_assert(sizeof(Rec) == 48);

// Reference model of one disk's counters, written from the counter table.
struct Model {
  std::array<uint64_t, 70> c{};
  uint64_t lastLba[2] = {}, lastLen[2] = {}, lastTs[2] = {};

  static int SizeBucket(uint32_t len) {
    const uint32_t kib = len / 1024;
    static const uint32_t eq[] = {4, 8, 16, 32, 64, 128, 256, 512, 1024};
    if (kib < 4) return 0;
    for (int i = 0; i < 9; i++) {
      if (kib == eq[i]) return 1 + 2 * i;
      if (i + 1 < 9 && kib > eq[i] && kib < eq[i + 1]) return 2 + 2 * i;
    }
    return 18;
  }
  static int LatencyBucket(uint64_t us) {
    static const uint64_t upper[] = {1, 10, 100, 500, 1000, 5000, 10000, 25000, 50000, 100000};
    int b = 0;
    while (b < 10 && us > upper[b]) b++;
    return b;
  }
  bool Sequential(const Rec &r, int d) const {
    if (lastLen[d] == 0 || r.timestamp - lastTs[d] > 1000000) return false;
    const uint64_t prevEnd = lastLba[d] + lastLen[d] / 512, newEnd = r.lba + r.length / 512;
    if (r.lba == prevEnd || (r.lba == lastLba[d] && r.length == lastLen[d])) return true;
    if (r.lba > prevEnd) return r.lba - prevEnd <= 32;
    return newEnd > lastLba[d] || lastLba[d] - newEnd <= 32;
  }
  void Add(const Rec &r) {
    static const uint8_t reads[] = {0x08, 0x28, 0xA8, 0x88}, writes[] = {0x0A, 0x2A, 0xAA, 0x8A};
    int d = std::count(reads, reads + 4, r.opcode)     ? 0
            : std::count(writes, writes + 4, r.opcode) ? 1
                                                       : -1;
    if (d < 0) return;
    c[0 + d]++;
    c[2 + d] += r.length;
    if (Sequential(r, d)) {
      c[4 + d]++;
      c[6 + d] += r.length;
    }
    if (r.lba % 8 == 0 && r.length % 4096 == 0) c[8 + d]++;
    c[10 + 2 * SizeBucket(r.length) + d]++;
    c[48 + 2 * LatencyBucket(r.latency) + d]++;
    lastLba[d] = r.lba;
    lastLen[d] = r.length;
    lastTs[d] = r.timestamp;
  }
};

const uint32_t kLengths[] = {0,      512,    3584,    4095,    4096,   4608,  5119,
                             5120,   8192,   9216,    16384,   32768,  65536, 131072,
                             262144, 524288, 1048575, 1048576, 1049600};
const uint64_t kLatencies[] = {0,     1,     2,     10,     11,     100,    101,   500,
                               501,   1000,  1001,  5000,   5001,   10000,  10001, 25000,
                               25001, 50000, 50001, 100000, 100001, 9999999};
const uint8_t kOpcodes[] = {0x28, 0x2A, 0x08, 0x0A, 0xA8, 0xAA, 0x88, 0x8A, 0x35, 0x00, 0x2F};

// A disk's I/O in time order, mixing every sequential relation: continue,
// repeat, short gaps both ways, overlap, far jumps and pauses beyond the
// sequential window.
std::vector<Rec> OrderedStream(std::mt19937_64 &rng, uint32_t wg, uint64_t handle, int n) {
  std::vector<Rec> out;
  uint64_t ts = 1000, lba = 4096;
  uint32_t len = 4096;
  for (int i = 0; i < n; i++) {
    Rec r;
    r.opcode = kOpcodes[rng() % (rng() % 10 == 0 ? 11 : 8)];
    r.worldGroupId = wg;
    r.handleId = handle;
    uint64_t end = lba + len / 512;
    switch (rng() % 7) {
      case 0:
        lba = end;
        break;
      case 1:
        break;  // same range (if the length repeats)
      case 2:
        lba = end + rng() % 40;
        break;
      case 3:
        lba = lba + rng() % 8;
        break;
      case 4:
        lba = lba > len / 512 + 40 ? lba - len / 512 - rng() % 40 : lba;
        break;
      default:
        lba = rng() % 2000000;
        break;
    }
    len = rng() % 3 ? len : kLengths[rng() % 19];
    r.lba = lba;
    r.length = len;
    ts += rng() % 8 == 0 ? 1000001 + rng() % 10 : rng() % 300000;
    r.timestamp = ts;
    r.latency = kLatencies[rng() % 22];
    out.push_back(r);
  }
  return out;
}

TEST(Pipeline, InjectedRecordsGiveExactCounters) {
  const char host[] = R"({"vms":[
    {"worldGroupId":301,"disks":[{"handleId":1},{"handleId":4294967298}]},
    {"worldGroupId":302,"disks":[{"handleId":7}]},
    {"worldGroupId":303,"disks":[{"handleId":1}]}]})";
  Daemon d;
  StartServing(&d, Opts({"-w", "301", "-w", "302"}, host));
  // Disk 303/1 is traced by the host but not monitored by the daemon.
  HostControl(&d, R"({"op":"setTraced","worldGroupId":303,"handleId":1,"traced":true})");

  std::mt19937_64 rng(20240601);
  std::vector<Rec> all;
  std::map<DiskKey, Model> expected;
  // Two disks in time order, interleaved.
  auto a = OrderedStream(rng, 301, 1, 1500), b = OrderedStream(rng, 301, 4294967298, 1500);
  for (size_t i = 0; i < a.size(); i++) {
    all.push_back(a[i]);
    all.push_back(b[i]);
    expected[{301, "scsi0:0"}].Add(a[i]);
    expected[{301, "scsi0:1"}].Add(b[i]);
  }
  // A disk whose records arrive with shuffled time stamps. Their ranges lie
  // 1000 sectors apart, so none is sequential in any order.
  std::vector<Rec> shuffled;
  for (int i = 0; i < 800; i++) {
    Rec r;
    r.opcode = kOpcodes[rng() % 9];
    r.worldGroupId = 302;
    r.handleId = 7;
    r.length = kLengths[rng() % 14];
    r.lba = 1000 * static_cast<uint64_t>(i) + (rng() % 2) * 8;
    r.timestamp = 500 + rng() % 400000000;
    r.latency = kLatencies[rng() % 22];
    shuffled.push_back(r);
    expected[{302, "scsi0:0"}].Add(r);
  }
  for (size_t i = 0; i < shuffled.size(); i++) all.insert(all.begin() + 3 * i + 1, shuffled[i]);
  // The untraced disk's records are dropped (and logged as lookup failures).
  for (int i = 0; i < 150; i++) {
    all.insert(all.begin() + 20 * i + 5, Rec{0, 0x28, 0, 303, 1, 4096, 0, 8, 100, 100});
  }

  const std::string path = d.dir + "/records.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(all.data()),
             static_cast<std::streamsize>(all.size() * sizeof(Rec)));
  Json inject = ParseJson(HostControl(&d, R"({"op":"inject","file":")" + path + "\"}"));
  ASSERT_TRUE(inject);
  EXPECT_EQ(JsonInt(inject.get(), "appended"), static_cast<int64_t>(all.size()));
  Json drain = ParseJson(HostControl(&d, R"({"op":"drain"})"));
  ASSERT_TRUE(drain && json_is_true(json_object_get(drain.get(), "drained")));

  // The Consumer takes fewer than 5000 queued records within about a second.
  uint64_t want = 0;
  for (auto &[key, m] : expected) want += m.c[0] + m.c[1];
  MetricsMap got;
  for (int i = 0; i < 400; i++) {
    uint32_t code = 1;
    std::string body, why;
    ASSERT_EQ(DaemonCall(&d, 10, "", &code, &body), 0);
    ASSERT_TRUE(ParseMetrics(body, &got, &why)) << why;
    uint64_t seen = 0;
    for (auto &[key, v] : got) seen += v[0] + v[1];
    if (seen >= want) break;
    usleep(25000);
  }
  ASSERT_EQ(got.size(), expected.size());
  for (auto &[key, m] : expected) {
    ASSERT_TRUE(got.count(key)) << key.first << " " << key.second;
    for (int i = 0; i < 70; i++) {
      EXPECT_EQ(got[key][i], m.c[i]) << "counter " << i << " of " << key.first << " " << key.second;
    }
  }
  const Model &mixed = expected[DiskKey{301, "scsi0:0"}];
  EXPECT_GT(mixed.c[4] + mixed.c[5], 100u);  // the streams do exercise sequential I/O
  EXPECT_TRUE(WaitForLog(&d, "Total lookup failure:99")) << LogDump(&d);
  EXPECT_TRUE(FindLogs(&d, "Total lookup failure:100").empty());

  ASSERT_TRUE(Signal(&d, SIGTERM));
  EXPECT_EQ(WaitExit(&d), 0) << Stderr(&d);
}

}  // namespace
