#include <math.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <sstream>

#include "e2e/harness.h"

namespace {

using namespace e2e;

struct ToolRun {
  int code = -1;
  std::string out, err;
};

// Runs vethractl on the daemon's socket; its stdout and stderr are kept apart.
ToolRun Vethractl(Daemon *d, const std::string &args) {
  ToolRun r;
  std::string errPath = d->dir + "/vethractl.err";
  r.out = Shell(
      std::string(VETHRACTL_BINARY) + " --socket " + d->SocketPath() + " " + args + " 2>" + errPath,
      &r.code);
  r.err = ReadFile(errPath);
  return r;
}

const char kTwoVms[] =
    R"({"vms":[{"worldGroupId":5001,"disks":[{"handleId":1}]},{"worldGroupId":5002,"disks":[{"handleId":1}]}]})";

// Known, unknown and already watched ids in one request: each id gets its
// line, the exit status says whether every id ended in the requested state,
// and repeating a request that succeeded succeeds again.
TEST(Vethractl, AddAndRemoveReportEachId) {
  Daemon d;
  StartServing(&d, {{"-w", "5001"}, kTwoVms});
  const struct {
    const char *args;
    int code;
    const char *out;
    const char *errHas;  // "" when stderr must be empty
    const char *watched;
  } steps[] = {
      // The daemon's reply is an error (its last id fails), yet 5002 is added.
      {"add 5001 5002 99999", 1, "5001: already watched\n5002: added\n", "99999: not added",
       "[5001,5002]"},
      {"add 5002 5001", 0, "5002: already watched\n5001: already watched\n", "", "[5001,5002]"},
      {"remove 5002 99999", 0, "5002: removed\n99999: not watched\n", "", "[5001]"},
      {"remove 5002", 0, "5002: not watched\n", "", "[5001]"},
      {"add 99998 5002", 1, "5002: added\n", "vethractl: failed: 99998", "[5001,5002]"},
  };
  for (const auto &s : steps) {
    ToolRun r = Vethractl(&d, s.args);
    EXPECT_EQ(r.code, s.code) << s.args << "\n" << r.out << r.err;
    EXPECT_EQ(r.out, s.out) << s.args;
    EXPECT_TRUE(*s.errHas ? r.err.find(s.errHas) != std::string::npos : r.err.empty())
        << s.args << ": " << r.err;
    EXPECT_EQ(StatusVmIds(&d), s.watched) << s.args;
  }
}

// A loopback port that was free a moment ago.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bool ok = bind(fd, (sockaddr *)&a, len) == 0 && getsockname(fd, (sockaddr *)&a, &len) == 0;
  close(fd);
  return ok ? ntohs(a.sin_port) : -1;
}

const char kSteadyHost[] = R"({"vms":[{"worldGroupId":5001,"disks":[)"
                           R"({"handleId":1,"name":"slow","workload":{"rate":200}},)"
                           R"({"handleId":2,"name":"busy","workload":{"rate":1900}}]}]})";
const std::map<std::string, double> kSteadyIops = {{"slow", 200}, {"busy", 1900}};
using Samples = std::map<std::string, std::vector<std::pair<double, double>>>;  // (IOPS, seconds)

// n samples of each disk (and no other); each rate within 15 % of its
// disk's, the mean weighted by the intervals within 5 %.
void ExpectSteady(Samples samples, size_t n, const std::string &context) {
  for (const auto &[disk, want] : kSteadyIops) {
    ASSERT_EQ(samples[disk].size(), n) << disk << "\n" << context;
    double ios = 0, seconds = 0;
    for (auto [iops, took] : samples[disk]) {
      EXPECT_LE(fabs(iops - want), 0.15 * want) << disk << "\n" << context;
      ios += iops * took;
      seconds += took;
    }
    EXPECT_LE(fabs(ios / seconds - want), 0.05 * want) << disk << "\n" << context;
  }
  EXPECT_EQ(samples.size(), kSteadyIops.size()) << context;
}

// Rates over 1, 1.5 and 2.5 s, in vethractl and in the exporter: counters
// follow the records within milliseconds, not in one-second steps that made
// rates alias (0.67 and 1.33 times the rate at 1.5 s, 0.8 and 1.2 at 2.5 s).
// A stalled generator on a loaded machine moves a few records into the next
// interval, so single rates get 15 % (which every aliased rate misses) and
// the weighted mean 5 %.
TEST(Vethractl, RatesOfASteadyWorkloadDoNotAlias) {
  Daemon d;
  StartServing(&d, {{"-w", "5001"}, kSteadyHost});
  MetricsMap m;  // both generators running: both disks count
  ASSERT_TRUE(WaitMetrics(&d, &m, [](const MetricsMap &m) {
    return m.size() == 2 && m.begin()->second[0] + m.begin()->second[1] > 0 &&
           m.rbegin()->second[0] + m.rbegin()->second[1] > 0;
  }));
  for (const char *interval : {"1", "1.5", "2.5"}) {
    ToolRun r = Vethractl(&d, std::string("metrics --interval ") + interval + " --count 2");
    ASSERT_EQ(r.code, 0) << r.err;
    Samples rates;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream cells(line);
      std::string vm, wgid, disk;
      double readIops = 0, writeIops = 0;
      if (!(cells >> vm >> wgid >> disk >> readIops >> writeIops) || !kSteadyIops.count(disk))
        continue;
      rates[disk].push_back({readIops + writeIops, atof(interval)});
    }
    ExpectSteady(rates, 2, r.out);
  }

  // The exporter keeps the samples of earlier requests and takes the rates
  // against the newest one at least a second older: the previous poll here.
  int port = FreePort();
  ASSERT_GT(port, 0);
  std::string listen = "127.0.0.1:" + std::to_string(port);
  pid_t exporter = fork();
  if (exporter == 0) {
    execl(VETHRACTL_BINARY, "vethractl", "--socket", d.SocketPath().c_str(), "exporter", "--listen",
          listen.c_str(), (char *)nullptr);
    _exit(127);
  }
  std::string url = "http://" + listen + "/api/v1/metrics";
  for (int i = 0; i < 200 && Shell("curl -s --max-time 10 " + url).empty(); i++) usleep(50 * 1000);
  Samples rates;
  std::string replies;
  for (double interval : {1.0, 1.5, 2.5}) {
    usleep((useconds_t)(interval * 1e6));
    Json body = ParseJson(Shell("curl -s --max-time 10 " + url));
    ASSERT_TRUE(body) << "no JSON from " << url;
    json_t *polled = json_object_get(body.get(), "rates");
    replies += JsonText(polled) + "\n";
    double took = json_number_value(json_object_get(polled, "intervalSeconds"));
    EXPECT_GE(took, 1.0) << JsonText(polled);
    size_t i;
    json_t *disk;
    json_array_foreach(json_object_get(polled, "disks"), i, disk) {
      rates[json_string_value(json_object_get(disk, "vscsiDevName"))].push_back(
          {json_number_value(json_object_get(disk, "readIops")) +
               json_number_value(json_object_get(disk, "writeIops")),
           took});
    }
  }
  ExpectSteady(rates, 3, replies);
  kill(exporter, SIGTERM);
  waitpid(exporter, nullptr, 0);
}

}  // namespace
