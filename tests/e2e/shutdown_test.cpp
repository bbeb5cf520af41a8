// Races are staged with hostsim holds (the next call on a node blocks until
// released), never with sleeps.

#include "e2e/harness.h"

namespace {

using namespace e2e;

constexpr uint32_t kAppend = 12, kExit = 20;
const std::string kAllThree = R"({"vmWorldGroups":[5001,5002,5003]})";

std::string Control(Daemon *d, const std::string &request) {
  std::string error;
  std::string reply = HostControl(d, request, &error);
  EXPECT_EQ(reply.find("error"), std::string::npos) << request << ": " << reply << error;
  return reply;
}

// -w: the VMs a peer added are stopped at exit as well.
TEST(ConcurrencyShutdown, WatchedAndAppendedVMsAreStoppedOnTerm) {
  Daemon d;
  StartServing(&d, {{"-w", "5001"}, GeneratedHost(3, 2)});
  std::string body;
  ASSERT_EQ(Request(&d, kAppend, R"({"vmWorldGroups":[5002]})", &body), 0) << body;
  Json state = HostState(&d);
  ASSERT_EQ(TracedHandles(state.get()).size(), 4u);
  StopCleanly(&d);
}

// An Append whose header arrived before SIGTERM and whose payload arrives
// after the final stop is refused and starts nothing. The Producer is held
// inside a channel read, so the main thread cannot finish its joins (and the
// process cannot end) until the handler has answered.
TEST(ConcurrencyShutdown, AppendCompletingAfterTheStopChangesNothing) {
  Daemon d;
  StartServing(&d, {{"-w", "5001", "-v", "7"}, GeneratedHost(3, 2)});
  Control(&d, R"({"op":"hold","node":"perf_logChannel_data"})");
  Control(&d, R"({"op":"awaitHeld"})");

  Peer p(&d);
  ASSERT_TRUE(p.Send(Frame(kAppend, static_cast<uint32_t>(kAllThree.size()))));
  ASSERT_TRUE(WaitForLog(&d, "Interface: command = 12 ,")) << LogDump(&d);  // header read
  ASSERT_TRUE(Signal(&d, SIGTERM));
  ASSERT_TRUE(WaitForLog(&d, "Monitor: Number of handles disabled :2")) << LogDump(&d);

  ASSERT_TRUE(p.Send(kAllThree));
  std::string body;
  EXPECT_EQ(p.Receive(&body), 1) << LogDump(&d);
  EXPECT_EQ(body, "Unable to append the VM(s)");
  Json state = HostState(&d);
  EXPECT_TRUE(TracedHandles(state.get()).empty()) << JsonText(state.get());
  EXPECT_TRUE(IsRunning(&d));

  Control(&d, R"({"op":"release"})");
  ExpectCleanExit(&d);
}

// The Exit request and SIGTERM together: the Exit request's stop is held on
// its first disk, SIGTERM arrives meanwhile. Nobody goes on to the exit
// before that stop is complete, and it runs once.
TEST(ConcurrencyShutdown, ExitRequestAndTermStopOnce) {
  Daemon d;
  StartServing(&d, {{"-a"}, GeneratedHost(3, 2)});
  Control(&d, R"({"op":"hold","node":"worldGroups_vscsi_stats_stopVethraTrace"})");
  Peer p(&d);
  ASSERT_TRUE(p.Send(Frame(kExit, 0)));
  std::string body;
  EXPECT_EQ(p.Receive(&body), 0) << body;
  Control(&d, R"({"op":"awaitHeld"})");
  ASSERT_TRUE(Signal(&d, SIGTERM));
  EXPECT_TRUE(IsRunning(&d));
  Json state = HostState(&d);
  EXPECT_EQ(TracedHandles(state.get()).size(), 6u);

  Control(&d, R"({"op":"release"})");
  ExpectCleanExit(&d);
  int stopped = -1, exiting = -1, index = 0;
  for (const LogLine &line : Lines(&d)) {
    if (line.text == "Monitor: Number of handles disabled :6") stopped = stopped < 0 ? index : -2;
    if (line.text == "Interface: Exiting Vethra...!") exiting = exiting < 0 ? index : -2;
    index++;
  }
  EXPECT_GE(stopped, 0) << LogDump(&d);  // exactly once
  EXPECT_GT(exiting, stopped) << LogDump(&d);
}

}  // namespace
