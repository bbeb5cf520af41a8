#include <sys/stat.h>

#include <regex>

#include "e2e/harness.h"

namespace {

using namespace e2e;

const char kUsage[] =
    "Vethra is a tool to monitor io operations.\n"
    "Usage:\n"
    "   vethra <options>\n"
    "\n"
    "   -h, --help : Prints this usage message\n"
    "   -l, --list : Lists  powered-on virtual machines and their drevs\n"
    "   -d, --duration <dur in seconds> : Monitoring duration\n"
    "   -a, --all  : Monitor all VMs/DREVs in the host\n"
    "   -w, --worldgroupid <wg-id> : WorldGroup ID of VM. To specify\n"
    "                      more than 1 VM, use separate -w for each VM.\n"
    "   -n, --name <instanceName> \n"
    "   -s, --changerate_shll :\n"
    "             Enable change rate estimation using Sliding  Hyperloglog\n"
    "   -c, --changerate_hll :\n"
    "             Enable change rate estimation using Hyperloglog\n"
    "   -v, --verbose <level>: Log level <0-7>. Default level is 6 (INFO)\n";

const std::string kHost = GeneratedHost(1, 2);  // VM 5001, disks scsi0:0 and scsi0:1

const char kMismatchHost[] =
    R"({"signatureMatches":false,"hostBuildDate":"Feb 02 2024 11:22:33","vms":[]})";

TEST(ProcessFrame, UsageTextAndExitCodes) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string stdoutText;
  } cases[] = {
      {{}, 3, kUsage},
      {{"-h"}, 0, kUsage},
      {{"--help"}, 0, kUsage},
      {{"-x"}, 0, kUsage},
      {{"-t"}, 0, kUsage},
      {{"-m"}, 0, kUsage},
      {{"--bogus"}, 0, kUsage},
      {{"-d"}, 0, kUsage},  // missing argument
      // the action stops at the first unknown option: -v after it is not read
      {{"-x", "-v", "7"}, 0, kUsage},
      {{"-h", "-a", "-w", "5", "-c"}, 0, kUsage},
      {{"-v", "7", "-h"}, 0, std::string("Main: Debug level changed to 7\n") + kUsage},
      {{"--verbose", "4", "-v", "x", "-h"},
       0,
       std::string("Main: Debug level changed to 4\nMain: Debug level changed to 0\n") + kUsage},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Daemon d;
    EXPECT_EQ(RunToExit(&d, {c.args, kHost}), c.exitCode) << Stderr(&d);
    EXPECT_EQ(Stdout(&d), c.stdoutText);
    // No start-up action: nothing is logged and no socket appears.
    EXPECT_EQ(LogDump(&d), "");
    EXPECT_NE(access(d.SocketPath().c_str(), F_OK), 0);
  }
}

TEST(ProcessFrame, SignatureMismatchExits1BeforeOptions) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-h"}, {"-a", "-v", "7"}}) {
    Daemon d;
    EXPECT_EQ(RunToExit(&d, {args, kMismatchHost}), 1);
    EXPECT_EQ(Stdout(&d), "");
    auto lines = Lines(&d);
    EXPECT_TRUE(std::regex_match(
        LogDump(lines),
        std::regex(R"(\[3\] VTR_CheckTARNVersion:md5 signature mismatch with )"
                   R"(running Server built on Feb 02 2024 11:22:33 \(vethra )"
                   R"(build date: [^\n]*\)\n\[3\] Main: TARN signature mismatch\n)")))
        << LogDump(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].ident, "vethra");
    EXPECT_EQ(lines[0].facility, 1);  // LOG_USER
  }
}

TEST(ProcessFrame, OversizedWorldGroupListAndNameAreRefused) {
  auto ids = [](int n) {
    std::vector<std::string> args;
    for (int i = 1; i <= n; i++) args.insert(args.end(), {"-w", std::to_string(i)});
    args.push_back("-h");
    return args;
  };
  std::string name1023(1023, 'n'), name1024(1024, 'n');
  struct Case {
    std::vector<std::string> args;
    bool refused;
  } cases[] = {
      {ids(500), false},
      {ids(501), true},
      {{"-n", name1023, "-h"}, false},
      {{"-n", name1024, "-h"}, true},
  };
  for (const auto &c : cases) {
    Daemon d;
    // 2 is the documented code of a refused option.
    EXPECT_EQ(RunToExit(&d, {c.args, kHost}), c.refused ? 2 : 0) << Stderr(&d);
    EXPECT_EQ(Stderr(&d).empty(), !c.refused) << Stderr(&d);
    EXPECT_EQ(Stdout(&d), kUsage);
  }
}

TEST(ProcessFrame, SingleInstanceRefusedButListModeRuns) {
  Daemon d;
  StartServing(&d, {{"-n", "first"}, kHost});
  // A second vethra beside the first, in its namespaces, on the same host
  // but with a control socket of its own.
  auto second = [&](const std::string &option, int *code) {
    return Shell("env -u HOSTSIM_STATE_AT_EXIT HOSTSIM_CONTROL=" + d.dir + "/second" + option +
                     ".ctl HOSTSIM_CONFIG=" + d.hostConfigPath + " timeout -s KILL 20 nsenter -t " +
                     std::to_string(d.initPid) + " -m -p " VETHRA_BINARY " " + option +
                     " 2>/dev/null",
                 code);
  };
  int code = -1;
  EXPECT_EQ(second("-a", &code), "Main: An instance of Vethra is already running.\n");
  EXPECT_EQ(code, 4);
  std::string out = second("-l", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out.find("already running"), std::string::npos) << out;
  EXPECT_NE(out.find("Virtual Machine worldGroupID: 5001"), std::string::npos) << out;
  // The refused instance changed nothing: the first one still serves.
  EXPECT_TRUE(WaitListening(&d, d.SocketPath()));
  StopCleanly(&d);
}

// SIGHUP, SIGINT and SIGTERM end the run with exit code 0 after the clean-up;
// SIGALRM does so only with a duration (-d).
TEST(ProcessFrame, SignalsEndTheRunWithExitCode0) {
  const struct {
    int sig;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {{SIGHUP, {"-a"}, "Main: Received signal 1.Cleaning up..."},
               {SIGINT, {"-a"}, "Main: Received signal 2.Cleaning up..."},
               {SIGTERM, {"-a"}, "Main: Received signal 15.Cleaning up..."},
               {SIGALRM, {"-d", "600"}, "Main: Runtime exceeds configured duration. Exiting"}};
  for (const auto &c : cases) {
    Daemon d;
    StartServing(&d, {c.args, kHost});
    ASSERT_TRUE(Signal(&d, c.sig));
    EXPECT_EQ(WaitExit(&d), 0) << Stderr(&d);
    EXPECT_EQ(LogDump(FindLogs(&d, c.message)), "[6] " + c.message + "\n") << LogDump(&d);
    EXPECT_TRUE(FindLogs(&d, "Main: Failed to stop tracing.").empty()) << LogDump(&d);
  }

  Daemon plain;
  StartServing(&plain, {{"-n", "plain"}, kHost});
  ASSERT_TRUE(Signal(&plain, SIGALRM));
  // Proving that nothing happens needs a wait: the main thread acts on an
  // exit request within 500 ms, so 1.5 s covers it even on a slow machine.
  EXPECT_EQ(WaitExit(&plain, 1500), -1) << "SIGALRM without -d ended the daemon";
  EXPECT_TRUE(WaitListening(&plain, plain.SocketPath(), 1000));
  EXPECT_TRUE(FindLogs(&plain, "Runtime exceeds").empty());
}

TEST(ProcessFrame, SocketCreationFailureExits6) {
  Daemon d;
  // A non-empty directory where the socket goes can be neither removed nor
  // bound over.
  std::string blocker = d.SocketPath();
  ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((blocker + "/keep").c_str(), 0755), 0);
  RunToExit(&d, {{"-a"}, kHost});
  // Both disks were traced before the socket failed; neither is left on.
  ExpectCleanExit(&d, 6);
  EXPECT_EQ(LogDump(FindLogs(&d, "Main: Failed to create")),
            "[3] Main: Failed to create Unix Domain Socket.\n");
  EXPECT_EQ(FindLogs(&d, "Monitor: Number of handles disabled :2").size(), 1u) << LogDump(&d);
}

// Exit code 5 (no disk table) is not reached: that small allocation fails
// only when the whole process is out of memory.

TEST(ProcessFrame, LogLevelGatesSyslog) {
  // Level 2 silences everything, even the shutdown message.
  Daemon quiet;
  StartServing(&quiet, {{"-v", "2", "-a", "-c"}, kHost});
  StopCleanly(&quiet);
  EXPECT_EQ(LogDump(&quiet), "");
  EXPECT_EQ(Stdout(&quiet), "Main: Debug level changed to 2\n");

  // Debug messages (here the change-rate reply dump) appear only at level 7.
  for (bool debug : {false, true}) {
    Daemon d;
    std::vector<std::string> args = {"-a", "-c"};
    if (debug) args.insert(args.begin(), {"-v", "7"});
    StartServing(&d, {args, kHost});
    std::string body;
    ASSERT_EQ(Request(&d, 14, "", &body), 0) << body;
    StopCleanly(&d);
    const std::string log = "\n" + LogDump(&d);
    EXPECT_NE(log.find("\n[6] "), std::string::npos) << log;
    EXPECT_EQ(log.find("\n[-1] "), std::string::npos) << log;
    EXPECT_EQ(log.find("\n[7] ") != std::string::npos, debug) << log;
    EXPECT_EQ(FindLogs(&d, "Interface: CR Metric info: ").empty(), !debug) << log;
  }
}

// -c alone selects HyperLogLog, whose estimates stay 0 until its first 5-minute
// period ends; -s, with or without -c and in either order, selects the
// sliding estimator, which counts the written blocks at once.
TEST(ProcessFrame, ChangeRateOptionsSelectTheEstimator) {
  enum Mode { kDisabled, kHll, kSliding };
  const struct {
    std::vector<std::string> args;
    Mode mode;
  } cases[] = {{{"-a"}, kDisabled},
               {{"-a", "-c"}, kHll},
               {{"-a", "-s"}, kSliding},
               {{"-a", "-c", "-s"}, kSliding},
               {{"-a", "--changerate_shll", "--changerate_hll"}, kSliding}};
  // 256 back-to-back aligned 4 KiB writes on disk scsi0:0 (distinct blocks),
  // 100 aligned 8 KiB reads far apart on scsi0:1.
  const int kWrites = 256, kReads = 100;
  Json records(json_array());
  for (int i = 0; i < kWrites + kReads; i++) {
    bool w = i < kWrites;
    json_array_append_new(
        records.get(),
        json_pack("{s:i,s:i,s:i,s:i,s:i,s:i,s:i}", "worldGroupId", 5001, "opcode", w ? 42 : 40,
                  "handleId", w ? 5001000 : 5001001, "length", w ? 4096 : 8192, "lba",
                  w ? i * 8 : i * 1000, "latency", w ? 150 : 2000, "timestamp", 1000 + i));
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.back());
    Daemon d;
    StartServing(&d, {c.args, kHost});
    std::string reply =
        HostControl(&d, R"({"op":"inject","records":)" + JsonText(records.get()) + "}");
    ASSERT_EQ(JsonInt(ParseJson(reply).get(), "appended"), kWrites + kReads) << reply;
    HostControl(&d, R"({"op":"drain"})");
    // Every read counted on scsi0:1 (the last records) before the estimate
    // is asked for.
    MetricsMap got;
    ASSERT_TRUE(WaitMetrics(&d, &got, [&](const MetricsMap &m) {
      return m.size() == 2 && m.rbegin()->second[0] >= kReads;
    }));
    std::string body;
    int64_t code = Request(&d, 14, "", &body);
    if (c.mode == kDisabled) {
      EXPECT_EQ(code, 1);
      EXPECT_EQ(body, "Change rate estimation is disabled");
      continue;
    }
    ASSERT_EQ(code, 0) << body;
    Json doc = ParseJson(body);
    json_t *disk =
        json_array_get(json_object_get(json_array_get(DocVms(doc.get()), 0), "vmDisks"), 0);
    json_t *rates = json_object_get(disk, "changeRates");
    if (c.mode == kHll) {
      EXPECT_EQ(JsonText(rates), "[0,0,0]");
      continue;
    }
    ASSERT_EQ(json_array_size(rates), 3u) << body;
    for (size_t i = 0; i < 3; i++) {
      int64_t bytes = json_integer_value(json_array_get(rates, i));
      // The estimator's error is a few percent at this cardinality.
      EXPECT_NEAR(static_cast<double>(bytes), kWrites * 4096.0, kWrites * 4096.0 * 0.1) << body;
      EXPECT_EQ(bytes % 4096, 0) << body;
    }
  }
}

}  // namespace
