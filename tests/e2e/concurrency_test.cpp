// Requests from several clients while the host streams records on 1024 disks
// (so queries take a while), then SIGTERM with requests in flight: under the
// sanitizer builds a race or a use after free shows on stderr.

#include <atomic>

#include "e2e/harness.h"

namespace {

using namespace e2e;

TEST(ConcurrencyDaemon, RequestsDuringTracingAndShutdown) {
  Daemon d;
  StartServing(&d, {{"-a", "-s", "-n", "busy"}, GeneratedHost(32, 32, R"({"rate":200})")});

  std::atomic<bool> stop{false};
  std::atomic<int> replies{0};
  auto client = [&](int id) {
    const uint32_t commands[] = {10, 11, 14, 12, 13};
    for (int i = 0; !stop.load(); i++) {
      uint32_t command = commands[(i + id) % 5];
      std::string ids = "{\"vmWorldGroups\":[" + std::to_string(5001 + (i + id) % 3) + "]}";
      std::string payload = command == 12 || command == 13 ? ids : "";
      if (Request(&d, command, payload, nullptr, 10000) >= 0) replies++;
    }
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; i++) clients.emplace_back(client, i);

  // Let the clients get going, then shut down underneath them.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (replies.load() < 100 && std::chrono::steady_clock::now() < deadline) usleep(10000);
  EXPECT_GE(replies.load(), 100);
  ASSERT_TRUE(Signal(&d, SIGTERM));
  WaitExit(&d);
  stop = true;
  for (auto &t : clients) t.join();

  EXPECT_EQ(Stderr(&d).find("Sanitizer"), std::string::npos) << Stderr(&d);
  // (A request handler may still hold a parameter list when the process
  // ends, so the list balance is not checked here.)
  ExpectCleanExit(&d);
}

}  // namespace
