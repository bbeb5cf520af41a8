// The control protocol (one JSON request per line, one JSON reply per line),
// its Unix-socket server, and the in-process entry points hostsim_control and
// hostsim_free.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <list>
#include <thread>

#include "hostsim.h"
#include "internal.h"

namespace hostsim {
namespace {

constexpr size_t kMaxLine = 16u << 20;  // 16 MiB
constexpr int64_t kDefaultTimeoutMs = 30000;
constexpr size_t kInjectChunk = 21845;  // records per chunk (~1 MiB)

json_t *err(const std::string &msg) { return json_pack("{s:s}", "error", msg.c_str()); }
json_t *ok() { return json_pack("{s:b}", "ok", 1); }

int64_t timeoutOf(json_t *req) {
  json_t *t = json_object_get(req, "timeoutMs");
  if (json_is_integer(t) && json_integer_value(t) >= 0) return json_integer_value(t);
  return kDefaultTimeoutMs;
}

// The VM named by "worldGroupId" (any of its ids is accepted) or "id".
Vm *requestVm(json_t *req, std::string &e) {
  uint64_t id = 0;
  const char *key = json_object_get(req, "worldGroupId") ? "worldGroupId" : "id";
  if (!jsonU64(req, key, id, true, e)) return nullptr;
  Vm *vm = host->findVm((int64_t)id, Host::Addr::GroupFirst);
  if (!vm) e = "no VM with id " + std::to_string(id);
  return vm;
}

void dropTracesOf(Vm &vm) {
  for (Disk &d : vm.disks) {
    host->traced.erase({vm.worldGroupId, d.handleId});
    d.gen.initialized = false;
  }
}

json_t *opState() {
  json_t *r = json_object();
  size_t tracedCount;
  {
    std::lock_guard<std::mutex> lock(hostMutex);
    json_t *vms = json_array();
    for (const Vm &vm : host->vms) json_array_append_new(vms, vmJson(*host, vm));
    json_object_set_new(r, "vms", vms);
    json_t *traced = json_array();
    for (const auto &t : host->traced)
      json_array_append_new(traced, json_pack("{s:I,s:I}", "worldGroupId", (json_int_t)t.first,
                                              "handleId", (json_int_t)t.second));
    json_object_set_new(r, "traced", traced);
    tracedCount = host->traced.size();
    json_object_set_new(r, "signatureMatches", json_boolean(host->signatureMatches));
  }
  ChannelStats s = channelStats();
  json_object_set_new(r, "monitoredDiskCount", json_integer((json_int_t)tracedCount));
  json_t *c = json_object();
  json_object_set_new(c, "name", json_string(CHANNEL_NAME));
  json_object_set_new(c, "capacityBytes", json_integer((json_int_t)s.capacityBytes));
  json_object_set_new(c, "usedBytes", json_integer((json_int_t)s.usedBytes));
  json_object_set_new(c, "fill",
                      json_real(s.capacityBytes ? (double)s.usedBytes / s.capacityBytes : 0));
  json_object_set_new(c, "writtenBytes", json_integer((json_int_t)s.writtenBytes));
  json_object_set_new(c, "acknowledgedBytes", json_integer((json_int_t)s.ackedBytes));
  json_object_set_new(c, "clearedBytes", json_integer((json_int_t)s.bytesCleared));
  json_object_set_new(r, "channel", c);
  json_object_set_new(r, "generatorTicks", json_integer((json_int_t)generatorTicks.load()));
  json_object_set_new(r, "recordsEmitted", json_integer((json_int_t)s.recordsEmitted));
  json_object_set_new(r, "recordsDropped", json_integer((json_int_t)s.recordsDropped));
  json_object_set_new(r, "recordsInjected", json_integer((json_int_t)s.recordsInjected));
  json_object_set_new(r, "recordsAcknowledged",
                      json_integer((json_int_t)(s.ackedBytes / RECORD_SIZE)));
  json_object_set_new(r, "recordsPending", json_integer((json_int_t)(s.usedBytes / RECORD_SIZE)));
  json_object_set_new(r, "traceClockUs", json_integer((json_int_t)traceClockUs()));
  json_object_set_new(r, "calls", callCountsJson());
  json_object_set_new(r, "faults", faultsJson());
  uint64_t created = paramListsCreated(), destroyed = paramListsDestroyed();
  json_object_set_new(r, "paramListsCreated", json_integer((json_int_t)created));
  json_object_set_new(r, "paramListsDestroyed", json_integer((json_int_t)destroyed));
  json_object_set_new(r, "paramListsLive", json_integer((json_int_t)(created - destroyed)));
  return r;
}

// Keeps the records of traced (worldGroupId, handleId) pairs, in order.
size_t filterTraced(std::vector<WireRecord> &recs) {
  std::lock_guard<std::mutex> lock(hostMutex);
  size_t kept = 0;
  uint32_t lastWg = 0;
  uint64_t lastHandle = 0;
  bool lastKnown = false, lastTraced = false;
  for (const WireRecord &r : recs) {
    if (!lastKnown || r.worldGroupId != lastWg || r.handleId != lastHandle) {
      lastWg = r.worldGroupId;
      lastHandle = r.handleId;
      lastKnown = true;
      lastTraced = host->traced.count({lastWg, lastHandle}) > 0;
    }
    if (lastTraced) recs[kept++] = r;
  }
  size_t skipped = recs.size() - kept;
  recs.resize(kept);
  return skipped;
}

json_t *injectReply(size_t appended, size_t skipped, bool complete) {
  json_t *r =
      json_pack("{s:I,s:I}", "appended", (json_int_t)appended, "skipped", (json_int_t)skipped);
  if (!complete) json_object_set_new(r, "error", json_string("timed out waiting for ring space"));
  return r;
}

json_t *opInject(json_t *req, const std::atomic<bool> *cancel) {
  int64_t timeout = timeoutOf(req);
  size_t appended = 0, skipped = 0;
  std::vector<WireRecord> chunk;
  chunk.reserve(kInjectChunk);
  auto flush = [&]() -> bool {
    skipped += filterTraced(chunk);
    size_t n = channelAppendWait(chunk.data(), chunk.size(), timeout, cancel);
    appended += n;
    bool complete = n == chunk.size();
    chunk.clear();
    return complete;
  };
  json_t *file = json_object_get(req, "file");
  json_t *records = json_object_get(req, "records");
  if (json_is_string(file)) {
    FILE *f = fopen(json_string_value(file), "rb");
    if (!f)
      return err(std::string("cannot open ") + json_string_value(file) + ": " + strerror(errno));
    bool complete = true;
    for (;;) {
      chunk.resize(kInjectChunk);
      size_t n = fread(chunk.data(), RECORD_SIZE, kInjectChunk, f);
      chunk.resize(n);
      if (n == 0) break;
      if (!(complete = flush())) break;
    }
    fclose(f);
    return injectReply(appended, skipped, complete);
  }
  if (json_is_array(records)) {
    uint64_t now = traceClockUs();
    size_t i;
    json_t *o;
    std::string e;
    json_array_foreach(records, i, o) {
      if (!json_is_object(o)) return err("records[" + std::to_string(i) + "] must be an object");
      uint64_t opcode = OPCODE_READ10, wg = 0, handle = 0, length = 4096, lba = 0, ts = now,
               latency = 100;
      if (!jsonU64(o, "opcode", opcode, false, e) || !jsonU64(o, "worldGroupId", wg, true, e) ||
          !jsonU64(o, "handleId", handle, true, e) || !jsonU64(o, "length", length, false, e) ||
          !jsonU64(o, "lba", lba, false, e) || !jsonU64(o, "timestamp", ts, false, e) ||
          !jsonU64(o, "latency", latency, false, e))
        return err("records[" + std::to_string(i) + "]: " + e);
      if (opcode > 255 || wg > 0xFFFFFFFFull || length > 0xFFFFFFFFull)
        return err("records[" + std::to_string(i) + "]: field out of range");
      WireRecord r;
      memset(&r, 0, sizeof r);
      r.opcode = (uint8_t)opcode;
      r.worldGroupId = (uint32_t)wg;
      r.handleId = handle;
      r.length = (uint32_t)length;
      r.lba = lba;
      r.timestamp = ts;
      r.latency = latency;
      chunk.push_back(r);
    }
    // One chunk: the whole request is filtered against one view of the trace switches.
    bool complete = flush();
    return injectReply(appended, skipped, complete);
  }
  return err("inject needs \"file\" (a path) or \"records\" (an array)");
}

json_t *opDrain(json_t *req, const std::atomic<bool> *cancel) {
  if (!channelDrain(timeoutOf(req), cancel)) {
    ChannelStats s = channelStats();
    return json_pack("{s:s,s:I}", "error", "drain timed out", "usedBytes", (json_int_t)s.usedBytes);
  }
  ChannelStats s = channelStats();
  return json_pack("{s:b,s:I}", "drained", 1, "acknowledgedBytes", (json_int_t)s.ackedBytes);
}

json_t *opFault(json_t *req) {
  json_t *nodeV = json_object_get(req, "node");
  if (!json_is_string(nodeV)) return err("fault needs \"node\"");
  int node = nodeByName(json_string_value(nodeV));
  if (!node) return err(std::string("unknown node ") + json_string_value(nodeV));
  TARN_Status st = ST_FAILURE;
  if (json_t *s = json_object_get(req, "status"))
    if (!jsonStatus(s, st))
      return err("bad \"status\" (a number or hex text such as \"0xBAD0062\")");
  int64_t count = 1;
  if (json_t *c = json_object_get(req, "count")) {
    if (!json_is_integer(c)) return err("\"count\" must be an integer");
    count = json_integer_value(c);
  }
  if (st == 0) count = 0;  // a success "fault" clears
  setFault(node, st, count);
  return ok();
}

json_t *opHostChange(const std::string &op, json_t *req) {
  std::string e;
  std::lock_guard<std::mutex> lock(hostMutex);
  if (op == "addVm") {
    Vm vm;
    if (!parseVm(json_object_get(req, "vm"), vm, e)) return err(e);
    uint32_t wg = vm.worldGroupId;
    if (!addVmToHost(*host, std::move(vm), e)) return err(e);
    return json_pack("{s:b,s:I}", "ok", 1, "worldGroupId", (json_int_t)wg);
  }
  if (op == "setTraced") {
    uint64_t wg = 0, handle = 0;
    if (!jsonU64(req, "worldGroupId", wg, true, e) || !jsonU64(req, "handleId", handle, true, e))
      return err(e);
    json_t *t = json_object_get(req, "traced");
    bool on = !t || json_is_true(t);
    if (on)
      host->traced.insert({(uint32_t)wg, handle});
    else
      host->traced.erase({(uint32_t)wg, handle});
    if (Vm *vm = host->findByGroup((uint32_t)wg))
      if (Disk *d = vm->findDisk(handle)) d->gen.initialized = false;
    return ok();
  }
  Vm *vm = requestVm(req, e);
  if (!vm) return err(e);
  if (op == "powerOff") {
    dropTracesOf(*vm);
    vm->poweredOn = false;
    return ok();
  }
  if (op == "powerOn") {
    vm->poweredOn = true;
    return ok();
  }
  if (op == "removeVm") {
    dropTracesOf(*vm);
    host->vms.erase(host->vms.begin() + (vm - host->vms.data()));
    return ok();
  }
  if (op == "setVm") {
    json_t *v;
    if ((v = json_object_get(req, "hasVmm")) && json_is_boolean(v)) vm->hasVmm = json_is_true(v);
    if ((v = json_object_get(req, "displayName")) && json_is_string(v))
      vm->displayName = json_string_value(v);
    if ((v = json_object_get(req, "configFile")) && json_is_string(v))
      vm->configFile = json_string_value(v);
    if ((v = json_object_get(req, "uuid")) && json_is_string(v)) vm->uuid = json_string_value(v);
    uint64_t leader = vm->vmmLeaderId;
    if (!jsonU64(req, "vmmLeaderId", leader, false, e)) return err(e);
    vm->vmmLeaderId = (uint32_t)leader;
    return ok();
  }
  if (op == "addDisk") {
    Disk d;
    if (!parseDisk(json_object_get(req, "disk"), d, e)) return err(e);
    if (vm->findDisk(d.handleId)) return err("duplicate handleId " + std::to_string(d.handleId));
    if (d.name.empty()) d.name = "scsi0:" + std::to_string(vm->disks.size());
    vm->disks.push_back(std::move(d));
    return ok();
  }
  uint64_t handle = 0;
  if (!jsonU64(req, "handleId", handle, true, e)) return err(e);
  Disk *d = vm->findDisk(handle);
  if (!d)
    return err("VM " + std::to_string(vm->worldGroupId) + " has no disk " + std::to_string(handle));
  if (op == "removeDisk") {
    host->traced.erase({vm->worldGroupId, handle});
    vm->disks.erase(vm->disks.begin() + (d - vm->disks.data()));
    return ok();
  }
  if (op == "workload") {
    json_t *w = json_object_get(req, "workload");
    if (!w || json_is_null(w)) {
      d->hasWorkload = false;
      d->workload = Workload{};
    } else {
      Workload nw;
      if (!parseWorkload(w, nw, e)) return err(e);
      d->workload = nw;
      d->hasWorkload = true;
    }
    d->gen = GenState{};
    return ok();
  }
  return err("unknown op " + op);
}

}  // namespace

json_t *controlExecute(json_t *req, const std::atomic<bool> *cancel) {
  if (!json_is_object(req)) return err("request must be a JSON object");
  json_t *opV = json_object_get(req, "op");
  if (!json_is_string(opV)) return err("request needs \"op\"");
  std::string op = json_string_value(opV);
  if (op == "state") return opState();
  if (op == "ping") return ok();
  if (op == "inject") return opInject(req, cancel);
  if (op == "drain") return opDrain(req, cancel);
  if (op == "fault") return opFault(req);
  if (op == "hold") {
    json_t *nodeV = json_object_get(req, "node");
    int node = json_is_string(nodeV) ? nodeByName(json_string_value(nodeV)) : 0;
    if (!node) return err("hold needs a known \"node\"");
    armHold(node);
    return ok();
  }
  if (op == "awaitHeld") {
    if (!awaitHeld(timeoutOf(req))) return err("no call was held");
    return json_pack("{s:b}", "held", 1);
  }
  if (op == "release") {
    releaseHold();
    return ok();
  }
  if (op == "clearFaults") {
    clearFaults();
    return ok();
  }
  if (op == "resetCounters") {
    resetCallCounts();
    channelResetCounters();
    return ok();
  }
  if (op == "clearChannel") {
    channelClear();
    return ok();
  }
  if (op == "configure") {
    json_t *h = json_object_get(req, "host");
    std::string e;
    std::unique_ptr<Host> nh =
        (!h || json_is_null(h)) ? parseHost(demoHostJson(), e) : parseHostJson(h, e);
    if (!nh) return err(e);
    replaceHost(std::move(nh));
    return ok();
  }
  if (op == "addVm" || op == "setTraced" || op == "powerOff" || op == "powerOn" ||
      op == "removeVm" || op == "setVm" || op == "addDisk" || op == "removeDisk" ||
      op == "workload")
    return opHostChange(op, req);
  return err("unknown op " + op);
}

std::string controlExecuteText(const char *text, size_t len, const std::atomic<bool> *cancel) {
  json_error_t jerr;
  json_t *req = json_loadb(text, len, 0, &jerr);
  if (!req) return errorReply(std::string("invalid JSON: ") + jerr.text);
  json_t *reply;
  try {
    reply = controlExecute(req, cancel);
  } catch (const std::exception &e) {
    reply = err(std::string("internal error: ") + e.what());
  }
  json_decref(req);
  char *s = json_dumps(reply, JSON_COMPACT);
  json_decref(reply);
  if (!s) return errorReply("cannot encode reply");
  std::string out(s);
  free(s);
  return out;
}

// ---- socket server ------------------------------------------------------------------
namespace {

struct Conn {
  int fd;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct Server {
  std::mutex mutex;
  std::string path;
  int listenFd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::thread acceptThread;
  std::atomic<bool> stop{false};
  std::list<Conn> conns;  // guarded by mutex
  bool running = false;
};

Server &server() {
  static Server *s = new Server;  // never destroyed (threads may outlive static destruction)
  return *s;
}

bool sendAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= (size_t)k;
  }
  return true;
}

void serveConnection(Conn *c, std::atomic<bool> *stop) {
  std::string buf;
  size_t scanFrom = 0;
  char tmp[65536];
  while (!stop->load()) {
    struct pollfd p = {c->fd, POLLIN, 0};
    int pr = poll(&p, 1, 200);
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0) continue;
    ssize_t n = recv(c->fd, tmp, sizeof tmp, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    buf.append(tmp, (size_t)n);
    bool closeConn = false;
    size_t start = 0;
    for (;;) {
      size_t nl = buf.find('\n', std::max(start, scanFrom));
      if (nl == std::string::npos) break;
      size_t len = nl - start;
      if (len > 0 && buf[start + len - 1] == '\r') len--;
      bool blank = buf.find_first_not_of(" \t\r", start) >= nl;
      if (!blank) {
        std::string reply = controlExecuteText(buf.data() + start, len, stop) + "\n";
        if (!sendAll(c->fd, reply.data(), reply.size())) {
          closeConn = true;
          break;
        }
      }
      start = nl + 1;
    }
    buf.erase(0, start);
    scanFrom = buf.size();
    if (closeConn) break;
    if (buf.size() > kMaxLine) {
      std::string reply = errorReply("request line longer than 16 MiB") + "\n";
      sendAll(c->fd, reply.data(), reply.size());
      break;
    }
  }
  shutdown(c->fd, SHUT_RDWR);
  c->done.store(true);
}

void reapLocked(Server &s, bool all) {
  for (auto it = s.conns.begin(); it != s.conns.end();) {
    if (all) shutdown(it->fd, SHUT_RDWR);
    if (all || it->done.load()) {
      it->thread.join();
      close(it->fd);
      it = s.conns.erase(it);
    } else {
      ++it;
    }
  }
}

void acceptLoop(Server *s) {
  while (!s->stop.load()) {
    struct pollfd p = {s->listenFd, POLLIN, 0};
    int pr = poll(&p, 1, 200);
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      reapLocked(*s, false);
    }
    if (pr <= 0) continue;
    int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(s->mutex);
    Conn &c = s->conns.emplace_back();
    c.fd = fd;
    c.thread = std::thread(serveConnection, &c, &s->stop);
  }
}

void unlinkAtExit() {
  Server &s = server();
  // No lock: the process is ending; only unlink a socket file that is still ours.
  if (!s.running) return;
  struct stat st;
  if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
    unlink(s.path.c_str());
}

}  // namespace

bool controlServerStart(const std::string &path) {
  Server &s = server();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.running) return false;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "hostsim: warning: control socket path too long: %s; no control socket\n",
            path.c_str());
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool live = connect(probe, (struct sockaddr *)&addr, sizeof addr) == 0;
    close(probe);
    if (live) {
      fprintf(
          stderr,
          "hostsim: warning: %s already has a live listener; running without a control socket\n",
          path.c_str());
      return false;
    }
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 64) != 0) {
    fprintf(stderr, "hostsim: warning: cannot serve control socket %s: %s; no control socket\n",
            path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    s.dev = st.st_dev;
    s.ino = st.st_ino;
  }
  s.path = path;
  s.listenFd = fd;
  s.stop.store(false);
  s.running = true;
  s.acceptThread = std::thread(acceptLoop, &s);
  static std::once_flag atexitOnce;
  std::call_once(atexitOnce, [] { atexit(unlinkAtExit); });
  return true;
}

void controlServerStop() {
  Server &s = server();
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.running) return;
    s.stop.store(true);
    t = std::move(s.acceptThread);
  }
  t.join();
  std::lock_guard<std::mutex> lock(s.mutex);
  reapLocked(s, true);
  close(s.listenFd);
  s.listenFd = -1;
  struct stat st;
  if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
    unlink(s.path.c_str());
  s.running = false;
}

}  // namespace hostsim

extern "C" {

char *hostsim_control(const char *request) {
  hostsim::ensureStarted();
  std::string reply = request ? hostsim::controlExecuteText(request, strlen(request), nullptr)
                              : hostsim::errorReply("null request");
  return strdup(reply.c_str());
}

void hostsim_free(void *p) { free(p); }

}  // extern "C"
