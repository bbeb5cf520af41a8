// The socket interface in-process: framing, the Listener, the requests and
// the metrics and change-rate documents.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "base/clock.h"
#include "base/config.h"
#include "base/log.h"
#include "hostsim.h"
#include "interface/requests.h"
#include "unit/test_support.h"
#include "vethra_client.h"

using namespace vtrtest;

namespace {

struct Reply {
  int rc = -1;
  uint32_t code = 99;
  std::string body;
  auto All() const { return std::tie(rc, code, body); }
};
const auto kEmptyOk = std::make_tuple(0, 0u, "");

// A Message Handler thread on one end of a socketpair; the test is the peer.
// Closing the peer end ends the handler, which closes its own end.
struct Connection {
  int peer = -1, server = -1;
  std::thread handler;

  Connection() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    peer = sv[0];
    server = sv[1];
    handler = std::thread(
        [fd = server] { VTR_UDSReceive(reinterpret_cast<void *>(static_cast<intptr_t>(fd))); });
  }
  ~Connection() {
    close(peer);
    if (handler.joinable()) handler.join();
  }
  void SendRaw(const std::string &bytes) const {
    send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  Reply Receive() const {
    Reply r;
    r.rc = vtrc_recv_reply(peer, &r.code, &r.body, 10000);
    return r;
  }
  Reply Call(uint32_t command, const std::string &payload = "") const {
    SendRaw(Frame(command, static_cast<uint32_t>(payload.size()), payload));
    return Receive();
  }
};

void ConfigureHost(const char *json) { ASSERT_EQ(hostsim_configure(json, nullptr), 0); }
void HostControl(const char *request) { hostsim_free(hostsim_control(request)); }

constexpr const char kIdleStatus[] =
    R"({"status":"running","runName":"","duration":0,"vmWorldGroups":[]})";

class InterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTR_ResetRunConfig();
    ResetRegistry();
    StartLogCapture();
  }
  void TearDown() override {
    hostsim_configure(R"({"vms":[]})", nullptr);
    StopLogCapture();
    {
      RegistryGuard guard;
      VTR_FinaliseRegistry();
    }
    VTR_SetClock(nullptr);
    VTR_ResetRunConfig();
  }
};

TEST_F(InterfaceTest, ReplyBytesAreHeaderAndTextWithoutNul) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  char buf[64];
  EXPECT_EQ(VTR_SendResponse(sv[1], "Unable to delete the VM", 23, VTR_REPLY_ERROR), VTR_OK);
  EXPECT_EQ(std::string(buf, recv(sv[0], buf, sizeof buf, MSG_DONTWAIT)),
            std::string("\0\0\0\1\0\0\0\x17", 8) + "Unable to delete the VM");
  EXPECT_EQ(VTR_SendResponse(sv[1], nullptr, 0, VTR_REPLY_OK), VTR_OK);
  EXPECT_EQ(std::string(buf, recv(sv[0], buf, sizeof buf, MSG_DONTWAIT)), std::string(8, '\0'));
  // A peer that has gone away makes the send fail (logged, not returned)
  // rather than raise SIGPIPE (a send raises it in its own thread).
  close(sv[0]);
  static std::atomic<bool> piped{false};
  auto previous = signal(SIGPIPE, [](int) { piped = true; });
  EXPECT_EQ(VTR_SendResponse(sv[1], "x", 1, VTR_REPLY_OK), VTR_OK);
  signal(SIGPIPE, previous);
  EXPECT_FALSE(piped);
  EXPECT_TRUE(Logged("Interface: Header bytes sent to quorrel: -1"));
  close(sv[1]);
}

TEST_F(InterfaceTest, SplitHeaderAndPiecewisePayloadAreAssembled) {
  Connection c;
  // Part of the header, its rest, then the payload in two pieces.
  const std::string request = Frame(VTR_CMD_APPEND_VMS, 20) + R"({"vmWorldGroups":[]})";
  size_t from = 0;
  for (size_t to : {size_t{3}, size_t{8}, size_t{12}, request.size()}) {
    c.SendRaw(request.substr(from, to - from));
    from = to;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(c.Receive().All(), kEmptyOk);
  EXPECT_TRUE(Logged(R"(Interface: Received Append VMs Message : {"vmWorldGroups":[]})"));
}

// Requests on a connection are answered in order, so when the status reply
// is the next thing to arrive the request before it got no reply.
TEST_F(InterfaceTest, LengthLimitAndUnknownCodesGetNoReplyConnectionStaysServed) {
  Connection c;
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY, std::string(VTR_MAX_MSG_SIZE, 'x')).body, kIdleStatus);
  // One byte more: dropped unread; the next 8 bytes are the next header.
  c.SendRaw(Frame(VTR_CMD_STATUS_QUERY, VTR_MAX_MSG_SIZE + 1));
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
  EXPECT_TRUE(Logged("Interface: Received packet size exceeded limit."));
  EXPECT_TRUE(Logged(std::string("Interface: Failed to receive packet: ") +
                     BREL_ReturnStatusToString(VTR_LIMIT_EXCEEDED)));
  for (uint32_t code : {0u, 9u, 16u, 19u, 21u, 0xFFFFFFFFu}) {
    c.SendRaw(Frame(code, 2) + "{}");
    EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus) << code;
  }
  EXPECT_TRUE(Logged("Interface: Unknown Message Type. Ignoring message."));
}

TEST_F(InterfaceTest, PeerCloseDuringPayloadEndsHandler) {
  {
    Connection c;
    c.SendRaw(Frame(VTR_CMD_APPEND_VMS, 10) + "{\"vm");
  }  // joins the handler: it must end on the close
  // The bytes sent before the close are still read: header, part of the payload.
  EXPECT_TRUE(Logged("Interface: The remote connection is closed"));
  EXPECT_EQ(CountLogged(R"(Interface: Received cmd code: 12.)"), 0u);
}

TEST_F(InterfaceTest, ListenerServesCallsAndEndsOnShutdown) {
  const std::string path = "/tmp/vethra-unit-" + std::to_string(getpid()) + ".uds";
  EXPECT_EQ(vtrc_error_text(vtrc_connect(path.c_str()), path.c_str()),
            "vethra is not running (no socket at " + path + ")");
  // A stale file at the path does not block the bind.
  fclose(fopen(path.c_str(), "w"));
  int listenFd = -1;
  ASSERT_EQ(VTR_InitUDSAt(path.c_str(), &listenFd), VTR_OK);
  std::thread listener([&] { VTR_UDSListener(&listenFd); });

  uint32_t code = 99;
  std::string body;
  ASSERT_EQ(vtrc_call(path.c_str(), VTRC_CMD_STATUS, "", &code, &body), 0);
  EXPECT_EQ(std::tie(code, body), std::make_tuple(0u, kIdleStatus));
  // An unknown code gets no reply: the client reports a time-out.
  EXPECT_EQ(vtrc_call(path.c_str(), 16, "", &code, &body, 200), -ETIMEDOUT);

  // The detached handlers end on the clients' close (before the next test
  // resets the configuration they read).
  while (CountLogged("Interface: Message Handler thread initialized.") !=
         CountLogged("Interface: The remote connection is closed.MessageHandler thread exiting.")) {
    std::this_thread::yield();
  }
  // The shutdown's way of ending the Listener: the flag, then the socket
  // shut down so that accept() returns.
  exitRequested.store(true);
  shutdown(listenFd, SHUT_RDWR);
  listener.join();
  close(listenFd);
  unlink(path.c_str());
}

constexpr const char kTwoVmHost[] = R"({"vms":[
  {"worldGroupId":5001,"displayName":"alpha","disks":[{"handleId":101},{"handleId":102}]},
  {"worldGroupId":5002,"displayName":"beta","disks":[{"handleId":201}]}]})";

TEST_F(InterfaceTest, AppendAndDeletePayloadShapes) {
  Connection c;
  const std::pair<const char *, uint32_t> cases[] = {{R"({"vmWorldGroups":[]})", 0},
                                                     {R"({"vmWorldGroups":5})", 0},
                                                     {R"({"other":[1]})", 1},
                                                     {"[1,2]", 1},
                                                     {R"({"vmWorldGroups":[)", 1}};
  for (uint32_t command : {VTR_CMD_APPEND_VMS, VTR_CMD_DELETE_VMS}) {
    const std::string error =
        command == VTR_CMD_APPEND_VMS ? "Unable to append the VM(s)" : "Unable to delete the VM";
    for (const auto &[payload, code] : cases) {
      EXPECT_EQ(c.Call(command, payload).All(), std::tuple(0, code, code ? error : "")) << payload;
    }
    // An empty payload gets no reply: the status reply comes next.
    c.SendRaw(Frame(command, 0));
    EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
  }
  EXPECT_TRUE(Logged("Interface: root is not an object"));
  EXPECT_TRUE(Logged("Interface: json_unpack() failed"));
  EXPECT_TRUE(Logged("Interface:The req msg is null or msg len is invalid in VTR_AppendNewVMs."));
  EXPECT_TRUE(Logged("Interface:The request msg is null or msg len is invalid in VTR_DeleteVMs."));
}

TEST_F(InterfaceTest, AppendFollowsLastElementDeleteFailsOnAny) {
  ConfigureHost(kTwoVmHost);
  Connection c;
  // 777 and 778 do not exist on the host.
  EXPECT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[777,5001]})").code, 0u);
  EXPECT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5002,778]})").body,
            "Unable to append the VM(s)");
  EXPECT_TRUE(HasEntry(5001, 101) && HasEntry(5001, 102) && HasEntry(5002, 201));
  // Every element is tried even after a failure.
  EXPECT_EQ(c.Call(VTR_CMD_DELETE_VMS, R"({"vmWorldGroups":[779,5001,5002]})").body,
            "Unable to delete the VM");
  EXPECT_TRUE(Logged("Interface: Failed to stop tracing for WorldId : 779"));
  EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5002, 201));
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body, kIdleStatus);
}

TEST_F(InterfaceTest, StatusReportsNameRemainingTimeAndLiveVMs) {
  ConfigureHost(kTwoVmHost);
  strcpy(VTR_StartupConfig().instanceName, "night-run");
  VTR_StartupConfig().durationSecs = 600;
  startTime = {1000, 0};
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);
  VTR_SetClock([](struct timeval *now) { *now = {1100, 900000}; });  // 100.9 s: whole seconds count
  EXPECT_EQ(
      c.Call(VTR_CMD_STATUS_QUERY).body,
      R"({"status":"running","runName":"night-run","duration":500,"vmWorldGroups":[5001,5002]})");  // oldest first
  VTR_SetClock([](struct timeval *now) { *now = {1630, 0}; });  // past the end: 0, never negative
  EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find(R"("duration":0,)"), std::string::npos);
}

TEST_F(InterfaceTest, VMThatIsDownIsDroppedWithItsEntries) {
  ConfigureHost(kTwoVmHost);
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001,5002]})").code, 0u);
  // Another host failure leaves the VM out of this reply only.
  HostControl(R"({"op":"fault","node":"worldGroups_hasVmm","status":"0xBAD0001","count":1})");
  EXPECT_EQ(c.Call(VTR_CMD_STATUS_QUERY).body.find("5001"), std::string::npos);
  EXPECT_NE(VTR_FindVM(5001), nullptr);

  // The metrics query drops a VM that is down as the status query does.
  size_t down = 0;
  for (uint32_t command : {VTR_CMD_STATUS_QUERY, VTR_CMD_METRICS_QUERY}) {
    HostControl(R"({"op":"powerOff","worldGroupId":5001})");
    EXPECT_EQ(c.Call(command).body.find("5001"), std::string::npos) << command;
    EXPECT_EQ(CountLogged(" Interface: VM 5001, is DOWN, cleaning up."), ++down);
    EXPECT_EQ(VTR_FindVM(5001), nullptr);
    EXPECT_FALSE(HasEntry(5001, 101) || HasEntry(5001, 102));
    EXPECT_TRUE(HasEntry(5002, 201));
    // Back on, it can be added again: nothing of the old registration is left.
    HostControl(R"({"op":"powerOn","worldGroupId":5001})");
    ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[5001]})").code, 0u);
    EXPECT_TRUE(HasEntry(5001, 101) && HasEntry(5001, 102));
    EXPECT_NE(c.Call(VTR_CMD_STATUS_QUERY).body.find("[5002,5001]"), std::string::npos);
  }
}

TEST_F(InterfaceTest, ExitRepliesWithEightZeroBytesAndRunsTheExitHook) {
  VTR_SetExitHook([] { exitRequested.store(true); });
  Connection c;
  EXPECT_EQ(c.Call(VTR_CMD_EXIT).All(), kEmptyOk);
  c.handler.join();  // it ends at its loop top and leaves its descriptor
  close(c.server);
  EXPECT_TRUE(exitRequested.load());
  EXPECT_TRUE(Logged("Interface: Exiting Vethra...!"));
  VTR_SetExitHook(nullptr);
}

class QueriesTest : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    VTR_SetClock([](struct timeval *now) { *now = {1700000000, 0}; });
  }
};

// A world group id above 2^31 - 1, and a VM whose only disk loses its entry.
constexpr const char kHost[] = R"({"vms":[
  {"worldGroupId":3000000000,"displayName":"big","uuid":"42 00 00 00 00 00 00 01-00 00 00 00 00 00 00 01",
   "disks":[{"handleId":9001,"name":"scsi0:0"}]},
  {"worldGroupId":6001,"displayName":"lonely","uuid":"42 00 00 00 00 00 00 02-00 00 00 00 00 00 00 02",
   "disks":[{"handleId":9101,"name":"scsi0:0"}]}]})";

bool Contains(const std::string &body, const std::string &part) {
  return body.find(part) != std::string::npos;
}

TEST_F(QueriesTest, DocumentsWithoutVMs) {
  Connection c;
  std::string metrics = c.Call(VTR_CMD_METRICS_QUERY).body;
  EXPECT_EQ(metrics.rfind(R"({"vethraMetrics":{"metricFields":["rio",)", 0), 0u) << metrics;
  EXPECT_TRUE(Contains(
      metrics, R"("wlatgt100ms"]},"metricValues":{"timeStamp":1700000000,"vmWorldGroups":[]}})"));
  for (uint32_t code : {VTR_CMD_CHANGE_RATE_QUERY, VTR_CMD_CHANGE_RATE_QUERY2}) {
    EXPECT_EQ(c.Call(code).All(), std::make_tuple(0, 1u, "Change rate estimation is disabled"));
  }
  VTR_StartupConfig().changeRateEnabled = true;
  const char *expected =
      R"({"vethraChangeRate":{"changeRateFields":["changebytes5m","changebytes15m","changebytes60m"]},)"
      R"("changeRateValues":{"timeStamp":1700000000,"vmWorldGroups":[]}})";
  EXPECT_EQ(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body, expected);
  EXPECT_EQ(c.Call(VTR_CMD_CHANGE_RATE_QUERY2).body, expected);
}

TEST_F(QueriesTest, MetricsRenderLargeValuesSignedAndSkipDisksWithoutEntry) {
  ConfigureHost(kHost);
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[3000000000,6001]})").code, 0u);
  DiskEntry *entry = Entry(3000000000u, 9001);
  ASSERT_NE(entry, nullptr);
  entry->counters.ioCounters[0] = (1ULL << 63) + 5;
  entry->counters.ioCounters[VTR_NUM_COUNTERS - 1] = 42;
  {
    RegistryGuard guard;
    VTR_DeleteHashEntry(6001, 9101);
  }
  std::string counters = "[-9223372036854775803";
  for (int i = 1; i < VTR_NUM_COUNTERS - 1; i++) counters += ",0";
  std::string body = c.Call(VTR_CMD_METRICS_QUERY).body;
  EXPECT_TRUE(Contains(body, R"({"vmName":"lonely","uuid":"42000000-0000-0002-0000-000000000002")"
                             R"(,"worldGroupId":6001,"vmDisks":[]})"));
  EXPECT_TRUE(Contains(
      body, R"("worldGroupId":-1294967296,"vmDisks":[{"vscsiDevName":"scsi0:0","ioCounters":)" +
                counters + ",42]}"));
  EXPECT_TRUE(Logged("No hash entry found for vmid:6001 handleid:9101"));
  EXPECT_TRUE(Logged("Interface: json_pack failed for device: scsi0:0"));
  EXPECT_EQ(c.Call(VTR_CMD_METRICS_QUERY).body, body);  // reading changes nothing
}

TEST_F(QueriesTest, ChangeRatesInBytesFromEitherEstimator) {
  ConfigureHost(kHost);
  VTR_StartupConfig().changeRateEnabled = true;
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  VTR_CR_HLL *hll = Entry(6001, 9101)->changeRate.hll;
  ASSERT_NE(hll, nullptr);
  EXPECT_TRUE(Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body, R"("changeRates":[0,0,0])"));
  // Three blocks end the 5-minute period, four more the 60-minute one; the
  // query settles the ended periods itself.
  VTR_AddChangeRate(0, 3 * 4096, &Entry(6001, 9101)->changeRate, false);
  VTR_HLLEndPeriods(hll, 1);
  VTR_AddChangeRate(0, 7 * 4096, &Entry(6001, 9101)->changeRate, false);
  VTR_HLLEndPeriods(hll, 4);
  EXPECT_TRUE(Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY).body,
                       R"({"vscsiDevName":"scsi0:0","changeRates":[12288,0,28672]})"));

  // Sliding mode: eight distinct blocks written twice, all within 5 minutes.
  ASSERT_EQ(c.Call(VTR_CMD_DELETE_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  VTR_StartupConfig().slidingHllEnabled = true;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[6001]})").code, 0u);
  for (int i = 0; i < 2; i++) VTR_AddChangeRate(0, 32768, &Entry(6001, 9101)->changeRate, true);
  EXPECT_TRUE(
      Contains(c.Call(VTR_CMD_CHANGE_RATE_QUERY2).body, R"("changeRates":[32768,32768,32768])"));
}

// The daemon keeps VM names to 127 bytes and the host cuts disk names to 15.
// A name cut to its buffer loses a multi-byte character whole rather than
// half of it, so both VMs and all their disks are still reported. Names that
// need escapes come out as jansson writes them: each document is its own
// compact re-serialisation.
TEST_F(QueriesTest, NamesAreCutOnCharacterBoundaries) {
  std::string vm(126, 'v'), disk(14, 'd');
  const std::string host = R"({"vms":[{"worldGroupId":7001,"displayName":")" + vm +
                           R"(\u00e9","disks":[{"handleId":1}]},
    {"worldGroupId":7002,"disks":[{"handleId":2,"name":")" +
                           disk + R"(\u00e9"},{"handleId":3,"name":"scsi0:1"}]},
    {"worldGroupId":7003,"displayName":"q\"b\\s/\u0001\t\u007f\u00e9","disks":[{"handleId":4,"name":"d\"/\u00e9"}]}]})";
  ConfigureHost(host.c_str());
  VTR_StartupConfig().changeRateEnabled = VTR_StartupConfig().slidingHllEnabled = true;
  Connection c;
  ASSERT_EQ(c.Call(VTR_CMD_APPEND_VMS, R"({"vmWorldGroups":[7001,7002,7003]})").code, 0u);
  for (uint32_t command : {VTR_CMD_METRICS_QUERY, VTR_CMD_CHANGE_RATE_QUERY}) {
    std::string body = c.Call(command).body;
    EXPECT_TRUE(Contains(body, R"({"vmName":")" + vm + R"(",)")) << body;
    EXPECT_TRUE(
        Contains(body, R"("worldGroupId":7002,"vmDisks":[{"vscsiDevName":")" + disk + R"(",)"))
        << body;
    EXPECT_TRUE(Contains(body, "{\"vmName\":\"q\\\"b\\\\s/\\u0001\\t\x7f\xc3\xa9\",")) << body;
    EXPECT_TRUE(Contains(body, "{\"vscsiDevName\":\"d\\\"/\xc3\xa9\",")) << body;
    json_t *parsed = json_loads(body.c_str(), 0, nullptr);
    ASSERT_NE(parsed, nullptr) << body;
    char *again = json_dumps(parsed, JSON_COMPACT);
    json_decref(parsed);
    EXPECT_EQ(std::string(again), body);
    free(again);
  }
  std::lock_guard<std::mutex> lock(logMutex);
  for (const auto &[priority, line] : logLines)
    EXPECT_EQ(line.find("json_pack failed"), std::string::npos) << line;
}

}  // namespace
