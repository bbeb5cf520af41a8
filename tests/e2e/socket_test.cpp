// End-to-end tests of the socket protocol against the real daemon: every
// command code, the Exit request ending the process, a VM powered off in the
// host, metrics and change rates of known injected records checked against
// values computed here, and who may connect to the socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <map>

#include "e2e/peer_util.h"

namespace {

using namespace e2e;

const char kHost[] = R"({"vms":[
  {"worldGroupId":1001,"displayName":"db01","disks":[{"handleId":8001,"name":"scsi0:0"},
                                                     {"handleId":8002,"name":"scsi0:1"}]},
  {"worldGroupId":1002,"displayName":"web01","disks":[{"handleId":8003,"name":"scsi0:0"}]}]})";

std::string Text(json_t *value) {
  char *text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  std::string out = text ? text : "";
  free(text);
  return out;
}

TEST(Socket, EveryCommandCodeAndExit) {
  Daemon d;
  StartServing(&d, Opts({"-a", "-s"}, kHost));
  Peer p(&d);
  // Each request is followed by a status query: a code that is answered
  // shows its reply first, an unknown one only the status reply. Unknown
  // codes with a payload show that the payload is consumed.
  std::vector<uint32_t> codes;
  for (uint32_t c = 0; c <= 25; c++) {
    if (c != 20) codes.push_back(c);
  }
  codes.insert(codes.end(), {0x7FFFFFFFu, 0xFFFFFFFFu});
  std::map<uint32_t, std::string> answered;
  for (uint32_t c : codes) {
    std::string payload = (c == 12 || c == 13) ? R"({"vmWorldGroups":[]})" : c % 2 ? "" : "{\"x\":1}";
    ASSERT_TRUE(p.Send(Request(c, payload) + Request(11)));
    uint32_t code = 99;
    std::string body;
    ASSERT_EQ(p.Receive(&code, &body), 0) << "code " << c;
    EXPECT_EQ(code, 0u) << "code " << c << ": " << body;
    if (c == 11 || body.rfind(R"({"status":"running")", 0) != 0) {
      answered[c] = body;
      ASSERT_EQ(p.Receive(&code, &body), 0) << "code " << c;
      EXPECT_EQ(body.rfind(R"({"status":"running")", 0), 0u) << "code " << c << ": " << body;
    }
  }
  ASSERT_EQ(answered.size(), 6u);
  EXPECT_EQ(answered.count(10) + answered.count(11) + answered.count(12) + answered.count(13) +
                answered.count(14) + answered.count(15), 6u);
  EXPECT_EQ(answered[11].rfind(R"({"status":"running")", 0), 0u);
  EXPECT_EQ(answered[12], "");
  EXPECT_EQ(answered[13], "");
  Json metrics = ParseJson(answered[10]), rates14 = ParseJson(answered[14]), rates15 = ParseJson(answered[15]);
  EXPECT_EQ(json_array_size(json_object_get(json_object_get(metrics.get(), "vethraMetrics"), "metricFields")), 70u);
  EXPECT_EQ(Text(DocVms(rates14.get())), Text(DocVms(rates15.get())));
  EXPECT_EQ(json_array_size(DocVms(rates14.get())), 2u);
  EXPECT_EQ(FindLogs(&d, "Interface: Unknown Message Type. Ignoring message.").size(), codes.size() - 6);  // all but 10 to 15

  // Exit: exactly eight zero bytes, then the daemon goes away with code 0
  // and its traces off. Another idle connection does not keep it alive.
  Peer idle(&d);
  ASSERT_TRUE(p.Send(Request(20)));
  std::string reply(9, 'x');
  ssize_t n = 0, got = 0;
  while (got < 9 && (n = recv(p.fd, reply.data() + got, 9 - got, 0)) > 0) got += n;
  EXPECT_EQ(got, 8);
  EXPECT_EQ(reply.substr(0, 8), std::string(8, '\0'));
  EXPECT_EQ(WaitExit(&d), 0) << Stderr(&d);
  Json state = ExitState(&d);
  ASSERT_TRUE(state);
  EXPECT_TRUE(TracedHandles(state.get()).empty());
  EXPECT_EQ(FindLogs(&d, "Interface: Exiting Vethra...!").size(), 1u);
}

TEST(Socket, PoweredOffVMVanishesWithItsEntries) {
  Daemon d;
  StartServing(&d, Opts({"-a", "-v", "7"}, kHost));
  EXPECT_EQ(StatusVmIds(&d), "[1001,1002]");  // oldest first
  ASSERT_NE(HostControl(&d, R"({"op":"powerOff","worldGroupId":1001})"), "");
  Json metrics = QueryDoc(&d, 10);
  ASSERT_TRUE(metrics);
  json_t *vms = DocVms(metrics.get());
  ASSERT_EQ(json_array_size(vms), 1u) << Text(vms);
  EXPECT_EQ(JsonInt(json_array_get(vms, 0), "worldGroupId"), 1002);
  EXPECT_EQ(StatusVmIds(&d), "[1002]");
  EXPECT_EQ(FindLogs(&d, " Interface: VM 1001, is DOWN, cleaning up.").size(), 1u) << LogDump(&d);
  EXPECT_EQ(FindLogs(&d, "Main: Hash entry for 1001: 8001 deleted").size(), 1u);
  EXPECT_EQ(FindLogs(&d, "Main: Hash entry for 1001: 8002 deleted").size(), 1u);
  // Back on, it can be added again: nothing of the old registration is left.
  ASSERT_NE(HostControl(&d, R"({"op":"powerOn","worldGroupId":1001})"), "");
  uint32_t code = 99;
  std::string body;
  ASSERT_EQ(DaemonCall(&d, 12, R"({"vmWorldGroups":[1001]})", &code, &body), 0);
  EXPECT_EQ(code, 0u) << body;
  EXPECT_EQ(StatusVmIds(&d), "[1002,1001]");
  ASSERT_TRUE(Signal(&d, SIGTERM));
  EXPECT_EQ(WaitExit(&d), 0);
}

// Independent model of the counters of one disk.
struct Model {
  std::array<int64_t, 70> c{};
  uint64_t lastLba[2] = {}, lastLength[2] = {}, lastTs[2] = {};

  static int SizeBucket(uint64_t length) {
    uint64_t k = length >> 10;
    if (k > 1024) return 18;
    int b = 0;
    for (uint64_t size = 4; size <= 1024; size *= 2, b += 2) {
      if (k < size) return b;
      if (k == size) return b + 1;
    }
    return 18;
  }
  static int LatencyBucket(uint64_t us) {
    const uint64_t bounds[] = {1, 10, 100, 500, 1000, 5000, 10000, 25000, 50000, 100000};
    int b = 0;
    while (b < 10 && us > bounds[b]) b++;
    return b;
  }
  bool Sequential(int d, uint64_t lba, uint64_t length, uint64_t ts) const {
    if (lastLength[d] == 0 || ts - lastTs[d] > 1000000) return false;
    uint64_t prevEnd = lastLba[d] + (lastLength[d] >> 9);
    if (lba == prevEnd || (lba == lastLba[d] && length == lastLength[d])) return true;
    if (prevEnd < lba) return lba - prevEnd <= 32;
    uint64_t newEnd = lba + (length >> 9);
    return lastLba[d] < newEnd || lastLba[d] - newEnd <= 32;
  }
  void Add(int opcode, uint64_t lba, uint64_t length, uint64_t ts, uint64_t latency) {
    int m = opcode & 0x5F;
    if (m != 0x08 && m != 0x0A) return;
    int d = m == 0x0A;
    c[d]++;
    c[2 + d] += static_cast<int64_t>(length);
    if (Sequential(d, lba, length, ts)) {
      c[4 + d]++;
      c[6 + d] += static_cast<int64_t>(length);
    }
    if (lba % 8 == 0 && length % 4096 == 0) c[8 + d]++;
    c[10 + 2 * SizeBucket(length) + d]++;
    c[48 + 2 * LatencyBucket(latency) + d]++;
    lastLba[d] = lba, lastLength[d] = length, lastTs[d] = ts;
  }
};

TEST(Socket, MetricsAndChangeRatesOfInjectedRecords) {
  Daemon d;
  StartServing(&d, Opts({"-a", "-s"}, kHost));
  std::map<uint64_t, Model> model;
  std::string records;
  uint32_t rng = 12345;
  auto next = [&rng](uint32_t n) { return (rng = rng * 1103515245 + 12345) / 65536 % n; };
  const int opcodes[] = {0x28, 0x2A, 0x88, 0x8A, 0x08, 0x0A, 0xA8, 0xAA, 0x35};
  const uint64_t lengths[] = {0, 512, 3584, 4096, 4608, 8192, 12288, 65536, 131072, 1048576, 1049600};
  const uint64_t latencies[] = {1, 2, 10, 11, 100, 101, 500, 501, 1000, 5000, 10001, 50000, 100000, 100001};
  uint64_t ts = 1000;
  auto add = [&](uint64_t handle, int opcode, uint64_t lba, uint64_t length, uint64_t latency) {
    model[handle].Add(opcode, lba, length, ts, latency);
    char rec[256];
    snprintf(rec, sizeof rec,
             R"(%s{"opcode":%d,"worldGroupId":1001,"handleId":%llu,"length":%llu,"lba":%llu,"timestamp":%llu,"latency":%llu})",
             records.empty() ? "" : ",", opcode, static_cast<unsigned long long>(handle),
             static_cast<unsigned long long>(length), static_cast<unsigned long long>(lba),
             static_cast<unsigned long long>(ts), static_cast<unsigned long long>(latency));
    records += rec;
  };
  // Disk 8001: a mix that walks every classification: continuing, repeated,
  // short gaps forwards and backwards, far jumps, and time gaps beyond the
  // sequence window.
  uint64_t lba = 2048;
  for (int i = 0; i < 400; i++) {
    int opcode = opcodes[next(9)];
    uint64_t length = lengths[next(11)];
    switch (next(6)) {
      case 0: lba += length >> 9; break;
      case 1: break;
      case 2: lba += (length >> 9) + next(40); break;
      case 3: lba = lba > 64 ? lba - next(64) : lba; break;
      default: lba = 8ull * next(1000000) + next(2); break;
    }
    ts += next(20) == 0 ? 1500000 : next(3000);
    add(8001, opcode, lba, length, latencies[next(14)]);
  }
  // Disk 8002: 4 KiB writes to 300 distinct blocks, each written twice.
  for (int pass = 0; pass < 2; pass++) {
    for (uint64_t b = 0; b < 300; b++) add(8002, 0x2A, (b * 7919 % 100003) * 8, 4096, 150), ts += 10;
  }
  Json injected = ParseJson(HostControl(&d, R"({"op":"inject","records":[)" + records + "]}"));
  ASSERT_EQ(JsonInt(injected.get(), "appended"), 1000);
  HostControl(&d, R"({"op":"drain"})");

  // Wait until the Consumer has counted every I/O, then compare all 70.
  auto counters = [&](json_t *doc, uint64_t handle) -> json_t * {
    json_t *vm = nullptr;
    for (size_t i = 0; i < json_array_size(DocVms(doc)); i++) {
      if (JsonInt(json_array_get(DocVms(doc), i), "worldGroupId") == 1001) vm = json_array_get(DocVms(doc), i);
    }
    json_t *disk = json_array_get(json_object_get(vm, "vmDisks"), handle == 8001 ? 0 : 1);
    return json_object_get(disk, handle == 8001 ? "ioCounters" : "changeRates");
  };
  int64_t want = model[8001].c[0] + model[8001].c[1];
  Json metrics;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    metrics = QueryDoc(&d, 10);
    json_t *io = counters(metrics.get(), 8001);
    if (json_integer_value(json_array_get(io, 0)) + json_integer_value(json_array_get(io, 1)) >= want ||
        std::chrono::steady_clock::now() > deadline) {
      break;
    }
    usleep(20000);
  }
  json_t *vm = json_array_get(DocVms(metrics.get()), 0);
  ASSERT_EQ(JsonInt(vm, "worldGroupId"), 1001) << Text(DocVms(metrics.get()));
  for (uint64_t handle : {8001, 8002}) {
    json_t *io = json_object_get(json_array_get(json_object_get(vm, "vmDisks"), handle - 8001), "ioCounters");
    ASSERT_EQ(json_array_size(io), 70u);
    for (size_t i = 0; i < 70; i++) {
      EXPECT_EQ(json_integer_value(json_array_get(io, i)), model[handle].c[i])
          << "disk " << handle << " counter " << i;
    }
  }
  // 300 distinct blocks, all within the last five minutes: the same
  // estimate for every window, a multiple of 4096, within the estimator's
  // error of the true count.
  Json rates = QueryDoc(&d, 14);
  json_t *cr = json_object_get(
      json_array_get(json_object_get(json_array_get(DocVms(rates.get()), 0), "vmDisks"), 1), "changeRates");
  ASSERT_EQ(json_array_size(cr), 3u) << Text(DocVms(rates.get()));
  int64_t first = json_integer_value(json_array_get(cr, 0));
  EXPECT_NEAR(static_cast<double>(first), 300 * 4096.0, 300 * 4096.0 * 0.05);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(json_integer_value(json_array_get(cr, i)), first);
    EXPECT_EQ(json_integer_value(json_array_get(cr, i)) % 4096, 0);
  }
  ASSERT_TRUE(Signal(&d, SIGTERM));
  EXPECT_EQ(WaitExit(&d), 0);
}

// Whether a process running as `nobody` may connect (0) or gets -errno.
int ConnectAsNobody(const std::string &path) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    int fd = vtrc_connect(path.c_str());
    _exit(fd >= 0 ? 0 : -fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? -WEXITSTATUS(status) : -1000;
}

// The socket gets the permissions the daemon's umask leaves; connecting
// needs write permission. Root may always connect.
TEST(Socket, UmaskDecidesWhoMayConnect) {
  for (mode_t mask : {0000, 0022, 0077}) {
    mode_t saved = umask(mask);
    Daemon d;
    std::string error;
    bool started = Start(&d, Opts({"-n", "access"}, kHost), &error);
    umask(saved);
    ASSERT_TRUE(started && IsRunning(&d)) << error << Stderr(&d);
    struct stat st;
    ASSERT_EQ(stat(d.SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask) << std::oct << mask;
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(ConnectAsNobody(d.SocketPath()), mask == 0 ? 0 : -EACCES) << std::oct << mask;
    EXPECT_EQ(StatusVmIds(&d), "[]");
    ASSERT_TRUE(Signal(&d, SIGTERM));
    EXPECT_EQ(WaitExit(&d), 0);
  }
}

}  // namespace
