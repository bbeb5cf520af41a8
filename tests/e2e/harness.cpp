#include "e2e/harness.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "vethra_client.h"

extern char **environ;

namespace e2e {
namespace {

constexpr const char *kSyncTag = "@@e2e-sync ";

// PID 1 of the test's namespace, run by /bin/sh with the test directory as
// $1 and the daemon's command line after it. It mounts a fresh /proc, binds
// the test's run directory over /run and builds a minimal /dev whose log is
// the test's syslog socket; then it runs the daemon, forwards signals to it
// and exits with its exit code (128 + n when signal n ended it). A set-up
// failure ends it early, with the failed command's message on the daemon's
// stderr.
const char kInitScript[] = R"(set -e
dir=$1
shift
exec </dev/null >"$dir/stdout" 2>"$dir/stderr"
mount --make-rprivate /
mount -t proc -o nosuid,nodev,noexec proc /proc
mount --bind "$dir/run" /run
mount -t tmpfs -o nosuid,mode=0755 tmpfs "$dir/dev"
for node in null zero full random urandom tty; do
  if [ -e /dev/$node ]; then : >"$dir/dev/$node"; mount --bind /dev/$node "$dir/dev/$node"; fi
done
: >"$dir/dev/log"
mount --bind "$dir/log.sock" "$dir/dev/log"
ln -s /proc/self/fd "$dir/dev/fd"
ln -s /proc/self/fd/0 "$dir/dev/stdin"
ln -s /proc/self/fd/1 "$dir/dev/stdout"
ln -s /proc/self/fd/2 "$dir/dev/stderr"
mount --move "$dir/dev" /dev
set +e
for sig in HUP INT TERM ALRM QUIT USR1 USR2; do trap "kill -$sig \$child; forwarded=1" $sig; done
"$@" &
child=$!
forwarded=1
while [ $forwarded = 1 ]; do
  forwarded=0
  wait $child
  status=$?
done
exit $status
)";

int InitMain(void *argv) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv("/bin/sh", static_cast<char *const *>(argv));
  _exit(127);
}

// Parses "<PRI>Mon dd hh:mm:ss ident[pid]: text".
LogLine ParseSyslog(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) s.pop_back();
  int pri = -1, colon = 0;
  char ident[64] = "";
  sscanf(s.c_str(), "<%d>%*s %*s %*s %63[^[][%*d]:%n", &pri, ident, &colon);
  return LogLine{pri < 0 ? -1 : pri & 7, pri < 0 ? -1 : pri >> 3, ident,
                 colon > 0 ? s.substr(colon + 1) : s};
}

// Reads until StopSyslog shuts the socket down.
void SyslogLoop(SyslogReceiver *r) {
  std::vector<char> buf(65536);
  for (;;) {
    ssize_t n = recv(r->fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::string raw(buf.data(), static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(r->mutex);
    if (raw.rfind(kSyncTag, 0) == 0) {
      r->markersSeen++;
    } else {
      r->lines.push_back(ParseSyslog(raw));
    }
    r->changed.notify_all();
  }
}

bool StartSyslog(SyslogReceiver *r, const std::string &path) {
  r->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  r->addr.sun_family = AF_UNIX;
  snprintf(r->addr.sun_path, sizeof r->addr.sun_path, "%s", path.c_str());
  if (r->fd < 0 || bind(r->fd, reinterpret_cast<sockaddr *>(&r->addr), sizeof r->addr) != 0) {
    return false;
  }
  chmod(path.c_str(), 0666);
  int size = 4 << 20;
  setsockopt(r->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  r->reader = std::thread(SyslogLoop, r);
  return true;
}

void StopSyslog(SyslogReceiver *r) {
  if (r->fd >= 0) shutdown(r->fd, SHUT_RDWR);
  if (r->reader.joinable()) r->reader.join();
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
}

// Environment for the daemon: ours without HOSTSIM_*, plus the given ones.
std::vector<std::string> DaemonEnv(const Daemon *d) {
  std::vector<std::string> env;
  for (char **e = environ; *e; e++) {
    if (strncmp(*e, "HOSTSIM_", 8) != 0) env.emplace_back(*e);
  }
  if (!d->hostConfigPath.empty()) env.push_back("HOSTSIM_CONFIG=" + d->hostConfigPath);
  env.push_back("HOSTSIM_CONTROL=" + d->controlPath);
  env.push_back("HOSTSIM_STATE_AT_EXIT=" + d->StatePath());
  env.insert(env.end(), d->extraEnv.begin(), d->extraEnv.end());
  return env;
}

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Polls `done` with a growing pause until it holds or timeoutMs passes.
template <typename F>
bool PollUntil(F done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int sleepUs = 1000;; sleepUs = std::min(sleepUs * 2, 20000)) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(sleepUs);
  }
}

// A blocking send on a Unix stream socket queues every byte before it
// returns (this process catches no signals that could cut it short).
bool SendAll(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void Kill(Daemon *d) {
  if (d->initPid > 0 && !d->exited) {
    kill(d->initPid, SIGKILL);
    waitpid(d->initPid, &d->waitStatus, 0);
    d->exited = true;
  }
}

}  // namespace

Json ParseJson(const std::string &text) {
  json_error_t error;
  return Json(json_loadb(text.data(), text.size(), 0, &error));
}

std::string JsonText(json_t *value) {
  char *text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  std::string out = text ? text : "";
  free(text);
  return out;
}

Json HostState(Daemon *d) { return ParseJson(HostControl(d, "{\"op\":\"state\"}")); }

Json ExitState(const Daemon *d) { return ParseJson(ReadFile(d->StatePath())); }

std::set<std::pair<uint64_t, uint64_t>> TracedHandles(json_t *state) {
  std::set<std::pair<uint64_t, uint64_t>> out;
  size_t i;
  json_t *t;
  json_array_foreach(json_object_get(state, "traced"), i, t) {
    out.insert({static_cast<uint64_t>(JsonInt(t, "worldGroupId")),
                static_cast<uint64_t>(JsonInt(t, "handleId"))});
  }
  return out;
}

int64_t JsonInt(json_t *obj, const char *key) {
  return json_integer_value(json_object_get(obj, key));
}

Json QueryDoc(Daemon *d, uint32_t command) {
  std::string body;
  return Request(d, command, "", &body) == 0 ? ParseJson(body) : nullptr;
}

json_t *DocVms(json_t *doc) {
  json_t *values = json_object_get(doc, "metricValues");
  if (values == nullptr) values = json_object_get(doc, "changeRateValues");
  return json_object_get(values, "vmWorldGroups");
}

std::string StatusVmIds(Daemon *d) {
  Json doc = QueryDoc(d, 11);
  return doc ? JsonText(json_object_get(doc.get(), "vmWorldGroups")) : "error";
}

bool ParseMetrics(const std::string &body, MetricsMap *out, std::string *why) {
  out->clear();
  Json doc = ParseJson(body);
  json_t *fields = json_object_get(json_object_get(doc.get(), "vethraMetrics"), "metricFields");
  json_t *vms = DocVms(doc.get());
  if (json_array_size(fields) != 70 || !json_is_array(vms)) {
    *why = "malformed metrics document: " + body.substr(0, 200);
    return false;
  }
  size_t i, j, k;
  json_t *vm, *disk, *value;
  json_array_foreach(vms, i, vm) {
    json_array_foreach(json_object_get(vm, "vmDisks"), j, disk) {
      auto &values = (*out)[{JsonInt(vm, "worldGroupId"),
                             json_string_value(json_object_get(disk, "vscsiDevName"))}];
      values.clear();  // two disks whose names could not be read share a key
      json_array_foreach(json_object_get(disk, "ioCounters"), k, value) {
        values.push_back(json_integer_value(value));
      }
      if (values.size() != 70) {
        *why = "disk without 70 counters in VM " + std::to_string(JsonInt(vm, "worldGroupId"));
        return false;
      }
    }
  }
  return true;
}

bool WaitMetrics(Daemon *d, MetricsMap *out, const std::function<bool(const MetricsMap &)> &done) {
  return PollUntil(
      [&] {
        std::string body, why;
        return Request(d, 10, "", &body) == 0 && ParseMetrics(body, out, &why) && done(*out);
      },
      kWaitMs);
}

std::string GeneratedHost(int vms, int disks, const std::string &workload) {
  Json host(json_pack("{s:[]}", "vms"));
  for (int v = 0; v < vms; v++) {
    json_t *list = json_array();
    for (json_int_t handle = (5001 + v) * 1000; handle < (5001 + v) * 1000 + disks; handle++) {
      json_t *disk = json_pack("{s:I}", "handleId", handle);
      if (!workload.empty()) json_object_set_new(disk, "workload", ParseJson(workload).release());
      json_array_append_new(list, disk);
    }
    json_array_append_new(json_object_get(host.get(), "vms"),
                          json_pack("{s:i,s:o}", "worldGroupId", 5001 + v, "disks", list));
  }
  return JsonText(host.get());
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

Daemon::Daemon() {
  char templ[] = "/tmp/vethra-e2e-XXXXXX";
  if (mkdtemp(templ) == nullptr) return;
  dir = templ;
  chmod(dir.c_str(), 0755);
  controlPath = dir + "/hostsim.ctl";
  mkdir((dir + "/run").c_str(), 0755);
  mkdir((dir + "/dev").c_str(), 0755);
  StartSyslog(&syslog, dir + "/log.sock");
}

Daemon::~Daemon() {
  Kill(this);
  StopSyslog(&syslog);
  std::error_code ignored;
  if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

bool Start(Daemon *d, const DaemonOptions &o) {
  if (d->dir.empty() || d->syslog.fd < 0) {
    ADD_FAILURE() << "could not create the test directory or the syslog socket";
    return false;
  }
  if (!o.hostJson.empty()) {
    d->hostConfigPath = d->dir + "/host.json";
    if (!(std::ofstream(d->hostConfigPath) << o.hostJson)) {
      ADD_FAILURE() << "cannot write " << d->hostConfigPath;
      return false;
    }
  }
  // The daemon gets exactly its environment through env -i; the script and
  // its tools run in ours.
  std::vector<std::string> argv = {"sh", "-c", kInitScript, "init", d->dir, "env", "-i"};
  std::vector<std::string> env = DaemonEnv(d);
  argv.insert(argv.end(), env.begin(), env.end());
  argv.push_back(VETHRA_BINARY);
  argv.insert(argv.end(), o.args.begin(), o.args.end());
  std::vector<char *> cargv;
  for (auto &s : argv) cargv.push_back(s.data());
  cargv.push_back(nullptr);
  // The child runs on a copy of this stack; the parent's may go at once.
  std::vector<char> stack(64 * 1024);
  pid_t pid = clone(InitMain, stack.data() + stack.size(), CLONE_NEWNS | CLONE_NEWPID | SIGCHLD,
                    cargv.data());
  if (pid < 0) {
    ADD_FAILURE() << "clone(CLONE_NEWNS|CLONE_NEWPID): " << strerror(errno)
                  << " (the end-to-end tests need root)";
    return false;
  }
  d->initPid = pid;
  d->exited = false;
  return true;
}

void StartServing(Daemon *d, const DaemonOptions &o) {
  ASSERT_TRUE(Start(d, o));
  WaitListening(d, d->SocketPath());
  ASSERT_TRUE(IsRunning(d)) << "exit " << WaitExit(d, 0) << "\nstdout:\n"
                            << Stdout(d) << "\nstderr:\n"
                            << Stderr(d) << "\nlog:\n"
                            << LogDump(d);
}

void ExpectCleanExit(Daemon *d, int code) {
  EXPECT_EQ(WaitExit(d), code) << Stderr(d) << LogDump(d);
  Json state = ExitState(d);
  ASSERT_TRUE(state) << "hostsim recorded no state at exit";
  EXPECT_TRUE(TracedHandles(state.get()).empty()) << ReadFile(d->StatePath());
}

void StopCleanly(Daemon *d) {
  ASSERT_TRUE(Signal(d, SIGTERM)) << "the daemon is gone:\n" << Stderr(d) << LogDump(d);
  ExpectCleanExit(d);
}

bool IsRunning(Daemon *d) {
  if (d->initPid <= 0 || d->exited) return false;
  if (waitpid(d->initPid, &d->waitStatus, WNOHANG) == d->initPid) d->exited = true;
  return !d->exited;
}

int WaitExit(Daemon *d, int timeoutMs) {
  // IsRunning polls waitpid, so that a time-out needs no extra thread.
  if (d->initPid <= 0 || !PollUntil([&] { return !IsRunning(d); }, timeoutMs)) return -1;
  return ExitCode(d->waitStatus);
}

bool Signal(Daemon *d, int sig) { return IsRunning(d) && kill(d->initPid, sig) == 0; }

bool WaitListening(Daemon *d, const std::string &path, int timeoutMs) {
  bool ready = false;
  PollUntil(
      [&] {
        int fd = vtrc_connect(path.c_str());
        if (fd >= 0) close(fd);
        return (ready = fd >= 0) || !IsRunning(d);
      },
      timeoutMs);
  return ready;
}

int RunToExit(Daemon *d, const DaemonOptions &options) {
  if (!Start(d, options)) return -1;
  int code = WaitExit(d);
  if (code < 0) Kill(d);
  return code;
}

std::string Stdout(const Daemon *d) { return ReadFile(d->dir + "/stdout"); }
std::string Stderr(const Daemon *d) { return ReadFile(d->dir + "/stderr"); }

std::string Shell(const std::string &command, int *code) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int status = p ? pclose(p) : -1;
  if (code) *code = status == -1 ? -1 : ExitCode(status);
  return out;
}

std::vector<LogLine> Lines(Daemon *d) {
  SyslogReceiver *r = &d->syslog;
  uint64_t target = ++r->markersSent;
  // The marker (sent to itself) comes after every message sent before this call.
  std::string marker = kSyncTag + std::to_string(target);
  sendto(r->fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr *>(&r->addr),
         sizeof r->addr);
  std::unique_lock<std::mutex> lock(r->mutex);
  r->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                      [&] { return r->markersSeen >= target; });
  return r->lines;
}

bool WaitForLog(Daemon *d, const std::string &needle) {
  return PollUntil([&] { return !FindLogs(d, needle).empty(); }, kWaitMs);
}

std::vector<LogLine> FindLogs(Daemon *d, const std::string &needle) {
  std::vector<LogLine> out;
  for (const auto &l : Lines(d)) {
    if (l.text.find(needle) != std::string::npos) out.push_back(l);
  }
  return out;
}

std::string LogDump(const std::vector<LogLine> &lines) {
  std::string s;
  for (const auto &l : lines) s += "[" + std::to_string(l.priority) + "] " + l.text + "\n";
  return s;
}

std::string LogDump(Daemon *d) { return LogDump(Lines(d)); }

std::string HostControl(Daemon *d, const std::string &request, std::string *error) {
  std::string reply;
  int fd = vtrc_connect(d->controlPath.c_str());
  struct timeval limit = {kWaitMs / 1000, 0};
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
            SendAll(fd, request + "\n");
  char buf[4096];
  while (ok && reply.find('\n') == std::string::npos) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) reply.append(buf, static_cast<size_t>(n));
    ok = n > 0 || (n < 0 && errno == EINTR);
  }
  if (fd >= 0) close(fd);
  if (error) *error = ok ? "" : "no reply from " + d->controlPath + " to " + request;
  return ok ? reply.substr(0, reply.find('\n')) : "";
}

int64_t Request(Daemon *d, uint32_t command, const std::string &payload, std::string *body,
                int timeoutMs) {
  uint32_t code = 0;
  std::string ignored;
  int rc = vtrc_call(d->SocketPath().c_str(), command, payload, &code, body ? body : &ignored,
                     timeoutMs);
  return rc != 0 ? rc : code;
}

Peer::Peer(Daemon *d) : fd(vtrc_connect(d->SocketPath().c_str())) {}
Peer::~Peer() {
  if (fd >= 0) close(fd);
}
bool Peer::Send(const std::string &bytes) const { return SendAll(fd, bytes); }
int64_t Peer::Receive(std::string *body, int timeoutMs) const {
  uint32_t code = 0;
  int rc = vtrc_recv_reply(fd, &code, body, timeoutMs);
  return rc != 0 ? rc : code;
}

}  // namespace e2e
