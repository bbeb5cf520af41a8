// Whole /metrics scrapes over HTTP for a host with 2000 disks (100 VMs x 20
// disks): the vethractl exporter as a process on loopback, in front of a
// stand-in daemon that answers with fixed documents of counters of realistic
// widths. Times a scrape with a plain and with a gzip body (and the sizes of
// both), and a plain scrape while another client has a /metrics request
// outstanding that it never reads.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "vethra_client.h"
#include "vethractl.h"

namespace {

constexpr int kVms = 100;
constexpr int kDisksPerVm = 20;

std::string Docs(bool rates) {
  std::mt19937_64 rng(7);
  std::string s =
      rates ? "{\"vethraChangeRate\":{\"changeRateFields\":[\"changebytes5m\",\"changebytes15m\","
              "\"changebytes60m\"]},\"changeRateValues\":{\"timeStamp\":5,\"vmWorldGroups\":["
            : "{\"vethraMetrics\":{\"metricFields\":[";
  if (!rates) {
    for (int i = 0; i < VTR_TOOL_COUNTERS; i++)
      s += std::string(i ? "," : "") + "\"" + VTR_ToolCounterNames[i] + "\"";
    s += "]},\"metricValues\":{\"timeStamp\":5,\"vmWorldGroups\":[";
  }
  for (int v = 0; v < kVms; v++) {
    s += std::string(v ? "," : "") + "{\"vmName\":\"vm-" + std::to_string(v) +
         "\",\"uuid\":\"42 00 00 00 00 00 00 01-00 00 00 00 00 00 00 01\",\"worldGroupId\":" +
         std::to_string(80000 + v) + ",\"vmDisks\":[";
    for (int d = 0; d < kDisksPerVm; d++) {
      s += std::string(d ? "," : "") + "{\"vscsiDevName\":\"scsi" + std::to_string(d >> 4) + ":" +
           std::to_string(d & 15) + (rates ? "\",\"changeRates\":[" : "\",\"ioCounters\":[");
      for (int i = 0; i < (rates ? 3 : VTR_TOOL_COUNTERS); i++) {
        s += std::string(i ? "," : "") + std::to_string((rng() >> (rng() % 64)) >> 1);
      }
      s += "]}";
    }
    s += "]}";
  }
  return s + "]}}";
}

// The stand-in daemon and the exporter, started once for every benchmark.
struct Bench {
  std::string dir, socketPath, metrics, rates;
  int daemonFd = -1;
  pid_t exporter = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread daemon;

  bool Start() {
    char tmpl[] = "/tmp/vethra-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    socketPath = dir + "/daemon.uds";
    metrics = Docs(false);
    rates = Docs(true);
    daemonFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", socketPath.c_str());
    if (bind(daemonFd, (sockaddr *)&sa, sizeof sa) != 0 || listen(daemonFd, 16) != 0) return false;
    daemon = std::thread([this] { Serve(); });
    port = 20000 + getpid() % 20000;
    exporter = fork();
    if (exporter == 0) {
      std::string listen = "127.0.0.1:" + std::to_string(port);
      freopen("/dev/null", "w", stderr);
      execl(VETHRACTL_BINARY, "vethractl", "--socket", socketPath.c_str(), "exporter",
            "--web.listen-address", listen.c_str(), "--web.idle-timeout", "600", (char *)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500; i++) {
      int fd = Connect();
      if (fd >= 0) return close(fd), true;
      usleep(10000);
    }
    return false;
  }
  void Serve() {
    while (!stop) {
      pollfd p{daemonFd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(daemonFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      uint32_t head[2];
      if (recv(c, head, 8, MSG_WAITALL) == 8) {
        const std::string &body = ntohl(head[0]) == VTRC_CMD_METRICS ? metrics : rates;
        uint32_t reply[2] = {0, htonl((uint32_t)body.size())};
        send(c, reply, 8, MSG_NOSIGNAL);
        send(c, body.data(), body.size(), MSG_NOSIGNAL);
      }
      close(c);
    }
  }
  int Connect(int rcvbuf = 0) const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&sa, sizeof sa) != 0) return close(fd), -1;
    return fd;
  }
  ~Bench() {
    if (exporter > 0) {
      kill(exporter, SIGTERM);
      waitpid(exporter, nullptr, 0);
    }
    stop = true;
    if (daemon.joinable()) daemon.join();
    if (daemonFd >= 0) close(daemonFd);
    unlink(socketPath.c_str());
    rmdir(dir.c_str());
  }
};

Bench *TheBench() {
  static Bench *b = [] {
    auto *x = new Bench;
    if (!x->Start()) {
      delete x;
      return (Bench *)nullptr;
    }
    atexit([] { delete TheBench(); });
    return x;
  }();
  return b;
}

// One GET /metrics on a kept-alive connection; the body's size, 0 on failure.
size_t Scrape(int fd, bool gzip) {
  std::string req = std::string("GET /metrics HTTP/1.1\r\nHost: bench\r\n") +
                    (gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string buf;
  static thread_local char chunk[1 << 16];
  size_t end;
  while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return 0;
    buf.append(chunk, (size_t)n);
  }
  size_t cl = buf.find("Content-Length: ");
  size_t want = cl < end ? strtoul(buf.c_str() + cl + 16, nullptr, 10) : 0;
  size_t have = buf.size() - end - 4;
  while (have < want) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return 0;
    have += (size_t)n;
  }
  return want;
}

// arg 0: plain; 1: gzip; 2: plain while a stalled client holds a /metrics request.
void BM_HttpMetrics(benchmark::State &state) {
  Bench *b = TheBench();
  if (!b) return state.SkipWithError("cannot start the exporter");
  int stalled = -1;
  if (state.range(0) == 2) {
    stalled = b->Connect(4096);
    std::string req = "GET /metrics HTTP/1.1\r\nHost: stalled\r\n\r\n";
    send(stalled, req.data(), req.size(), MSG_NOSIGNAL);
    pollfd p{stalled, POLLIN, 0};
    poll(&p, 1, 10000);  // the exporter has begun to send, and is held up
  }
  int fd = b->Connect();
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = Scrape(fd, state.range(0) == 1);
    if (!bytes) return state.SkipWithError("the scrape failed");
  }
  close(fd);
  if (stalled >= 0) close(stalled);
  state.counters["body_bytes"] = static_cast<double>(bytes);
  static double plainBytes = 0;
  if (state.range(0) == 0) plainBytes = (double)bytes;
  if (state.range(0) == 1 && plainBytes > 0)
    state.counters["plain_per_gzip"] = plainBytes / (double)bytes;
  state.SetLabel(state.range(0) == 0   ? "plain"
                 : state.range(0) == 1 ? "gzip"
                                       : "plain, another client stalled");
}
BENCHMARK(BM_HttpMetrics)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The compression alone, in the process, of the same /metrics text.
void BM_GzipMetricsText(benchmark::State &state) {
  VTR_Scrape s{};
  std::string err;
  s.metricsOk = VTR_ParseMetricsDoc(Docs(false), &s.metrics, &err) == 0;
  s.changeRate = VTR_ParseChangeRateDoc(Docs(true), &s.rates, &err) == 0 ? 1 : -1;
  std::string text = VTR_RenderExposition(s, false), gz;
  for (auto _ : state) VTR_Gzip(text, &gz);
  state.counters["plain_per_gzip"] = (double)text.size() / (double)gz.size();
}
BENCHMARK(BM_GzipMetricsText)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
