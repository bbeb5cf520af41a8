// End-to-end harness: runs the real vethra binary against the simulated host
// inside a private mount + PID namespace, whose init gives it a /run of its
// own (so /var/run/vethra.uds is SocketPath()) and a /dev/log read by the
// test, and captures its exit status, standard output, standard error and
// syslog messages. When init ends, the kernel kills every other process of
// the namespace, so nothing outlives a test.
#pragma once

#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"

namespace e2e {

// Generous enough for sanitizer builds on a loaded 2-core machine; waits end
// as soon as the awaited condition holds.
constexpr int kWaitMs = 20000;

struct LogLine {
  int priority = -1;  // PRI & 7
  int facility = -1;  // PRI >> 3
  std::string ident;  // "vethra"
  std::string text;   // the message after "ident[pid]: "
};

// Receives the datagrams that glibc's syslog() sends to /dev/log.
struct SyslogReceiver {
  int fd = -1;
  struct sockaddr_un addr = {};
  std::thread reader;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<LogLine> lines;
  std::atomic<uint64_t> markersSent{0};  // by Lines
  uint64_t markersSeen = 0;
};

struct DaemonOptions {
  std::vector<std::string> args;  // arguments after argv[0]
  std::string hostJson;           // host description; empty: built-in demo host
};

struct Daemon {
  std::string dir;          // per-test temp dir (removed by the destructor)
  std::string controlPath;  // hostsim's control socket (HOSTSIM_CONTROL)
  std::string hostConfigPath;
  std::vector<std::string> extraEnv;  // "NAME=value", for the daemon
  pid_t initPid = -1;                 // outer pid of the namespace's init
  bool exited = false;
  int waitStatus = 0;
  SyslogReceiver syslog;

  Daemon();
  ~Daemon();
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  std::string SocketPath() const { return dir + "/run/vethra.uds"; }  // the daemon's /run
  std::string StatePath() const { return dir + "/state-at-exit.json"; }
};

// Starts vethra in a fresh namespace. Fails the test and returns false when
// the namespace could not be set up.
bool Start(Daemon *d, const DaemonOptions &options);
// Starts a long-running daemon, waits until its socket accepts connections
// and fails the test when it ended instead.
void StartServing(Daemon *d, const DaemonOptions &options);
// Waits for the exit code (0 unless given) and checks that hostsim's state
// at exit has no trace left on.
void ExpectCleanExit(Daemon *d, int code = 0);
// SIGTERM, then ExpectCleanExit.
void StopCleanly(Daemon *d);

// Starts, waits for the exit (killing it after kWaitMs) and returns the exit
// code, or -1 on a time-out or set-up failure.
int RunToExit(Daemon *d, const DaemonOptions &options);

bool IsRunning(Daemon *d);
// Waits for the process to end; returns its exit code (128 + signal when
// killed), or -1 after timeoutMs (the process is then left running).
int WaitExit(Daemon *d, int timeoutMs = kWaitMs);
// Sends sig to the daemon (through init). Returns false when it is gone.
bool Signal(Daemon *d, int sig);
// Waits until the Unix socket at path (the daemon's or hostsim's control
// socket) accepts a connection; false when the process ended first.
bool WaitListening(Daemon *d, const std::string &path, int timeoutMs = kWaitMs);

std::string Stdout(const Daemon *d);
std::string Stderr(const Daemon *d);

// Runs a shell command: its stdout, and its exit code in *code.
std::string Shell(const std::string &command, int *code = nullptr);

// Every syslog message sent before the call.
std::vector<LogLine> Lines(Daemon *d);
// Waits for a message whose text contains `needle`.
bool WaitForLog(Daemon *d, const std::string &needle);
// Every message sent before the call whose text contains needle.
std::vector<LogLine> FindLogs(Daemon *d, const std::string &needle);
// Messages as "[priority] text" lines; the whole log, for failure messages.
std::string LogDump(const std::vector<LogLine> &lines);
std::string LogDump(Daemon *d);

// hostsim control (its socket appears when the daemon first loads
// libhostrt.so): sends one request line and returns the reply line (empty on
// failure, with *error set).
std::string HostControl(Daemon *d, const std::string &request, std::string *error = nullptr);

// One framed request to the daemon on a connection of its own: the reply's
// code (and body), or -errno (-ETIMEDOUT when none came).
int64_t Request(Daemon *d, uint32_t command, const std::string &payload = "",
                std::string *body = nullptr, int timeoutMs = kWaitMs);

// One client connection, closed by the destructor: Send takes raw bytes
// (Frame, frame.h), Receive returns like Request.
struct Peer {
  int fd = -1;
  explicit Peer(Daemon *d);
  ~Peer();
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;
  bool Send(const std::string &bytes) const;
  int64_t Receive(std::string *body, int timeoutMs = kWaitMs) const;
};

struct JsonDeleter {
  void operator()(json_t *j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonDeleter>;
// Null when text is not valid JSON.
Json ParseJson(const std::string &text);
std::string JsonText(json_t *value);
// hostsim's {"op":"state"} reply; null on failure.
Json HostState(Daemon *d);
// The state hostsim wrote to StatePath() when the daemon ended; null if none.
Json ExitState(const Daemon *d);
// The (worldGroupId, handleId) pairs that a state reply lists as traced.
std::set<std::pair<uint64_t, uint64_t>> TracedHandles(json_t *state);
// Integer member of an object (0 when absent).
int64_t JsonInt(json_t *obj, const char *key);

// Reply document of a query (10 metrics, 11 status, 14/15 change rates).
Json QueryDoc(Daemon *d, uint32_t command);
// The "vmWorldGroups" array of a metrics or change-rate document.
json_t *DocVms(json_t *doc);
// The status document's world group ids as text ("[1,2]"), or "error".
std::string StatusVmIds(Daemon *d);

// (world group id as reported, device name) -> the 70 counters.
using DiskKey = std::pair<int64_t, std::string>;
using MetricsMap = std::map<DiskKey, std::vector<uint64_t>>;
// Parses a metrics reply; false when the document is malformed (with *why).
bool ParseMetrics(const std::string &body, MetricsMap *out, std::string *why);
// Polls the metrics until `done` holds for them (false after kWaitMs); *out
// holds the last ones read.
bool WaitMetrics(Daemon *d, MetricsMap *out, const std::function<bool(const MetricsMap &)> &done);

// A host of `vms` VMs (world group ids 5001...) with `disks` disks each
// (handle ids vm*1000 + i), every disk running `workload` (JSON, or empty).
std::string GeneratedHost(int vms, int disks, const std::string &workload = "");

// Reads a whole file; empty when missing.
std::string ReadFile(const std::string &path);

}  // namespace e2e
