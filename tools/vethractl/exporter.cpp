// The Prometheus exporter: a small poll-based HTTP/1.1 server. Each request
// for /metrics queries the daemon once per document and answers with
// Connection: close; at most EXP_MAX_CONNS connections are open at a time.
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "dashboard.h"
#include "vethra_client.h"
#include "vethractl.h"

namespace {

constexpr size_t EXP_MAX_CONNS = 32;
constexpr size_t EXP_MAX_HEAD = 16384;
constexpr int EXP_IDLE_MS = 10000;
constexpr int EXP_DAEMON_TIMEOUT_MS = 10000;

volatile sig_atomic_t stopRequested = 0;
void OnStop(int) { stopRequested = 1; }

struct Conn {
  int fd;
  std::string buf;
  int64_t deadlineMs;
};

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string Lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// The head goes in front of the body in the body's own buffer: a /metrics
// body of a big host is many megabytes, reserved with room to spare, and is
// not copied into a second one.
std::string Response(int status, const char *reason, const char *type, std::string body, bool head) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
  if (status == 405) r += "Allow: GET, HEAD\r\n";
  r += "\r\n";
  if (head) return r;
  body.insert(0, r);
  return body;
}

void SendAll(int fd, const std::string &data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += (size_t)n;
  }
}

std::string Serve(const VTR_HttpRequest &req, const char *socketPath, std::string *lastError) {
  bool head = req.method == "HEAD";
  if (req.method != "GET" && !head) {
    return Response(405, "Method Not Allowed", "text/plain; charset=utf-8", "only GET and HEAD\n", false);
  }
  if (std::string r = VTR_DashboardResponse(req, socketPath); !r.empty()) return r;
  if (req.path != "/metrics") return Response(404, "Not Found", "text/plain; charset=utf-8", "not found\n", head);
  VTR_Scrape s{};
  std::string error;
  VTR_ScrapeDaemon(socketPath, &s, &error);
  if (error != *lastError) {  // log changes only, not every failing scrape
    fprintf(stderr, "vethractl exporter: %s\n", error.empty() ? "daemon answers again" : error.c_str());
    *lastError = error;
  }
  bool om = VTR_WantsOpenMetrics(req.accept);
  return Response(200, "OK",
                  om ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                     : "text/plain; version=0.0.4; charset=utf-8",
                  VTR_RenderExposition(s, om), head);
}

int Listen(const char *listen, std::string *err) {
  std::string addr = listen, host, port;
  size_t colon = addr.rfind(':');
  if (colon == std::string::npos) {
    *err = "--listen expects HOST:PORT, e.g. 127.0.0.1:9470";
    return -1;
  }
  host = addr.substr(0, colon);
  port = addr.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *res = nullptr;
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    *err = "cannot resolve " + addr + ": " + gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo *a = res; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
      *err = "cannot listen on " + addr + ": " + strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(res);
  return fd;
}

}  // namespace

int VTR_ParseHttpHead(const std::string &buf, VTR_HttpRequest *req) {
  size_t end = buf.find("\r\n\r\n");
  if (end == std::string::npos) return buf.size() > EXP_MAX_HEAD ? -1 : 0;
  size_t eol = buf.find("\r\n");
  std::string line = buf.substr(0, eol);
  size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1 || line.compare(sp2 + 1, 5, "HTTP/") != 0) return -1;
  req->method = line.substr(0, sp1);
  req->path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  req->path = req->path.substr(0, req->path.find('?'));
  req->accept.clear();
  for (size_t pos = eol + 2; pos < end;) {
    size_t next = buf.find("\r\n", pos);
    std::string h = buf.substr(pos, next - pos);
    size_t colon = h.find(':');
    if (colon != std::string::npos && Lower(h.substr(0, colon)) == "accept") {
      size_t v = h.find_first_not_of(" \t", colon + 1);
      req->accept += (req->accept.empty() ? "" : ",") + (v == std::string::npos ? "" : h.substr(v));
    }
    pos = next + 2;
  }
  return 1;
}

bool VTR_WantsOpenMetrics(const std::string &accept) {
  return Lower(accept).find("application/openmetrics-text") != std::string::npos;
}

void VTR_ScrapeDaemon(const char *socketPath, VTR_Scrape *s, std::string *error) {
  auto t0 = std::chrono::steady_clock::now();
  uint32_t code = 0;
  std::string body, perr;
  error->clear();
  s->metricsOk = false;
  s->changeRate = -1;
  int rc = vtrc_call(socketPath, VTRC_CMD_METRICS, "", &code, &body, EXP_DAEMON_TIMEOUT_MS);
  if (rc < 0) {
    *error = vtrc_error_text(rc, socketPath);
  } else if (code != 0) {
    *error = "metrics query failed: " + body;
  } else if (VTR_ParseMetricsDoc(body, &s->metrics, &perr) != 0) {
    *error = "metrics reply not understood: " + perr;
  } else {
    s->metricsOk = true;
    rc = vtrc_call(socketPath, VTRC_CMD_CHANGE_RATE, "", &code, &body, EXP_DAEMON_TIMEOUT_MS);
    if (rc == 0 && code != 0 && body == VTR_CHANGE_RATE_DISABLED) {
      s->changeRate = 0;
    } else if (rc == 0 && code == 0 && VTR_ParseChangeRateDoc(body, &s->rates, &perr) == 0) {
      s->changeRate = 1;
    } else {
      *error = "change-rate query failed: " + (rc < 0 ? vtrc_error_text(rc, socketPath) : body);
    }
  }
  s->durationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int VTR_RunExporter(const char *listen, const char *socketPath) {
  std::string err;
  int lfd = Listen(listen, &err);
  if (lfd < 0) {
    fprintf(stderr, "vethractl: %s\n", err.c_str());
    return VTR_EXIT_UNREACHABLE;
  }
  struct sigaction sa{};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  fprintf(stderr, "vethractl exporter: serving http://%s/metrics and the dashboard at http://%s/ for the daemon at %s\n",
          listen, listen, socketPath);
  std::vector<Conn> conns;
  std::string lastError;
  while (!stopRequested) {
    std::vector<pollfd> pfds;
    pfds.push_back({lfd, (short)(conns.size() < EXP_MAX_CONNS ? POLLIN : 0), 0});
    for (const Conn &c : conns) pfds.push_back({c.fd, POLLIN, 0});
    int n = poll(pfds.data(), pfds.size(), 1000);
    if (n < 0 && errno != EINTR) break;
    int64_t now = NowMs();
    if (n > 0 && (pfds[0].revents & POLLIN)) {
      int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (cfd >= 0) {
        timeval tv{5, 0};  // a reader that stalls cannot hold the server for long
        setsockopt(cfd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        conns.push_back({cfd, std::string(), now + EXP_IDLE_MS});
      }
    }
    std::vector<Conn> keep;
    for (size_t i = 0; i < conns.size(); i++) {
      Conn &c = conns[i];
      bool done = now > c.deadlineMs;
      if (!done && n > 0 && (pfds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) {
        char chunk[4096];
        ssize_t r = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r <= 0) {
          done = !(r < 0 && (errno == EAGAIN || errno == EINTR));
        } else {
          c.buf.append(chunk, (size_t)r);
          VTR_HttpRequest req;
          int st = VTR_ParseHttpHead(c.buf, &req);
          if (st < 0) {
            SendAll(c.fd, Response(400, "Bad Request", "text/plain; charset=utf-8", "bad request\n", false));
          } else if (st > 0) {
            SendAll(c.fd, Serve(req, socketPath, &lastError));
          }
          done = st != 0;
        }
      }
      if (done) {
        close(c.fd);
      } else {
        keep.push_back(c);
      }
    }
    conns.swap(keep);
  }
  for (const Conn &c : conns) close(c.fd);
  close(lfd);
  return VTR_EXIT_OK;
}
