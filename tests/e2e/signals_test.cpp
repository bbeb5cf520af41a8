// SIGTERM during start-up (during heavy ingest: stress_test; during long
// queries: concurrency_test) ends the daemon cleanly with every trace off.

#include "e2e/harness.h"

namespace {

using namespace e2e;

TEST(Signals, TermDuringStartUp) {
  // Well inside the tracing of 2048 disks.
  {
    Daemon d;
    ASSERT_TRUE(Start(&d, {{"-a", "-s"}, GeneratedHost(64, 32)}));
    ASSERT_TRUE(WaitForLog(&d, "Main: Adding new hashentry")) << Stderr(&d);
    ASSERT_TRUE(Signal(&d, SIGTERM));
    ExpectCleanExit(&d);
    // Start-up went on to the end after the signal: every disk was entered
    // (and then switched off again by the shutdown).
    EXPECT_EQ(FindLogs(&d, "Main: Adding new hashentry").size(), 2048u);
  }
  // At assorted moments from the library's first call on: before the
  // handler is installed SIGTERM's default action ends the process (143)
  // before it has traced anything; from then on the exit is clean.
  for (int delayUs : {0, 1000, 5000, 20000, 60000, 150000}) {
    Daemon d;
    ASSERT_TRUE(Start(&d, {{"-a"}, GeneratedHost(8, 8)}));
    ASSERT_TRUE(WaitListening(&d, d.controlPath)) << Stderr(&d);
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

}  // namespace
