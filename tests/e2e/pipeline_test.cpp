// End-to-end pipeline: a few thousand known records go through hostsim's
// trace channel into the real daemon (Producer, record queue, Consumer). How
// one record changes a disk's counters is pinned by the unit tests
// (counters_test); here every stream also goes to a twin disk, a few records
// later in the channel, so records lost, counted twice, sent to the wrong
// disk or reordered on the way make the twins' 70 counters differ.

#include <algorithm>
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

const uint32_t kLengths[] = {0,      512,    3584,    4095,    4096,   4608,  5119,
                             5120,   8192,   9216,    16384,   32768,  65536, 131072,
                             262144, 524288, 1048575, 1048576, 1049600};
const uint64_t kLatencies[] = {0,     1,     2,     10,     11,     100,    101,   500,
                               501,   1000,  1001,  5000,   5001,   10000,  10001, 25000,
                               25001, 50000, 50001, 100000, 100001, 9999999};
// Reads and writes alternate among the first eight; the rest count nowhere.
const uint8_t kOpcodes[] = {0x28, 0x2A, 0x08, 0x0A, 0xA8, 0xAA, 0x88, 0x8A, 0x35, 0x00, 0x2F};

// A disk's I/O in time order, mixing every sequential relation: continue,
// repeat, short gaps both ways, overlap, far jumps and pauses beyond the
// sequential window.
std::vector<Rec> OrderedStream(std::mt19937_64 &rng, uint32_t wg, uint64_t handle, int n) {
  std::vector<Rec> out;
  uint64_t ts = 1000, lba = 4096;
  uint32_t len = 4096;
  for (int i = 0; i < n; i++) {
    // (far away twice as likely)
    const uint64_t end = lba + len / 512, back = len / 512 + rng() % 40;
    const uint64_t before = lba > back ? lba - back : lba;
    const uint64_t next[] = {
        end, lba, end + rng() % 40, lba + rng() % 8, before, rng() % 2000000, rng() % 2000000};
    lba = next[rng() % 7];
    len = rng() % 3 ? len : kLengths[rng() % 19];
    ts += rng() % 8 == 0 ? 1000001 + rng() % 10 : rng() % 300000;
    uint8_t opcode = kOpcodes[rng() % (rng() % 10 == 0 ? 11 : 8)];
    out.push_back(Rec{0, opcode, 0, wg, handle, len, 0, lba, ts, kLatencies[rng() % 22]});
  }
  return out;
}

TEST(Pipeline, InjectedRecordsGiveExactCounters) {
  const char host[] = R"({"vms":[
    {"worldGroupId":301,"disks":[{"handleId":1},{"handleId":4294967298}]},
    {"worldGroupId":302,"disks":[{"handleId":7},{"handleId":8}]},
    {"worldGroupId":303,"disks":[{"handleId":1}]}]})";
  Daemon d;
  StartServing(&d, {{"-w", "301", "-w", "302"}, host});
  // Disk 303/1 is traced by the host but not monitored by the daemon.
  HostControl(&d, R"({"op":"setTraced","worldGroupId":303,"handleId":1,"traced":true})");

  std::mt19937_64 rng(20240601);
  auto ordered = OrderedStream(rng, 301, 1, 1500);
  // A disk whose records arrive with shuffled time stamps, 1000 sectors
  // apart (so none is sequential in any order).
  std::vector<Rec> shuffled;
  for (uint64_t i = 0; i < 800; i++) {
    uint64_t lba = 1000 * i + (rng() % 2) * 8, ts = 500 + rng() % 400000000;
    shuffled.push_back(Rec{0, kOpcodes[rng() % 9], 0, 302, 7, kLengths[rng() % 14], 0, lba, ts,
                           kLatencies[rng() % 22]});
  }
  auto twin = [](Rec r, uint64_t handle) {
    r.handleId = handle;
    return r;
  };
  // The streams interleaved, each twin 7 records behind, and records of the
  // untraced disk, which are dropped (and logged as lookup failures).
  std::vector<Rec> all;
  for (size_t i = 0; i < ordered.size() + 7; i++) {
    if (i < ordered.size()) all.push_back(ordered[i]);
    if (i < shuffled.size()) all.push_back(shuffled[i]);
    if (i >= 7) all.push_back(twin(ordered[i - 7], 4294967298));
    if (i >= 7 && i - 7 < shuffled.size()) all.push_back(twin(shuffled[i - 7], 8));
    if (i % 10 == 0 && i < 1500) all.push_back(Rec{0, 0x28, 0, 303, 1, 4096, 0, 8, 100, 100});
  }
  // Reads, writes and their bytes, by the SCSI opcodes (a twin's are the same).
  auto counts = [](const std::vector<Rec> &stream) {
    std::vector<uint64_t> e(4);
    for (const Rec &r : stream) {
      auto at = std::find(kOpcodes, kOpcodes + 8, r.opcode) - kOpcodes;
      if (at == 8) continue;
      e[at % 2]++;
      e[2 + at % 2] += r.length;
    }
    return e;
  };
  const std::map<DiskKey, std::vector<uint64_t>> expected = {{{301, "scsi0:0"}, counts(ordered)},
                                                             {{302, "scsi0:0"}, counts(shuffled)}};
  uint64_t want = 0;
  for (auto &[key, e] : expected) want += 2 * (e[0] + e[1]);

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
  MetricsMap got;
  ASSERT_TRUE(WaitMetrics(&d, &got, [&](const MetricsMap &m) {
    uint64_t seen = 0;
    for (auto &[key, v] : m) seen += v[0] + v[1];
    return seen >= want;
  }));
  ASSERT_EQ(got.size(), 4u);
  for (auto &[key, e] : expected) {
    ASSERT_TRUE(got.count(key)) << key.first << " " << key.second;
    EXPECT_EQ(std::vector<uint64_t>(got[key].begin(), got[key].begin() + 4), e)
        << key.first << " " << key.second;
  }
  EXPECT_EQ(got[DiskKey(301, "scsi0:0")], got[DiskKey(301, "scsi0:1")]);
  EXPECT_EQ(got[DiskKey(302, "scsi0:0")], got[DiskKey(302, "scsi0:1")]);
  // The streams do exercise sequential I/O (counters 4 and 5).
  EXPECT_GT(got[DiskKey(301, "scsi0:0")][4] + got[DiskKey(301, "scsi0:0")][5], 100u);
  EXPECT_TRUE(WaitForLog(&d, "Total lookup failure:99")) << LogDump(&d);
  EXPECT_TRUE(FindLogs(&d, "Total lookup failure:100").empty());

  // (Disk 303/1 stays traced: the host, not the daemon, switched it on.)
  ASSERT_TRUE(Signal(&d, SIGTERM));
  EXPECT_EQ(WaitExit(&d), 0) << Stderr(&d);
}

}  // namespace
