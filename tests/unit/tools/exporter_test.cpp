// The exporter as operators run it: the vethractl binary on loopback in front
// of a stand-in daemon (a thread answering the socket protocol). Checks the
// HTTP behaviour (gzip, keep-alive, clients that stall, the connection cap),
// TLS with basic authentication, and what makes it refuse to start.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "frame.h"
#include "tools_docs.h"
#include "vethra_client.h"

namespace {

const std::string VETHRACTL = VETHRACTL_BINARY;

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A daemon that answers every metrics query with one document and reports
// change-rate estimation as disabled; or, silent, reads requests and never answers.
struct FakeDaemon {
  std::string path;
  std::string metrics;
  bool silent = false;
  std::vector<int> held;
  int fd = -1;
  std::atomic<bool> stop{false};
  std::thread thread;

  void Start(const std::string &dir, int vms, int disksPerVm) {
    std::vector<TestVm> list;
    for (int v = 0; v < vms; v++) {
      TestVm vm{"vm-" + std::to_string(v), 1000 + v, {}};
      for (int d = 0; d < disksPerVm; d++)
        vm.disks.push_back({"scsi0:" + std::to_string(d), {{"rio", v * 100 + d}}});
      list.push_back(vm);
    }
    metrics = TestMetricsDoc(1, list);
    path = dir + "daemon.uds";
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, (sockaddr *)&sa, sizeof sa), 0);
    ASSERT_EQ(listen(fd, 16), 0);
    thread = std::thread([this] { Serve(); });
  }
  void Serve() {
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      if (silent) {
        held.push_back(c);
        continue;
      }
      uint32_t cmd = 0;
      std::string payload;
      if (vtrc_recv_reply(c, &cmd, &payload, 5000) == 0) {
        bool metricsQuery = cmd == VTRC_CMD_METRICS;
        std::string body = metricsQuery ? metrics : VTR_CHANGE_RATE_DISABLED;
        std::string reply = Frame(metricsQuery ? 0 : 1, body.size(), body);
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(c);
    }
  }
  ~FakeDaemon() {
    stop = true;
    if (thread.joinable()) thread.join();
    if (fd >= 0) close(fd);
    for (int c : held) close(c);
  }
};

// A loopback port that was free.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, (sockaddr *)&sa, sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr *)&sa, &len);
  close(fd);
  return ntohs(sa.sin_port);
}

int Connect(int port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr *)&sa, sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{20, 0};  // a test that goes wrong fails rather than hangs
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

struct Reply {
  int status = 0;
  std::string head, body;
};

// Sends one request on fd and reads its reply (head, then Content-Length bytes).
Reply Request(int fd, const std::string &path, const std::string &headers = "") {
  std::string req = "GET " + path + " HTTP/1.1\r\nHost: test\r\n" + headers + "\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  Reply r;
  std::string buf;
  char chunk[65536];
  size_t end;
  while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return r;
    buf.append(chunk, (size_t)n);
  }
  r.head = buf.substr(0, end + 2);
  r.status = atoi(r.head.c_str() + 9);
  size_t cl = r.head.find("Content-Length: ");
  size_t want = cl == std::string::npos ? 0 : strtoul(r.head.c_str() + cl + 16, nullptr, 10);
  r.body = buf.substr(end + 4);
  while (r.body.size() < want) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    r.body.append(chunk, (size_t)n);
  }
  return r;
}

// The exporter as a child process; stderr goes to a file.
struct Exporter {
  pid_t pid = -1;
  int port = 0;
  std::string log;

  // Starts it and waits until it accepts connections; false if it exited
  // (but for a port taken by someone else in the meantime: another is tried).
  bool Start(const std::string &dir, const std::string &socket, std::vector<std::string> args) {
    log = dir + "exporter.log";
    args.insert(args.begin(),
                {VETHRACTL, "--socket", socket, "exporter", "--web.listen-address", ""});
    for (int attempt = 0; attempt < 5; attempt++) {
      port = FreePort();
      args[5] = "127.0.0.1:" + std::to_string(port);
      pid = fork();
      if (pid == 0) {
        dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
      }
      for (int i = 0; i < 1000; i++) {
        int fd = Connect(port);
        if (fd >= 0) return close(fd), true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
          pid = -1;
          if (!WIFEXITED(status) || WEXITSTATUS(status) != VTR_EXIT_CANNOT_LISTEN) return false;
          break;
        }
        usleep(10000);
      }
    }
    return false;
  }
  // Stops it with SIGTERM; its exit status.
  int Stop() {
    if (pid < 0) return -1;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Exporter() { Stop(); }
};

// Runs vethractl to its end; its exit status, stderr in *err.
int RunToEnd(const std::vector<std::string> &args, std::string *err) {
  std::string command = VETHRACTL;
  for (const std::string &a : args) command += " '" + a + "'";
  return Shell(command + " 2>&1 >/dev/null", err);
}

// The exposition less the one line that differs between scrapes.
std::string WithoutDuration(const std::string &text) {
  size_t a = text.find("\nvethra_scrape_duration_seconds ");
  if (a == std::string::npos) return text;
  return text.substr(0, a) + text.substr(text.find('\n', a + 1));
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Each test works in a temporary directory of its own.
class ExporterTest : public ::testing::Test {
 protected:
  ExporterTest() {
    char tmpl[] = "/tmp/vethra-exporter-XXXXXX";
    dir = std::string(mkdtemp(tmpl)) + "/";
  }
  ~ExporterTest() override { (void)!system(("rm -rf " + dir).c_str()); }
  // Starts the daemon with vms VMs of disks disks each, and the exporter with args.
  void Start(int vms, int disks, const std::vector<std::string> &args) {
    daemon.Start(dir, vms, disks);
    ASSERT_TRUE(ex.Start(dir, daemon.path, args)) << ReadFile(ex.log);
  }
  std::string dir;
  FakeDaemon daemon;
  Exporter ex;
};

TEST_F(ExporterTest, GzipAndKeepAliveOnOneConnection) {
  ASSERT_NO_FATAL_FAILURE(Start(50, 20, {}));  // a big body: compressed in parts
  int fd = Connect(ex.port);
  Reply plain = Request(fd, "/metrics");
  ASSERT_EQ(plain.status, 200) << plain.head;
  EXPECT_NE(plain.body.find("vethra_disk_reads_total{vm=\"vm-3\""), std::string::npos);
  Reply gz = Request(fd, "/metrics", "Accept-Encoding: gzip, deflate\r\n");  // same connection
  ASSERT_EQ(gz.status, 200) << gz.head;
  EXPECT_NE(gz.head.find("Content-Encoding: gzip"), std::string::npos) << gz.head;
  EXPECT_LT(gz.body.size(), plain.body.size());
  WriteFile(dir + "body.gz", gz.body);
  std::string gunzipped;
  ASSERT_EQ(Shell("gzip -dc " + dir + "body.gz", &gunzipped), 0);
  EXPECT_EQ(WithoutDuration(gunzipped), WithoutDuration(plain.body));
  Reply page = Request(fd, "/", "Accept-Encoding: gzip;q=0\r\n");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.head.find("Content-Encoding"), std::string::npos) << page.head;
  close(fd);
  EXPECT_EQ(ex.Stop(), 0);
}

TEST_F(ExporterTest, StalledAndHalfSentClientsDoNotHoldAnotherScrape) {
  // /metrics is megabytes: more than the socket buffers hold.
  ASSERT_NO_FATAL_FAILURE(Start(50, 20, {"--web.idle-timeout", "1"}));
  auto t0 = std::chrono::steady_clock::now();
  int fd = Connect(ex.port);
  ASSERT_GT(Request(fd, "/metrics").body.size(), 4u << 20);
  double alone = Seconds(t0);
  close(fd);

  int stalled = Connect(ex.port, 4096);
  send(stalled, "GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n", 37, MSG_NOSIGNAL);
  pollfd p{stalled, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);  // the server is sending, and will soon be stuck
  int half = Connect(ex.port);
  send(half, "GET /metrics HTTP/1.1\r\nHo", 25, MSG_NOSIGNAL);

  t0 = std::chrono::steady_clock::now();
  fd = Connect(ex.port);
  Reply other = Request(fd, "/metrics");
  EXPECT_EQ(other.status, 200);
  EXPECT_LT(Seconds(t0), 1 + 2 * alone) << "a scrape alone took " << alone << " s";
  close(fd);

  // The half-sent request's connection is closed once idle past the timeout.
  p = {half, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  char c;
  EXPECT_LE(recv(half, &c, 1, 0), 0);
  close(half);
  close(stalled);
}

// A daemon that does not answer holds a scrape no longer than --timeout, or
// than the scrape timeout Prometheus sends, whichever is shorter.
TEST_F(ExporterTest, ScrapesEndWithinTheirTimeout) {
  daemon.silent = true;
  daemon.Start(dir, 1, 1);
  const std::pair<const char *, const char *> cases[] = {
      {"1", ""}, {"60", "X-Prometheus-Scrape-Timeout-Seconds: 1\r\n"}};
  for (const auto &[timeout, header] : cases) {
    Exporter ex;
    ASSERT_TRUE(ex.Start(dir, daemon.path, {"--timeout", timeout, "--sample-interval", "1"}))
        << ReadFile(ex.log);
    int fd = Connect(ex.port);
    auto t0 = std::chrono::steady_clock::now();
    Reply r = Request(fd, "/metrics", header);  // the client gives up after 20 s
    EXPECT_EQ(r.status, 200) << timeout << " " << header;
    EXPECT_NE(r.body.find("\nvethra_up 0\n"), std::string::npos);
    EXPECT_LT(Seconds(t0), 8) << timeout << " " << header;
    close(fd);
  }
}

TEST_F(ExporterTest, ConnectionsPastTheCapGet503) {
  ASSERT_NO_FATAL_FAILURE(Start(1, 1, {"--web.max-connections", "2"}));
  // A connection that closed a moment ago may still count: try again until served.
  auto served = [&]() {
    for (int i = 0; i < 500; i++) {
      int fd = Connect(ex.port);
      if (Request(fd, "/").status == 200) return fd;
      close(fd);
      usleep(10000);
    }
    return -1;
  };
  int a = served(), b = served();
  ASSERT_TRUE(a >= 0 && b >= 0);
  int c = Connect(ex.port);
  EXPECT_EQ(Request(c, "/metrics").status, 503);
  close(c);
  close(a);
  // Once a connection closed, a new one is served again.
  c = served();
  EXPECT_GE(c, 0);
  close(c);
  close(b);
}

// bcrypt hashes (cost 4) of "s3cret" and of "n3w".
const std::string S3CRET = "$2b$04$QOmbCcC9csRB1D6ig4kQsOMRUKf4T6Xn3siZRWpXrORHye5johjpi";
const std::string N3W = "$2b$04$GKjf8jpUmIh701qLU7PTweExkOeVnj/rhqoxipiSgR4FGcWKDawT6";

// curl's exit status and what -w printed.
std::pair<int, std::string> Curl(const std::string &args) {
  std::string out;
  int rc = Shell(
      "curl -s -o /dev/null -w '%{http_code} %header{www-authenticate}' " + args + " 2>/dev/null",
      &out);
  return {rc, out};
}

// A throwaway CA and a server certificate for 127.0.0.1 it signed.
bool MakeCertificates(const std::string &dir) {
  std::string cmd = "cd " + dir + R"( && E="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes" &&
    openssl req -x509 $E -keyout ca.key -out ca.crt -days 2 -subj /CN=ca &&
    openssl req $E -keyout server.key -out server.csr -subj /CN=localhost &&
    echo subjectAltName=IP:127.0.0.1 > ext && openssl x509 -req -in server.csr -CA ca.crt \
      -CAkey ca.key -CAcreateserial -out server.crt -days 2 -extfile ext &&
    openssl req -x509 $E -keyout other.key -out other.crt -days 2 -subj /CN=other)";
  return system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(ExporterTest, TlsWithBasicAuthOnEveryPath) {
  if (system("command -v openssl >/dev/null && command -v curl >/dev/null") != 0)
    GTEST_SKIP() << "no openssl/curl";
  ASSERT_TRUE(MakeCertificates(dir));
  std::string tls =
      "tls_server_config:\n  cert_file: server.crt\n  key_file: " + dir + "server.key\n";
  WriteFile(dir + "web.yml", tls + "basic_auth_users:\n  prom: " + S3CRET + "\n");
  ASSERT_NO_FATAL_FAILURE(Start(1, 1, {"--web.config.file", dir + "web.yml"}));
  std::string base = " --cacert " + dir + "ca.crt https://127.0.0.1:" + std::to_string(ex.port);
  for (const char *path : {"/metrics", "/", "/api/v1/metrics"}) {
    const std::pair<const char *, const char *> cases[] = {
        {"-u prom:s3cret", "200 "},
        {"-u prom:wrong", "401 Basic realm=\"vethra\""},
        {"-u root:s3cret", "401 Basic realm=\"vethra\""},
        {"", "401 Basic realm=\"vethra\""},
        {"-H 'Authorization: Basic !!!'", "401 Basic realm=\"vethra\""}};
    for (const auto &[creds, want] : cases) {
      EXPECT_EQ(Curl(std::string(creds) + base + path), std::make_pair(0, std::string(want)))
          << path << " " << creds;
    }
  }
  // Plain HTTP against the TLS listener gets no HTTP answer.
  int fd = Connect(ex.port);
  EXPECT_EQ(Request(fd, "/metrics").status, 0);
  close(fd);

  // The file is read again when it changes: another password takes effect.
  WriteFile(dir + "web.yml.new", tls + "basic_auth_users:\n  prom: " + N3W + "\n");
  ASSERT_EQ(rename((dir + "web.yml.new").c_str(), (dir + "web.yml").c_str()), 0);
  EXPECT_EQ(Curl("-u prom:n3w" + base + "/metrics").second, "200 ");
  EXPECT_EQ(Curl("-u prom:s3cret" + base + "/metrics").second, "401 Basic realm=\"vethra\"");
  EXPECT_EQ(ex.Stop(), 0);
}

TEST_F(ExporterTest, RefusesBadAddressesAndWebConfigsSayingWhy) {
  if (system("command -v openssl >/dev/null") != 0) GTEST_SKIP() << "no openssl";
  ASSERT_TRUE(MakeCertificates(dir));
  ASSERT_NO_FATAL_FAILURE(Start(1, 1, {}));  // an exporter that holds a port
  std::string taken = "127.0.0.1:" + std::to_string(ex.port);
  const std::string tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
  struct Case {
    std::string listen, webConfig;
    int exit;
    std::string message;
  };
  const Case cases[] = {
      {"127.0.0.1:99999", "", 2, "1 to 65535"},
      {"127.0.0.1:0", "", 2, "1 to 65535"},
      {"127.0.0.1:http", "", 2, "1 to 65535"},
      {"127.0.0.1", "", 2, "HOST:PORT"},
      {"::1:9470", "", 2, "[::1]:9470"},
      {taken, "", 5, "cannot listen on " + taken},
      {"", "tls_server_config: [cert_file\n", 2, "web.yml:"},
      {"", "tls_server_config:\n  key_file: server.key\n", 2,
       "tls_server_config.cert_file: missing"},
      {"", tls + "  colour: blue\n", 2, "tls_server_config.colour: unknown key"},
      {"", "http2: true\n", 2, "http2: unknown key"},
      {"", "tls_server_config:\n  cert_file: nowhere.crt\n  key_file: server.key\n", 2,
       "tls_server_config.cert_file: cannot read " + dir + "nowhere.crt"},
      {"", "tls_server_config:\n  cert_file: server.key\n  key_file: server.key\n", 2,
       "tls_server_config.cert_file: not a PEM certificate"},
      {"", "tls_server_config:\n  cert_file: server.crt\n  key_file: other.key\n", 2,
       "tls_server_config.key_file: unusable with cert_file"},
      {"", tls + "  min_version: TLS9\n", 2, "tls_server_config.min_version: unknown value"},
      {"", tls + "  client_auth_type: Sometimes\n", 2,
       "tls_server_config.client_auth_type: unknown value"},
      {"", "basic_auth_users:\n  prom: s3cret\n", 2, "basic_auth_users.prom: not a bcrypt hash"},
      {"", "basic_auth_users:\n  prom: $1$abcdefgh$0123456789012345678901\n", 2,
       "basic_auth_users.prom: not a bcrypt hash"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--socket", dir + "none.uds", "exporter",
                                     "--web.listen-address",
                                     c.listen.empty() ? "127.0.0.1:1" : c.listen};
    if (!c.webConfig.empty()) {
      WriteFile(dir + "web.yml", c.webConfig);
      args.insert(args.end(), {"--web.config.file", dir + "web.yml"});
    }
    std::string err;
    EXPECT_EQ(RunToEnd(args, &err), c.exit) << c.listen << c.webConfig << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.listen << c.webConfig << err;
  }
}

}  // namespace
