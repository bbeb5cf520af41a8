// vethractl: command-line client of the vethra daemon.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "vethra_client.h"
#include "vethractl.h"

namespace {

const char USAGE[] =
    "Usage: vethractl [--socket PATH] COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  status [--json]          state of the daemon: run name, time left, monitored VMs\n"
    "  add ID...                start monitoring the VMs with these world group ids\n"
    "  remove ID...             stop monitoring the VMs with these world group ids\n"
    "  exit                     stop the daemon\n"
    "  metrics [OPTIONS]        per-VM, per-disk I/O table\n"
    "      --interval SECONDS   time between the two samples the rates come from\n"
    "                           (default 1; 0 shows totals since each disk was added)\n"
    "      --watch SECONDS      refresh in place every SECONDS until Ctrl-C\n"
    "      --histograms[=DISK]  also draw size and latency histograms, of every disk\n"
    "                           or of DISK (vscsiDevName, VM/DISK or WGID/DISK)\n"
    "      --json               print the daemon's document unchanged\n"
    "  changerate [--json]      bytes changed over 5, 15 and 60 minutes per disk\n"
    "  exporter [--listen HOST:PORT]\n"
    "                           serve /metrics for Prometheus (default 127.0.0.1:9470);\n"
    "                           OpenMetrics when the scraper asks for it\n"
    "\n"
    "Options:\n"
    "  --socket PATH            daemon socket (default $VETHRA_SOCKET, else /var/run/vethra.uds)\n"
    "  --timeout SECONDS        how long to wait for a reply (default 10)\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the daemon replied with an error (its text is printed as it is)\n"
    "  2  usage error\n"
    "  3  the daemon cannot be reached (not running, no access to the socket, no reply)\n"
    "  4  the daemon's reply could not be understood\n";

struct Options {
  std::string socket;
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  double interval = 1;
  double watch = 0;
  bool histograms = false;
  std::string histogramDisk;
  std::string listen = "127.0.0.1:9470";
  int timeoutMs = 10000;
};

volatile sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

int Usage(const char *msg) {
  fprintf(stderr, "vethractl: %s\nTry 'vethractl --help'.\n", msg);
  return VTR_EXIT_USAGE;
}

bool ParseSeconds(const char *s, double *out) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(s, &end);
  if (errno || end == s || *end || v < 0 || v > 86400) return false;
  *out = v;
  return true;
}

// Parses the command line; returns -1 to go on, else an exit code.
int ParseArgs(int argc, char **argv, Options *o) {
  const char *env = getenv("VETHRA_SOCKET");
  o->socket = env && *env ? env : VTRC_DEFAULT_SOCKET;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      size_t n = strlen(name);
      if (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=') return argv[i] + n + 1;
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    auto is = [&](const char *name) { return a == name || a.rfind(std::string(name) + "=", 0) == 0; };
    if (a == "-h" || a == "--help") {
      fputs(USAGE, stdout);
      return VTR_EXIT_OK;
    } else if (is("--socket")) {
      const char *v = value("--socket");
      if (!v || !*v) return Usage("--socket needs a path");
      o->socket = v;
    } else if (is("--timeout")) {
      const char *v = value("--timeout");
      double t;
      if (!v || !ParseSeconds(v, &t) || t <= 0) return Usage("--timeout needs a number of seconds");
      o->timeoutMs = (int)(t * 1000);
    } else if (is("--interval")) {
      const char *v = value("--interval");
      if (!v || !ParseSeconds(v, &o->interval)) return Usage("--interval needs a number of seconds");
    } else if (is("--watch")) {
      const char *v = value("--watch");
      if (!v || !ParseSeconds(v, &o->watch) || o->watch < 0.1) return Usage("--watch needs seconds (at least 0.1)");
    } else if (is("--listen")) {
      const char *v = value("--listen");
      if (!v) return Usage("--listen needs HOST:PORT");
      o->listen = v;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--histograms") {
      o->histograms = true;
    } else if (a.rfind("--histograms=", 0) == 0) {
      o->histograms = true;
      o->histogramDisk = a.substr(13);
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->args.push_back(a);
    }
  }
  if (o->command.empty()) return Usage("no command given");
  return -1;
}

// One request. Returns VTR_EXIT_OK with the body, or prints the failure and
// returns its exit code.
int Call(const Options &o, uint32_t cmd, const std::string &payload, std::string *body) {
  uint32_t code = 0;
  int rc = vtrc_call(o.socket.c_str(), cmd, payload, &code, body, o.timeoutMs);
  if (rc < 0) {
    fprintf(stderr, "vethractl: %s\n", vtrc_error_text(rc, o.socket.c_str()).c_str());
    if (rc == -EACCES || rc == -EPERM) {
      fprintf(stderr, "vethractl: the socket is accessible to root only; run vethractl as root\n");
    }
    return VTR_EXIT_UNREACHABLE;
  }
  if (code != 0) {
    fprintf(stderr, "%s\n", body->c_str());
    return VTR_EXIT_DAEMON_ERROR;
  }
  return VTR_EXIT_OK;
}

int BadReply(const std::string &err) {
  fprintf(stderr, "vethractl: the daemon's reply was not understood: %s\n", err.c_str());
  return VTR_EXIT_BAD_REPLY;
}

int ChangeVms(const Options &o, bool add) {
  if (o.args.empty()) return Usage(add ? "add needs world group ids" : "remove needs world group ids");
  std::string payload = "{\"vmWorldGroups\":[";
  for (size_t i = 0; i < o.args.size(); i++) {
    const std::string &s = o.args[i];
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, 10);
    if (s.empty() || s[0] < '0' || s[0] > '9' || *end || errno || v > 0xFFFFFFFFull) {
      return Usage(("not a world group id: " + s).c_str());
    }
    payload += (i ? "," : "") + std::to_string(v);
  }
  payload += "]}";
  std::string body;
  int rc = Call(o, add ? VTRC_CMD_APPEND_VMS : VTRC_CMD_DELETE_VMS, payload, &body);
  if (rc == VTR_EXIT_OK) {
    printf("%s world group(s):", add ? "monitoring" : "no longer monitoring");
    for (const auto &a : o.args) printf(" %s", a.c_str());
    printf("\n");
  }
  return rc;
}

// Sleeps in short steps so that Ctrl-C ends the wait at once.
bool SleepFor(double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!interrupted && std::chrono::steady_clock::now() < end) {
    timespec ts{0, 50 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return !interrupted;
}

int QueryMetrics(const Options &o, VTR_Doc *doc, std::string *raw) {
  int rc = Call(o, VTRC_CMD_METRICS, "", raw);
  if (rc != VTR_EXIT_OK) return rc;
  std::string err;
  if (VTR_ParseMetricsDoc(*raw, doc, &err) != 0) return BadReply(err);
  return VTR_EXIT_OK;
}

int Metrics(const Options &o) {
  VTR_MetricsView view{0, o.histograms, o.histogramDisk, 40};
  std::string raw;
  VTR_Doc prev{}, cur{};
  auto render = [&](const VTR_Doc *p) {
    std::string text = VTR_RenderMetricsTable(p, cur, view);
    if (o.histograms) text += VTR_RenderHistograms(p, cur, view);
    return text;
  };
  if (o.json) {  // the document as the daemon sent it, once or every period
    do {
      int rc = Call(o, VTRC_CMD_METRICS, "", &raw);
      if (rc != VTR_EXIT_OK) return rc;
      printf("%s\n", raw.c_str());
      fflush(stdout);
    } while (o.watch > 0 && SleepFor(o.watch));
    return VTR_EXIT_OK;
  }
  int rc = QueryMetrics(o, &cur, &raw);
  if (rc != VTR_EXIT_OK) return rc;
  auto taken = std::chrono::steady_clock::now();
  if (o.watch <= 0) {
    if (o.interval > 0) {
      prev = cur;
      if (!SleepFor(o.interval)) return VTR_EXIT_OK;
      if ((rc = QueryMetrics(o, &cur, &raw)) != VTR_EXIT_OK) return rc;
      view.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - taken).count();
    }
    fputs(render(view.seconds > 0 ? &prev : nullptr).c_str(), stdout);
    return VTR_EXIT_OK;
  }
  bool tty = isatty(STDOUT_FILENO);
  const char *sep = tty ? "\033[H\033[2J" : "\n";
  char stamp[32];
  auto header = [&]() {
    time_t now = time(nullptr);
    strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
    return std::string(sep) + "vethra metrics at " + stamp + ", every " + std::to_string((int)o.watch) +
           " s (Ctrl-C to quit)\n\n";
  };
  fputs((header() + render(nullptr)).c_str(), stdout);
  fflush(stdout);
  while (SleepFor(o.watch)) {
    prev = cur;
    if ((rc = QueryMetrics(o, &cur, &raw)) != VTR_EXIT_OK) return rc;
    auto now = std::chrono::steady_clock::now();
    view.seconds = std::chrono::duration<double>(now - taken).count();
    taken = now;
    fputs((header() + render(&prev)).c_str(), stdout);
    fflush(stdout);
  }
  return VTR_EXIT_OK;
}

int Simple(const Options &o) {
  std::string body, err;
  if (o.command == "status") {
    int rc = Call(o, VTRC_CMD_STATUS, "", &body);
    if (rc != VTR_EXIT_OK) return rc;
    VTR_StatusDoc doc;
    if (o.json) {
      printf("%s\n", body.c_str());
    } else if (VTR_ParseStatusDoc(body, &doc, &err) != 0) {
      return BadReply(err);
    } else {
      fputs(VTR_RenderStatus(doc).c_str(), stdout);
    }
    return VTR_EXIT_OK;
  }
  if (o.command == "changerate") {
    int rc = Call(o, VTRC_CMD_CHANGE_RATE, "", &body);
    if (rc != VTR_EXIT_OK) return rc;
    VTR_Doc doc;
    if (o.json) {
      printf("%s\n", body.c_str());
    } else if (VTR_ParseChangeRateDoc(body, &doc, &err) != 0) {
      return BadReply(err);
    } else {
      fputs(VTR_RenderChangeRate(doc).c_str(), stdout);
    }
    return VTR_EXIT_OK;
  }
  // exit
  int rc = Call(o, VTRC_CMD_EXIT, "", &body);
  if (rc == VTR_EXIT_OK) printf("vethra is shutting down\n");
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  int rc = ParseArgs(argc, argv, &o);
  if (rc >= 0) return rc;
  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const std::string &c = o.command;
  bool takesArgs = c == "add" || c == "remove";
  if (!takesArgs && !o.args.empty()) return Usage(("unexpected argument " + o.args[0]).c_str());
  if (c == "add" || c == "remove") return ChangeVms(o, c == "add");
  if (c == "metrics") return Metrics(o);
  if (c == "status" || c == "changerate" || c == "exit") return Simple(o);
  if (c == "exporter") return VTR_RunExporter(o.listen.c_str(), o.socket.c_str());
  return Usage(("unknown command " + c).c_str());
}
