// End-to-end tests of SIGTERM arriving at any moment: during start-up and
// during heavy ingest (during long queries: concurrency_test). Each time the daemon must end
// with exit code 0, without a crash, and with every trace it started
// switched off again (hostsim records its state when the process ends).
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <thread>

#include "e2e/harness.h"

namespace {

using namespace e2e;

// Exit code 0 and no trace left in the host.
void ExpectCleanExit(Daemon *d) {
  EXPECT_EQ(WaitExit(d), 0) << Stderr(d) << LogDump(d);
  Json state = ExitState(d);
  ASSERT_TRUE(state) << "hostsim recorded no state at exit";
  EXPECT_TRUE(TracedHandles(state.get()).empty()) << ReadFile(d->StatePath());
}

TEST(Signals, TermDuringStartUp) {
  const std::string host = GeneratedHost(64, 32);
  // Well inside the tracing of 2048 disks.
  {
    Daemon d;
    std::string error;
    ASSERT_TRUE(Start(&d, Opts({"-a", "-s"}, host, false), &error)) << error;
    ASSERT_TRUE(WaitForLog(&d, "Main: Adding new hashentry")) << Stderr(&d);
    ASSERT_TRUE(Signal(&d, SIGTERM));
    size_t entriesAtSignal = FindLogs(&d, "Main: Adding new hashentry").size();
    ExpectCleanExit(&d);
    // Start-up went on to the end after the signal: every disk was entered
    // (and then switched off again by the shutdown).
    EXPECT_EQ(FindLogs(&d, "Main: Adding new hashentry").size(), 2048u);
    if (entriesAtSignal == 2048u) std::cerr << "note: start-up had ended before the signal\n";
  }
  // At assorted moments from the library's first call on: before the
  // handler is installed SIGTERM's default action ends the process (143)
  // before it has traced anything; from then on the exit is clean.
  for (int delayUs : {0, 1000, 5000, 20000, 60000, 150000}) {
    Daemon d;
    std::string error;
    ASSERT_TRUE(Start(&d, Opts({"-a"}, GeneratedHost(8, 8), false), &error)) << error;
    ASSERT_TRUE(WaitControl(&d)) << Stderr(&d);
    usleep(delayUs);
    ASSERT_TRUE(Signal(&d, SIGTERM));
    if (WaitExit(&d) == 128 + SIGTERM) {
      EXPECT_TRUE(FindLogs(&d, "Main: Adding new hashentry").empty()) << delayUs;
      continue;
    }
    SCOPED_TRACE(delayUs);
    ExpectCleanExit(&d);
  }
}

TEST(Signals, TermDuringHeavyIngest) {
  Daemon d;
  // 8 disks at 40000 I/Os per second each, half of them writes that feed
  // the sliding estimators.
  StartServing(&d, Opts({"-a", "-s"}, GeneratedHost(2, 4, R"({"rate":40000,"readFraction":0.5})")));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  int64_t seen = 0;
  while (seen < 100000 && std::chrono::steady_clock::now() < deadline) {
    Json state = HostState(&d);
    seen = JsonInt(state.get(), "recordsAcknowledged");
    usleep(50000);
  }
  ASSERT_GE(seen, 100000) << "the daemon did not ingest";
  ASSERT_TRUE(Signal(&d, SIGTERM));
  ExpectCleanExit(&d);
  EXPECT_EQ(FindLogs(&d, "Main: Received signal 15.Cleaning up...").size(), 1u);
}

}  // namespace
