// The Prometheus exporter: /metrics and the dashboard served by libmicrohttpd
// with one thread per connection, so a slow, stalled or half-sent client
// holds only its own thread. Connections are kept alive, bodies are gzipped
// when the client accepts it, an idle connection is closed after a timeout,
// and connections past a cap are answered 503. With a web configuration
// file: TLS (certificates re-read when they change) and basic authentication.
#include <errno.h>
#include <gnutls/crypto.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "dashboard.h"
#include "history.h"
#include "vethra_client.h"
#include "vethractl.h"
#include "web_config.h"

namespace {

// Connections past the cap are still taken, up to this many more, to be
// told 503; beyond that the library closes new ones at once.
constexpr unsigned EXP_CAP_HEADROOM = 16;
constexpr size_t EXP_AUTH_CACHE = 1024;
constexpr size_t EXP_GZIP_MIN = 1024;  // smaller bodies are sent as they are
constexpr size_t EXP_BLOCK = 256 * 1024;
const char TEXT[] = "text/plain; charset=utf-8";

struct Exporter {
  const char *socketPath;
  int timeoutMs;
  unsigned maxConnections;
  std::string webConfigPath;
  std::atomic<unsigned> connections{0};
  std::mutex mu;                          // guards everything below
  std::shared_ptr<VTR_WebConfig> cfg;     // null without --web.config.file
  std::shared_ptr<VTR_WebConfig> failed;  // the stamps of the last version that did not load
  // Every configuration loaded stays until exit: a handshake may still be
  // using the certificate of one that was replaced. Rotations are rare.
  std::vector<std::shared_ptr<VTR_WebConfig>> loaded;
  std::string lastScrapeError, lastConfigError;
  std::unordered_set<std::string> authCache;  // SHA-256 of user, hash and a password that matched
};
Exporter *current;  // for the certificate callback, which takes no argument of its own

std::shared_ptr<VTR_WebConfig> NewConfig() {
  return std::shared_ptr<VTR_WebConfig>(new VTR_WebConfig, [](VTR_WebConfig *c) {
    VTR_FreeWebConfig(c);
    delete c;
  });
}

// The configuration in force, re-read first when its file or a file it names
// changed. A file that no longer loads leaves the previous one in force.
std::shared_ptr<VTR_WebConfig> Config(Exporter *e, bool reload) {
  std::lock_guard<std::mutex> lock(e->mu);
  if (reload && e->cfg && VTR_WebConfigChanged(*e->cfg) &&
      (!e->failed || VTR_WebConfigChanged(*e->failed))) {
    auto next = NewConfig();
    std::string err;
    e->failed = nullptr;
    if (VTR_LoadWebConfig(e->webConfigPath.c_str(), next.get(), &err) != 0) {
      e->failed = next;
    } else if (next->tls != e->cfg->tls ||
               next->clientCaPem.empty() != e->cfg->clientCaPem.empty()) {
      err = "switching TLS or client certificates on or off needs a restart";
      e->failed = next;
    } else {
      e->cfg = next;
      e->loaded.push_back(next);
      fprintf(stderr, "vethractl exporter: web config %s reloaded\n", e->webConfigPath.c_str());
    }
    if (!err.empty() && err != e->lastConfigError) {
      fprintf(stderr,
              "vethractl exporter: web config %s not reloaded, the previous one stays: %s\n",
              e->webConfigPath.c_str(), err.c_str());
    }
    e->lastConfigError = err;
  }
  return e->cfg;
}

int CertCallback(gnutls_session_t, const gnutls_datum_t *, int, const gnutls_pk_algorithm_t *, int,
                 gnutls_pcert_st **pcert, unsigned int *count, gnutls_privkey_t *key) {
  std::shared_ptr<VTR_WebConfig> cfg = Config(current, false);
  *pcert = cfg->pcerts;
  *count = cfg->pcertCount;
  *key = cfg->key;
  return 0;
}

void OnConnection(void *cls, MHD_Connection *, void **, MHD_ConnectionNotificationCode code) {
  Exporter *e = (Exporter *)cls;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    e->connections++;
    if (!e->webConfigPath.empty())
      Config(e, true);  // rotated files take effect with the next connection
  } else {
    e->connections--;
  }
}

void Log(void *, const char *fmt, va_list ap) {
  fputs("vethractl exporter: ", stderr);
  vfprintf(stderr, fmt, ap);
}

ssize_t ReadBody(void *cls, uint64_t pos, char *buf, size_t max) {
  const std::string *body = (const std::string *)cls;
  if (pos >= body->size()) return MHD_CONTENT_READER_END_OF_STREAM;
  size_t n = std::min(max, body->size() - (size_t)pos);
  memcpy(buf, body->data() + pos, n);
  return (ssize_t)n;
}

void FreeBody(void *cls) { delete (std::string *)cls; }

enum SendFlags { SEND_GZIP = 1, SEND_CLOSE = 2, SEND_AUTH = 4 };

// Queues the reply; the body is moved to the heap and freed by the library
// once sent (a big host's /metrics is megabytes: it is not copied again).
MHD_Result Send(MHD_Connection *c, VTR_HttpReply reply, int flags) {
  std::string *body = new std::string();
  bool gz = (flags & SEND_GZIP) && reply.status == 200 && reply.body.size() >= EXP_GZIP_MIN &&
            VTR_Gzip(reply.body, body);
  if (!gz) *body = std::move(reply.body);
  MHD_Response *r =
      MHD_create_response_from_callback(body->size(), EXP_BLOCK, ReadBody, body, FreeBody);
  if (!r) {
    delete body;
    return MHD_NO;
  }
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  if (reply.status == 200) MHD_add_response_header(r, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
  if (gz) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
  if (reply.status == 405) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  if (flags & SEND_CLOSE) MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
  MHD_Result rc = (flags & SEND_AUTH) ? MHD_queue_basic_auth_fail_response(c, "vethra", r)
                                      : MHD_queue_response(c, (unsigned)reply.status, r);
  MHD_destroy_response(r);
  return rc;
}

bool Authorised(Exporter *e, const VTR_WebConfig &cfg, MHD_Connection *c) {
  char *password = nullptr;
  char *user = MHD_basic_auth_get_username_password(c, &password);
  bool ok = false;
  auto it = user && password ? cfg.users.find(user) : cfg.users.end();
  if (it != cfg.users.end()) {
    // bcrypt is slow by design: a pair that matched once is remembered by its digest.
    std::string text = it->first + '\0' + it->second + '\0' + password;
    unsigned char digest[32];
    gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest);
    std::string key((const char *)digest, sizeof digest);
    {
      std::lock_guard<std::mutex> lock(e->mu);
      ok = e->authCache.count(key) != 0;
    }
    if (!ok && VTR_CheckBcrypt(password, it->second)) {
      ok = true;
      std::lock_guard<std::mutex> lock(e->mu);
      if (e->authCache.size() >= EXP_AUTH_CACHE) e->authCache.clear();
      e->authCache.insert(key);
    }
  }
  if (user) MHD_free(user);
  if (password) MHD_free(password);
  return ok;
}

VTR_HttpReply Metrics(Exporter *e, MHD_Connection *c, const VTR_HttpRequest &req) {
  // Prometheus says how long it waits; the daemon's answers must come before that.
  int timeoutMs = e->timeoutMs;
  const char *limit =
      MHD_lookup_connection_value(c, MHD_HEADER_KIND, "X-Prometheus-Scrape-Timeout-Seconds");
  if (limit) {
    char *end = nullptr;
    double s = strtod(limit, &end);
    if (end != limit && s > 0)
      timeoutMs = std::min(timeoutMs, std::max(100, (int)(s * 1000) - 250));
  }
  VTR_Scrape s{};
  std::string error;
  VTR_ScrapeDaemon(e->socketPath, timeoutMs, &s, &error);
  {
    std::lock_guard<std::mutex> lock(e->mu);
    if (error != e->lastScrapeError) {  // log changes only, not every failing scrape
      fprintf(stderr, "vethractl exporter: %s\n",
              error.empty() ? "daemon answers again" : error.c_str());
      e->lastScrapeError = error;
    }
  }
  bool om = VTR_WantsOpenMetrics(req.accept);
  return {200,
          om ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
             : "text/plain; version=0.0.4; charset=utf-8",
          VTR_RenderExposition(s, om)};
}

// Rebuilds the query string (which the library strips from the URL) from its
// arguments, in the order sent, so the routes see "k=v&k=v" as before.
MHD_Result AppendQueryArgument(void *cls, MHD_ValueKind, const char *key, const char *value) {
  std::string *query = (std::string *)cls;
  if (!query->empty()) *query += '&';
  *query += key;
  if (value) *query += std::string("=") + value;
  return MHD_YES;
}

MHD_Result Handle(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                  const char *, size_t *uploadSize, void **state) {
  static int headSeen;
  Exporter *e = (Exporter *)cls;
  if (!*state) {  // the head is in; a body, if any, follows
    *state = &headSeen;
    return MHD_YES;
  }
  if (*uploadSize) {  // request bodies are read and dropped
    *uploadSize = 0;
    return MHD_YES;
  }
  if (e->connections > e->maxConnections)
    return Send(c, {503, TEXT, "too many connections\n"}, SEND_CLOSE);
  std::shared_ptr<VTR_WebConfig> cfg = e->webConfigPath.empty() ? nullptr : Config(e, false);
  if (cfg && cfg->tls) {
    const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    std::string err;
    if (!ci || VTR_CheckClientCert(*cfg, (gnutls_session_t)ci->tls_session, &err) != 0) {
      fprintf(stderr, "vethractl exporter: connection refused: %s\n", err.c_str());
      return MHD_NO;  // the connection is closed unanswered, as a failed handshake would be
    }
  }
  if (cfg && !cfg->users.empty() && !Authorised(e, *cfg, c)) {
    return Send(c, {401, TEXT, "unauthorized\n"}, SEND_AUTH);
  }
  VTR_HttpRequest req{method, url, "", ""};
  if (req.method != "GET" && req.method != "HEAD")
    return Send(c, {405, TEXT, "only GET and HEAD\n"}, 0);
  if (const char *a = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT))
    req.accept = a;
  MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &AppendQueryArgument, &req.query);
  int gzip = VTR_AcceptsGzip(
                 MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING))
                 ? SEND_GZIP
                 : 0;
  VTR_HttpReply reply;
  if (VTR_DashboardRoute(req, e->socketPath, e->timeoutMs, &reply))
    return Send(c, std::move(reply), gzip);
  if (req.path == "/metrics") return Send(c, Metrics(e, c, req), gzip);
  return Send(c, {404, TEXT, "not found\n"}, 0);
}

// A listening socket for HOST:PORT; an empty host listens on every address
// of both families (one IPv6 socket that takes IPv4 too, or IPv4 alone on a
// host without IPv6). -1 with *err when it cannot.
int Listen(const std::string &addr, std::string *err) {
  std::string host;
  int port = 0;
  if (VTR_SplitListenAddress(addr, &host, &port, err) != 0) return -1;
  auto bindTo = [&](const sockaddr *sa, socklen_t len, bool dual) {
    int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (dual) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, sa, len) != 0 || listen(fd, 64) != 0) {
      int rc = -errno;
      close(fd);
      return rc;
    }
    return fd;
  };
  int fd = -EAFNOSUPPORT;
  if (host.empty()) {
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons((uint16_t)port);
    any6.sin6_addr = in6addr_any;
    fd = bindTo((const sockaddr *)&any6, sizeof any6, true);
    if (fd == -EAFNOSUPPORT) {
      sockaddr_in any4{};
      any4.sin_family = AF_INET;
      any4.sin_port = htons((uint16_t)port);
      fd = bindTo((const sockaddr *)&any4, sizeof any4, false);
    }
  } else {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0) {
      *err = "cannot listen on " + addr + ": " + gai_strerror(rc);
      return -1;
    }
    for (addrinfo *a = res; a && fd < 0; a = a->ai_next)
      fd = bindTo(a->ai_addr, a->ai_addrlen, false);
    freeaddrinfo(res);
  }
  if (fd < 0) *err = "cannot listen on " + addr + ": " + strerror(-fd);
  return fd < 0 ? -1 : fd;
}

bool ParseCount(const char *v, unsigned long lo, unsigned long hi, unsigned *out) {
  char *end = nullptr;
  errno = 0;
  unsigned long n = strtoul(v, &end, 10);
  if (!*v || *v < '0' || *v > '9' || *end || errno || n < lo || n > hi) return false;
  *out = (unsigned)n;
  return true;
}

// Compresses a part of a body as raw deflate, primed with the 32 KiB that
// precede it; only the last part ends the stream, the others end on a byte
// boundary (a sync flush), so that the parts can be joined.
bool DeflatePart(const std::string &body, size_t begin, size_t end, bool last, std::string *out,
                 uLong *crc) {
  z_stream z{};
  // The fastest level: exposition text still shrinks about tenfold.
  if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  size_t dict = std::min<size_t>(begin, 32768);
  if (dict) deflateSetDictionary(&z, (const Bytef *)body.data() + begin - dict, (uInt)dict);
  out->resize(deflateBound(&z, end - begin) + 16);
  z.next_in = (Bytef *)body.data() + begin;
  z.avail_in = (uInt)(end - begin);
  z.next_out = (Bytef *)out->data();
  z.avail_out = (uInt)out->size();
  int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  bool ok = last ? rc == Z_STREAM_END : rc == Z_OK && z.avail_in == 0;
  out->resize(z.total_out);
  deflateEnd(&z);
  *crc = crc32(0, (const Bytef *)body.data() + begin, (uInt)(end - begin));
  return ok;
}

}  // namespace

bool VTR_WantsOpenMetrics(const std::string &accept) {
  std::string a = accept;
  for (char &ch : a) ch = (char)tolower((unsigned char)ch);
  return a.find("application/openmetrics-text") != std::string::npos;
}

bool VTR_AcceptsGzip(const char *acceptEncoding) {
  if (!acceptEncoding) return false;
  std::string v = acceptEncoding;
  for (char &ch : v) ch = (char)tolower((unsigned char)ch);
  for (size_t pos = 0; pos <= v.size();) {
    size_t comma = std::min(v.find(',', pos), v.size());
    std::string item = v.substr(pos, comma - pos);
    pos = comma + 1;
    item.erase(
        std::remove_if(item.begin(), item.end(), [](char ch) { return ch == ' ' || ch == '\t'; }),
        item.end());
    std::string coding = item.substr(0, item.find(';'));
    if (coding != "gzip" && coding != "*") continue;
    size_t q = item.find(";q=");
    return q == std::string::npos || strtod(item.c_str() + q + 3, nullptr) > 0;
  }
  return false;
}

// A big body is compressed in parts on several cores at once and the parts
// joined into one gzip member (a 15 MB /metrics takes a fraction of the time).
bool VTR_Gzip(const std::string &body, std::string *out) {
  constexpr size_t PART = 1 << 20;  // the smallest part worth a thread
  size_t parts = std::max<size_t>(
      1, std::min<size_t>({body.size() / PART, std::thread::hardware_concurrency(), 8}));
  std::vector<std::string> deflated(parts);
  std::vector<uLong> crcs(parts);
  std::vector<char> ok(parts);
  auto part = [&](size_t i) {
    size_t begin = body.size() * i / parts, end = body.size() * (i + 1) / parts;
    ok[i] = DeflatePart(body, begin, end, i + 1 == parts, &deflated[i], &crcs[i]);
  };
  std::vector<std::thread> threads;
  for (size_t i = 1; i < parts; i++) threads.emplace_back(part, i);
  part(0);
  for (std::thread &t : threads) t.join();
  const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0,
                                    0,    0,    0, 0, 3};  // deflate, no name, no time, Unix
  out->assign((const char *)header, sizeof header);
  uLong crc = crc32(0, nullptr, 0);
  for (size_t i = 0; i < parts; i++) {
    if (!ok[i]) return false;
    *out += deflated[i];
    size_t len = body.size() * (i + 1) / parts - body.size() * i / parts;
    crc = crc32_combine(crc, crcs[i], (z_off_t)len);
  }
  uint32_t trailer[2] = {(uint32_t)crc,
                         (uint32_t)body.size()};  // little-endian, as x86 and ARM store them
  out->append((const char *)trailer, sizeof trailer);
  return true;
}

void VTR_ScrapeDaemon(const char *socketPath, int timeoutMs, VTR_Scrape *s, std::string *error) {
  auto t0 = std::chrono::steady_clock::now();
  auto left = [&]() {
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    return std::max(1, timeoutMs - (int)spent.count());
  };
  uint32_t code = 0;
  std::string body, perr;
  error->clear();
  s->metricsOk = false;
  s->changeRate = -1;
  int rc = vtrc_call(socketPath, VTRC_CMD_METRICS, "", &code, &body, left());
  if (rc < 0) {
    *error = vtrc_error_text(rc, socketPath);
  } else if (code != 0) {
    *error = "metrics query failed: " + body;
  } else if (VTR_ParseMetricsDoc(body, &s->metrics, &perr) != 0) {
    *error = "metrics reply not understood: " + perr;
  } else {
    s->metricsOk = true;
    rc = vtrc_call(socketPath, VTRC_CMD_CHANGE_RATE, "", &code, &body, left());
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

int VTR_SplitListenAddress(const std::string &addr, std::string *host, int *port,
                           std::string *err) {
  size_t colon = addr.rfind(':');
  if (colon == std::string::npos) {
    *err = "the listen address must be HOST:PORT, [IPV6]:PORT or :PORT, e.g. 127.0.0.1:9470, not " +
           addr;
    return -1;
  }
  *host = addr.substr(0, colon);
  std::string p = addr.substr(colon + 1);
  if (!host->empty() && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  } else if (host->find(':') != std::string::npos) {
    *err = "an IPv6 address goes in brackets: [" + *host + "]:" + p;
    return -1;
  }
  unsigned v = 0;
  if (p.size() > 5 || !ParseCount(p.c_str(), 1, 65535, &v)) {
    *err = "the port in " + addr + " must be a number from 1 to 65535";
    return -1;
  }
  *port = (int)v;
  return 0;
}

int VTR_ExporterOption(int argc, char **argv, int *i, VTR_ExporterOptions *o, std::string *err) {
  static const char *const NAMES[] = {"--web.listen-address", "--listen", "--web.config.file",
                                      "--web.max-connections", "--web.idle-timeout"};
  std::string a = argv[*i];
  for (int k = 0; k < 5; k++) {
    size_t n = strlen(NAMES[k]);
    if (a.compare(0, n, NAMES[k]) != 0 || (a.size() > n && a[n] != '=')) continue;
    const char *v = a.size() > n ? argv[*i] + n + 1 : *i + 1 < argc ? argv[++*i] : nullptr;
    std::string host;
    int port;
    *err = std::string(NAMES[k]) + " needs ";
    if (k <= 1) {
      if (!v) return *err += "HOST:PORT", -1;
      if (VTR_SplitListenAddress(v, &host, &port, err) != 0) return -1;
      o->listen = v;
    } else if (k == 2) {  // empty: none, so that a unit can pass a variable left unset
      if (!v) return *err += "a file", -1;
      o->webConfigFile = v;
    } else if (k == 3) {
      if (!v || !ParseCount(v, 1, 10000, &o->maxConnections))
        return *err += "a count from 1 to 10000", -1;
    } else if (!v || !ParseCount(v, 1, 86400, &o->idleTimeoutSeconds)) {
      return *err += "whole seconds from 1 to 86400", -1;
    }
    err->clear();
    return 1;
  }
  return 0;
}

int VTR_RunExporter(const VTR_ExporterOptions &o, const char *socketPath, int timeoutMs) {
  Exporter e;
  e.socketPath = socketPath;
  e.timeoutMs = timeoutMs;
  e.maxConnections = o.maxConnections;
  e.webConfigPath = o.webConfigFile;
  std::string err;
  if (!o.webConfigFile.empty()) {
    e.cfg = NewConfig();
    if (VTR_LoadWebConfig(o.webConfigFile.c_str(), e.cfg.get(), &err) != 0) {
      fprintf(stderr, "vethractl: web config %s: %s\n", o.webConfigFile.c_str(), err.c_str());
      return VTR_EXIT_USAGE;
    }
    e.loaded.push_back(e.cfg);
  }
  int lfd = Listen(o.listen, &err);
  if (lfd < 0) {
    fprintf(stderr, "vethractl: %s\n", err.c_str());
    return VTR_EXIT_CANNOT_LISTEN;
  }
  bool tls = e.cfg && e.cfg->tls;
  current = &e;
  // SIGINT and SIGTERM are taken by sigwait below; the server's threads,
  // started after this, inherit the blocked set.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::vector<MHD_OptionItem> opts = {
      {MHD_OPTION_EXTERNAL_LOGGER, (intptr_t)&Log, nullptr},
      {MHD_OPTION_LISTEN_SOCKET, lfd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, (intptr_t)(o.maxConnections + EXP_CAP_HEADROOM), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, (intptr_t)o.idleTimeoutSeconds, nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, (intptr_t)&OnConnection, &e},
  };
  if (tls) {
    opts.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, (void *)&CertCallback});
    opts.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, (void *)e.cfg->priorities.c_str()});
    if (!e.cfg->clientCaPem.empty()) {
      opts.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, (void *)e.cfg->clientCaPem.c_str()});
    }
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL |
                   MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0);
  MHD_Daemon *d = MHD_start_daemon(flags, 0, nullptr, nullptr, &Handle, &e, MHD_OPTION_ARRAY,
                                   opts.data(), MHD_OPTION_END);
  if (!d) {
    fprintf(stderr, "vethractl: the HTTP server did not start on %s\n", o.listen.c_str());
    close(lfd);
    return VTR_EXIT_CANNOT_LISTEN;
  }
  const char *scheme = tls ? "https" : "http";
  fprintf(stderr,
          "vethractl exporter: serving %s://%s/metrics and the dashboard at %s://%s/ for the "
          "daemon at %s\n",
          scheme, o.listen.c_str(), scheme, o.listen.c_str(), socketPath);
  VTR_HistoryStart(socketPath, o.sampleInterval, o.historySeconds, timeoutMs);
  int sig = 0;
  while (sigwait(&stop, &sig) != 0) {
  }
  MHD_stop_daemon(d);  // closes the listening socket too
  VTR_HistoryStop();
  current = nullptr;
  return VTR_EXIT_OK;
}
