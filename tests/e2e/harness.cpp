#include "e2e/harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

extern char **environ;

namespace e2e {
namespace {

constexpr int kHarnessFailure = 99;  // init could not build the namespace
constexpr const char *kSyncTag = "@@e2e-sync ";

// Everything the namespace's init needs, prepared before clone(): the child
// runs in a copy of a multi-threaded process and must not allocate.
struct InitPlan {
  const char *binary;
  char *const *argv;
  char *const *envp;
  const char *runDir;
  const char *devStage;
  std::vector<const char *> bindSources;  // device nodes and the log socket
  std::vector<const char *> bindTargets;
  std::vector<const char *> linkTargets;  // symlinks inside the new /dev
  std::vector<const char *> linkPaths;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int stderrFd;
};

void InitFail(const InitPlan *p, const char *what) {
  const char *prefix = "e2e harness init: ";
  const char *reason = strerror(errno);  // glibc: static table, no allocation
  if (write(p->stderrFd, prefix, strlen(prefix)) < 0 || write(p->stderrFd, what, strlen(what)) < 0 ||
      write(p->stderrFd, ": ", 2) < 0 || write(p->stderrFd, reason, strlen(reason)) < 0 ||
      write(p->stderrFd, "\n", 1) < 0) {
  }
  _exit(kHarnessFailure);
}

void NoopHandler(int) {}

// PID 1 of the test's namespace.
int InitMain(void *arg) {
  const InitPlan *p = static_cast<const InitPlan *>(arg);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) InitFail(p, "make / private");
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    InitFail(p, "mount /proc");
  if (mount(p->runDir, "/run", nullptr, MS_BIND, nullptr) != 0) InitFail(p, "bind /run");
  if (mount("tmpfs", p->devStage, "tmpfs", MS_NOSUID, "mode=0755") != 0) InitFail(p, "tmpfs /dev");
  for (size_t i = 0; i < p->bindSources.size(); i++) {
    int fd = open(p->bindTargets[i], O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) InitFail(p, p->bindTargets[i]);
    close(fd);
    if (mount(p->bindSources[i], p->bindTargets[i], nullptr, MS_BIND, nullptr) != 0)
      InitFail(p, p->bindSources[i]);
  }
  for (size_t i = 0; i < p->linkPaths.size(); i++) {
    if (symlink(p->linkTargets[i], p->linkPaths[i]) != 0) InitFail(p, p->linkPaths[i]);
  }
  if (mount(p->devStage, "/dev", nullptr, MS_MOVE, nullptr) != 0) InitFail(p, "move /dev");

  // Signals to forward are blocked and taken with sigwaitinfo; the no-op
  // handlers make sure the kernel queues them for a namespace init.
  sigset_t set;
  sigemptyset(&set);
  const int forwarded[] = {SIGHUP, SIGINT, SIGTERM, SIGALRM, SIGQUIT, SIGUSR1, SIGUSR2};
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = NoopHandler;
  for (int sig : forwarded) {
    sigaddset(&set, sig);
    sigaction(sig, &sa, nullptr);
  }
  sigaddset(&set, SIGCHLD);
  sigaction(SIGCHLD, &sa, nullptr);
  sigprocmask(SIG_BLOCK, &set, nullptr);

  pid_t child = -1;
  // posix_spawn neither allocates nor takes the malloc locks a forked copy
  // of a threaded process may find held.
  if (posix_spawn(&child, p->binary, &p->actions, &p->attr, p->argv, p->envp) != 0) {
    InitFail(p, "spawn vethra");
  }
  for (;;) {
    siginfo_t info;
    int sig = sigwaitinfo(&set, &info);
    if (sig < 0) continue;
    if (sig != SIGCHLD) {
      kill(child, sig);
      continue;
    }
    int status = 0;
    pid_t w;
    while ((w = waitpid(-1, &status, WNOHANG)) > 0) {
      if (w == child) _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
  }
}

int RemoveEntry(const char *path, const struct stat *, int type, struct FTW *) {
  if (type == FTW_DP) {
    rmdir(path);
  } else {
    unlink(path);
  }
  return 0;
}

void RemoveTree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool WriteFile(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  return static_cast<bool>(f);
}

// Parses "<PRI>Mon dd hh:mm:ss ident[pid]: text".
LogLine ParseSyslog(const std::string &raw) {
  LogLine line;
  line.raw = raw;
  std::string s = raw;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) s.pop_back();
  if (s.size() > 2 && s[0] == '<') {
    size_t close = s.find('>');
    if (close != std::string::npos) {
      int pri = atoi(s.substr(1, close - 1).c_str());
      line.priority = pri & 7;
      line.facility = pri >> 3;
    }
  }
  size_t colon = s.find("]: ");
  if (colon != std::string::npos) {
    size_t open = s.rfind('[', colon);
    size_t space = s.rfind(' ', open);
    if (open != std::string::npos && space != std::string::npos) {
      line.ident = s.substr(space + 1, open - space - 1);
      line.pid = atoi(s.substr(open + 1, colon - open - 1).c_str());
    }
    line.text = s.substr(colon + 3);
  } else {
    line.text = s;
  }
  return line;
}

void SyslogLoop(SyslogReceiver *r) {
  std::vector<char> buf(65536);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(r->mutex);
      if (r->stopping) return;
    }
    struct pollfd pfd = {r->fd, POLLIN, 0};
    if (poll(&pfd, 1, 50) <= 0) continue;
    ssize_t n = recv(r->fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0) continue;
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
  r->path = path;
  r->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (r->fd < 0) return false;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (bind(r->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return false;
  chmod(path.c_str(), 0666);
  int size = 4 << 20;
  setsockopt(r->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  r->reader = std::thread(SyslogLoop, r);
  return true;
}

void StopSyslog(SyslogReceiver *r) {
  {
    std::lock_guard<std::mutex> lock(r->mutex);
    r->stopping = true;
  }
  if (r->reader.joinable()) r->reader.join();
  if (r->fd >= 0) close(r->fd);
  r->fd = -1;
}

// Environment for the daemon: ours without HOSTSIM_*, plus the given ones.
std::vector<std::string> DaemonEnv(const Daemon *d, const DaemonOptions &o,
                                   const std::string &controlPath) {
  std::vector<std::string> env;
  for (char **e = environ; *e; e++) {
    if (strncmp(*e, "HOSTSIM_", 8) == 0) continue;
    env.emplace_back(*e);
  }
  if (!o.useDemoHost && !d->hostConfigPath.empty()) env.push_back("HOSTSIM_CONFIG=" + d->hostConfigPath);
  env.push_back("HOSTSIM_CONTROL=" + controlPath);
  if (controlPath == d->controlPath) env.push_back("HOSTSIM_STATE_AT_EXIT=" + d->StatePath());
  for (const auto &e : o.extraEnv) env.push_back(e);
  return env;
}

std::vector<char *> CArray(std::vector<std::string> &v) {
  std::vector<char *> out;
  for (auto &s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Polls waitpid so that a time-out needs no extra thread.
bool WaitPid(pid_t pid, int *status, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int sleepUs = 1000;
  for (;;) {
    pid_t w = waitpid(pid, status, WNOHANG);
    if (w == pid) return true;
    if (w < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(sleepUs);
    if (sleepUs < 20000) sleepUs *= 2;
  }
}

int ConnectUnix(const std::string &path, int type) {
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  return fd;
}

bool SendAll(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly len bytes before the deadline.
int RecvAll(int fd, void *data, size_t len, std::chrono::steady_clock::time_point deadline) {
  char *p = static_cast<char *>(data);
  while (len > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -ETIMEDOUT;
    struct pollfd pfd = {fd, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -ETIMEDOUT;
    ssize_t n = recv(fd, p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return -ECONNRESET;
    if (n < 0) return -errno;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int SpawnAndWait(const std::vector<std::string> &argvIn, std::vector<std::string> env,
                 const std::string &outPath, const std::string &errPath, int timeoutMs) {
  std::vector<std::string> argv = argvIn;
  auto cargv = CArray(argv);
  auto cenv = CArray(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  if (!WaitPid(pid, &status, timeoutMs)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return ExitCode(status);
}

}  // namespace

Json ParseJson(const std::string &text) {
  json_error_t error;
  return Json(json_loadb(text.data(), text.size(), 0, &error));
}

Json HostState(Daemon *d) { return ParseJson(HostControl(d, "{\"op\":\"state\"}")); }

Json ExitState(const Daemon *d) { return ParseJson(ReadFile(d->StatePath())); }

std::set<std::pair<uint64_t, uint64_t>> TracedHandles(json_t *state) {
  std::set<std::pair<uint64_t, uint64_t>> out;
  json_t *traced = state ? json_object_get(state, "traced") : nullptr;
  size_t i;
  json_t *t;
  json_array_foreach(traced, i, t) {
    out.insert({static_cast<uint64_t>(JsonInt(t, "worldGroupId")),
                static_cast<uint64_t>(JsonInt(t, "handleId"))});
  }
  return out;
}

int64_t JsonInt(json_t *obj, const char *key) {
  json_t *v = obj ? json_object_get(obj, key) : nullptr;
  return json_is_integer(v) ? json_integer_value(v) : 0;
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

DaemonOptions Opts(std::vector<std::string> args, std::string hostJson) {
  DaemonOptions o;
  o.args = std::move(args);
  o.hostJson = std::move(hostJson);
  return o;
}

Daemon::Daemon() {
  char templ[] = "/tmp/vethra-e2e-XXXXXX";
  if (mkdtemp(templ) == nullptr) return;
  dir = templ;
  chmod(dir.c_str(), 0755);
  runDir = dir + "/run";
  controlPath = dir + "/hostsim.ctl";
  mkdir(runDir.c_str(), 0755);
  mkdir((dir + "/dev").c_str(), 0755);
  StartSyslog(&syslog, dir + "/log.sock");
}

Daemon::~Daemon() {
  Kill(this);
  StopSyslog(&syslog);
  RemoveTree(dir);
}

bool Start(Daemon *d, const DaemonOptions &o, std::string *error) {
  if (d->dir.empty() || d->syslog.fd < 0) {
    *error = "could not create the test directory or the syslog socket";
    return false;
  }
  if (!o.useDemoHost && !o.hostJson.empty()) {
    d->hostConfigPath = d->dir + "/host.json";
    if (!WriteFile(d->hostConfigPath, o.hostJson)) {
      *error = "cannot write " + d->hostConfigPath;
      return false;
    }
  }
  std::vector<std::string> argv = {"vethra"};
  argv.insert(argv.end(), o.args.begin(), o.args.end());
  std::vector<std::string> env = DaemonEnv(d, o, d->controlPath);
  auto cargv = CArray(argv);
  auto cenv = CArray(env);

  std::string devStage = d->dir + "/dev";
  std::vector<std::string> sources, targets, linkTargets, linkPaths;
  for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string src = std::string("/dev/") + node;
    if (access(src.c_str(), F_OK) != 0) continue;
    sources.push_back(src);
    targets.push_back(devStage + "/" + node);
  }
  sources.push_back(d->syslog.path);
  targets.push_back(devStage + "/log");
  const char *links[][2] = {{"/proc/self/fd", "fd"},
                            {"/proc/self/fd/0", "stdin"},
                            {"/proc/self/fd/1", "stdout"},
                            {"/proc/self/fd/2", "stderr"}};
  for (auto &l : links) {
    linkTargets.emplace_back(l[0]);
    linkPaths.push_back(devStage + "/" + l[1]);
  }

  std::string outPath = d->dir + "/stdout", errPath = d->dir + "/stderr";
  int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (errFd < 0) {
    *error = "cannot create " + errPath;
    return false;
  }
  InitPlan plan;
  plan.binary = VETHRA_BINARY;
  plan.argv = cargv.data();
  plan.envp = cenv.data();
  plan.runDir = d->runDir.c_str();
  plan.devStage = devStage.c_str();
  for (size_t i = 0; i < sources.size(); i++) {
    plan.bindSources.push_back(sources[i].c_str());
    plan.bindTargets.push_back(targets[i].c_str());
  }
  for (size_t i = 0; i < linkPaths.size(); i++) {
    plan.linkTargets.push_back(linkTargets[i].c_str());
    plan.linkPaths.push_back(linkPaths[i].c_str());
  }
  plan.stderrFd = errFd;
  posix_spawn_file_actions_init(&plan.actions);
  posix_spawn_file_actions_addopen(&plan.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&plan.actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&plan.actions, errFd, 2);
  posix_spawnattr_init(&plan.attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&plan.attr, &none);
  posix_spawnattr_setsigdefault(&plan.attr, &all);
  posix_spawnattr_setflags(&plan.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const size_t stackSize = 256 * 1024;
  void *stack = mmap(nullptr, stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) {
    *error = "mmap";
    close(errFd);
    return false;
  }
  pid_t pid = clone(InitMain, static_cast<char *>(stack) + stackSize,
                    CLONE_NEWNS | CLONE_NEWPID | SIGCHLD, &plan);
  int cloneErrno = errno;
  // The child has its own copy of the stack; the parent's may go now.
  munmap(stack, stackSize);
  close(errFd);
  posix_spawn_file_actions_destroy(&plan.actions);
  posix_spawnattr_destroy(&plan.attr);
  if (pid < 0) {
    *error = std::string("clone(CLONE_NEWNS|CLONE_NEWPID): ") + strerror(cloneErrno) +
             " (the end-to-end tests need root)";
    return false;
  }
  d->initPid = pid;
  d->exited = false;
  // A set-up failure inside the namespace shows as exit code 99 with its
  // reason on the daemon's stderr.
  if (o.waitReady) WaitReady(d);
  return true;
}

bool IsRunning(Daemon *d) {
  if (d->initPid <= 0 || d->exited) return false;
  int status = 0;
  if (waitpid(d->initPid, &status, WNOHANG) == d->initPid) {
    d->exited = true;
    d->waitStatus = status;
    return false;
  }
  return true;
}

int WaitExit(Daemon *d, int timeoutMs) {
  if (d->initPid <= 0) return -1;
  if (!d->exited) {
    int status = 0;
    if (!WaitPid(d->initPid, &status, timeoutMs)) return -1;
    d->exited = true;
    d->waitStatus = status;
  }
  return ExitCode(d->waitStatus);
}

bool Signal(Daemon *d, int sig) { return IsRunning(d) && kill(d->initPid, sig) == 0; }

void Kill(Daemon *d) {
  if (d->initPid > 0 && !d->exited) {
    kill(d->initPid, SIGKILL);
    int status = 0;
    waitpid(d->initPid, &status, 0);
    d->exited = true;
    d->waitStatus = status;
  }
}

bool WaitReady(Daemon *d, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string path = d->SocketPath();
  int sleepUs = 1000;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!IsRunning(d)) return false;
    int fd = ConnectUnix(path, SOCK_STREAM);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    usleep(sleepUs);
    if (sleepUs < 20000) sleepUs *= 2;
  }
  return false;
}

int RunToExit(Daemon *d, const DaemonOptions &options, int timeoutMs) {
  DaemonOptions o = options;
  o.waitReady = false;
  std::string error;
  if (!Start(d, o, &error)) return -1;
  int code = WaitExit(d, timeoutMs);
  if (code < 0) Kill(d);
  return code;
}

std::string Stdout(const Daemon *d) { return ReadFile(d->dir + "/stdout"); }
std::string Stderr(const Daemon *d) { return ReadFile(d->dir + "/stderr"); }

int RunInNamespace(Daemon *d, const std::vector<std::string> &argv, std::string *out,
                   std::string *err, int timeoutMs) {
  static int counter = 0;
  int n = ++counter;
  if (!IsRunning(d)) return -1;
  std::vector<std::string> full = {"nsenter", "--target", std::to_string(d->initPid), "--mount",
                                   "--pid", "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  DaemonOptions o;
  std::string control = d->dir + "/hostsim-" + std::to_string(n) + ".ctl";
  std::string outPath = d->dir + "/ns-" + std::to_string(n) + ".out";
  std::string errPath = d->dir + "/ns-" + std::to_string(n) + ".err";
  int code = SpawnAndWait(full, DaemonEnv(d, o, control), outPath, errPath, timeoutMs);
  if (out) *out = ReadFile(outPath);
  if (err) *err = ReadFile(errPath);
  return code;
}

std::vector<LogLine> Lines(Daemon *d) {
  std::lock_guard<std::mutex> lock(d->syslog.mutex);
  return d->syslog.lines;
}

void SyncLog(Daemon *d) {
  SyslogReceiver *r = &d->syslog;
  uint64_t target;
  {
    std::lock_guard<std::mutex> lock(r->mutex);
    target = r->markersSeen + 1;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", r->path.c_str());
  std::string marker = kSyncTag + std::to_string(target);
  sendto(fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  close(fd);
  std::unique_lock<std::mutex> lock(r->mutex);
  r->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                      [&] { return r->markersSeen >= target; });
}

bool WaitForLog(Daemon *d, const std::string &needle, LogLine *line, int timeoutMs, bool regex) {
  SyslogReceiver *r = &d->syslog;
  std::regex re;
  if (regex) re = std::regex(needle);
  size_t checked = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(r->mutex);
  for (;;) {
    for (; checked < r->lines.size(); checked++) {
      const LogLine &l = r->lines[checked];
      bool hit = regex ? std::regex_search(l.text, re) : l.text.find(needle) != std::string::npos;
      if (hit) {
        if (line) *line = l;
        return true;
      }
    }
    if (r->changed.wait_until(lock, deadline) == std::cv_status::timeout &&
        checked == r->lines.size()) {
      return false;
    }
  }
}

std::vector<LogLine> FindLogs(Daemon *d, const std::string &needle) {
  SyncLog(d);
  std::vector<LogLine> out;
  for (const auto &l : Lines(d)) {
    if (l.text.find(needle) != std::string::npos) out.push_back(l);
  }
  return out;
}

std::string LogDump(Daemon *d) {
  SyncLog(d);
  std::string s;
  for (const auto &l : Lines(d)) s += "  [" + std::to_string(l.priority) + "] " + l.text + "\n";
  return s;
}

bool WaitControl(Daemon *d, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = ConnectUnix(d->controlPath, SOCK_STREAM);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (!IsRunning(d)) return false;
    usleep(5000);
  }
  return false;
}

std::string HostControl(Daemon *d, const std::string &request, std::string *error, int timeoutMs) {
  std::string err;
  std::string reply;
  int fd = ConnectUnix(d->controlPath, SOCK_STREAM);
  if (fd < 0) {
    err = "connect " + d->controlPath + ": " + strerror(-fd);
  } else {
    std::string line = request + "\n";
    if (!SendAll(fd, line.data(), line.size())) {
      err = "send failed";
    } else {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      char c;
      for (;;) {
        int r = RecvAll(fd, &c, 1, deadline);
        if (r != 0) {
          err = "no complete reply: " + std::string(strerror(-r));
          reply.clear();
          break;
        }
        if (c == '\n') break;
        reply += c;
      }
    }
    close(fd);
  }
  if (error) *error = err;
  return reply;
}

int DaemonCall(Daemon *d, uint32_t command, const std::string &payload, uint32_t *code,
               std::string *body, int timeoutMs) {
  int fd = ConnectUnix(d->SocketPath(), SOCK_STREAM);
  if (fd < 0) return fd;
  uint32_t header[2] = {htonl(command), htonl(static_cast<uint32_t>(payload.size()))};
  int rc = 0;
  if (!SendAll(fd, header, sizeof header) || !SendAll(fd, payload.data(), payload.size())) {
    rc = -EPIPE;
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t reply[2];
    rc = RecvAll(fd, reply, sizeof reply, deadline);
    if (rc == 0) {
      *code = ntohl(reply[0]);
      body->assign(ntohl(reply[1]), '\0');
      rc = RecvAll(fd, body->data(), body->size(), deadline);
    }
  }
  close(fd);
  return rc;
}

}  // namespace e2e
