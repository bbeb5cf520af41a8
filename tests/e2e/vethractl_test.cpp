// End-to-end tests of vethractl against the real daemon: what add and remove
// report per id, and rates of a steady workload over intervals that are not
// whole seconds.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

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
  std::string cmd = std::string(VETHRACTL_BINARY) + " --socket " + d->SocketPath() + " " + args + " 2>" + errPath;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  StartServing(&d, Opts({"-w", "5001"}, kTwoVms));
  const struct {
    const char *args;
    int code;
    const char *out;
    const char *errHas;  // "" when stderr must be empty
    const char *watched;
  } steps[] = {
      // The daemon's reply is an error (its last id fails), yet 5002 is added.
      {"add 5001 5002 99999", 1, "5001: already watched\n5002: added\n", "99999: not added", "[5001,5002]"},
      {"add 5002 5001", 0, "5002: already watched\n5001: already watched\n", "", "[5001,5002]"},
      {"remove 5002 99999", 0, "5002: removed\n99999: not watched\n", "", "[5001]"},
      {"remove 5002", 0, "5002: not watched\n", "", "[5001]"},
      {"add 99998 5002", 1, "5002: added\n", "vethractl: failed: 99998", "[5001,5002]"},
  };
  for (const auto &s : steps) {
    ToolRun r = Vethractl(&d, s.args);
    EXPECT_EQ(r.code, s.code) << s.args << "\n" << r.out << r.err;
    EXPECT_EQ(r.out, s.out) << s.args;
    if (*s.errHas) {
      EXPECT_NE(r.err.find(s.errHas), std::string::npos) << s.args << ": " << r.err;
    } else {
      EXPECT_EQ(r.err, "") << s.args;
    }
    EXPECT_EQ(StatusVmIds(&d), s.watched) << s.args;
  }
}

// Steady workloads of 200 and 1,900 IOPS read within 5 % over intervals of
// 1, 1.5 and 2.5 s: counters follow the records within milliseconds, not in
// the one-second steps that made such rates alias (0, then twice the rate).
TEST(Vethractl, RatesOfASteadyWorkloadDoNotAlias) {
  Daemon d;
  StartServing(&d, Opts({"-w", "5001"},
                        R"({"vms":[{"worldGroupId":5001,"disks":[)"
                        R"({"handleId":1,"name":"slow","workload":{"rate":200}},)"
                        R"({"handleId":2,"name":"busy","workload":{"rate":1900}}]}]})"));
  // Both generators are running once both disks have counted I/Os.
  for (int i = 0; i < 200; i++) {
    MetricsMap m;
    std::string body, why;
    uint32_t code = 0;
    if (DaemonCall(&d, 10, "", &code, &body) == 0 && ParseMetrics(body, &m, &why) && m.size() == 2 &&
        m.begin()->second[0] + m.begin()->second[1] > 0 && m.rbegin()->second[0] + m.rbegin()->second[1] > 0) {
      break;
    }
    usleep(50 * 1000);
  }
  const std::map<std::string, double> expected = {{"slow", 200}, {"busy", 1900}};
  for (const char *interval : {"1", "1.5", "2.5"}) {
    ToolRun r = Vethractl(&d, std::string("metrics --interval ") + interval + " --count 2");
    ASSERT_EQ(r.code, 0) << r.err;
    int rows = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream cells(line);
      std::string vm, wgid, disk;
      double readIops = 0, writeIops = 0;
      if (!(cells >> vm >> wgid >> disk >> readIops >> writeIops) || !expected.count(disk)) continue;
      rows++;
      double want = expected.at(disk);
      EXPECT_LE(fabs(readIops + writeIops - want), 0.05 * want) << "interval " << interval << "\n" << r.out;
    }
    EXPECT_EQ(rows, 4) << r.out;
  }
}

}  // namespace
