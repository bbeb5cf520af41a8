// vethractl: command-line client of the vethra daemon.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "base/version.h"
#include "history.h"
#include "vethra_client.h"
#include "vethractl.h"

namespace {

const char USAGE[] =
    "Usage: vethractl [--socket PATH] COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  status [--json]          state of the daemon: run name, time left, monitored VMs\n"
    "  add ID...                start monitoring the VMs with these world group ids;\n"
    "                           prints what happened to each id\n"
    "  remove ID...             stop monitoring the VMs with these world group ids\n"
    "  exit                     stop the daemon\n"
    "  metrics [OPTIONS]        per-VM, per-disk I/O table\n"
    "      --interval SECONDS   time between the two samples the rates come from\n"
    "                           (default 1, at least 1; 0 shows totals since each\n"
    "                           disk was added)\n"
    "      --count N            N reports, one every --interval (or --watch) seconds\n"
    "      --watch SECONDS      refresh in place every SECONDS (at least 1) until Ctrl-C\n"
    "      --histograms[=DISK]  also draw size and latency histograms, of every disk\n"
    "                           or of DISK (vscsiDevName, VM/DISK or WGID/DISK)\n"
    "      --json               print the daemon's document unchanged\n"
    "  changerate [--json]      bytes changed over 5, 15 and 60 minutes per disk\n"
    "  check-options -- ARGS    exit 0 when the daemon would take ARGS as meant, else\n"
    "                           exit 2 with the reason (for the service's ExecStartPre)\n"
    "  exporter [OPTIONS]       serve /metrics for Prometheus and the dashboard at /;\n"
    "                           OpenMetrics when the scraper asks for it\n"
    "      --web.listen-address HOST:PORT  (alias --listen; default 127.0.0.1:9470);\n"
    "                           :PORT listens on every address, IPv4 and IPv6\n"
    "      --web.config.file FILE  TLS and basic authentication, as other exporters\n"
    "      --web.max-connections N  open connections served (default 32; more get 503)\n"
    "      --web.idle-timeout SECONDS  close a connection idle this long (default 60)\n"
    "      --sample-interval S  seconds between the dashboard's samples (1-60, default 5)\n"
    "      --history TIME       how much of them to keep: seconds, or 15m, 1h (default 15m)\n"
    "\n"
    "Options:\n"
    "  --socket PATH            daemon socket (default $VETHRA_SOCKET, else /var/run/vethra.uds)\n"
    "  --timeout SECONDS        how long to wait for a reply (default 10)\n"
    "  -h, --help               this text\n"
    "  --version                version and revision of this build\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the daemon replied with an error (its text is printed as it is)\n"
    "  2  usage error\n"
    "  3  the daemon cannot be reached (not running, no access to the socket, no reply)\n"
    "  4  the daemon's reply could not be understood\n"
    "  5  the exporter cannot listen on its address\n";

struct Options {
  std::string socket;
  std::string command;
  std::vector<std::string> args;
  bool json = false;
  double interval = 1;
  double watch = 0;
  std::string watchText;  // --watch as given, for the header
  long count = 0;         // reports to print; 0: no limit (--watch) or one
  bool histograms = false;
  std::string histogramDisk;
  VTR_ExporterOptions exporter;
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
  std::string err;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      size_t n = strlen(name);
      if (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=') return argv[i] + n + 1;
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    auto is = [&](const char *name) {
      return a == name || a.rfind(std::string(name) + "=", 0) == 0;
    };
    if (o->command == "check-options") {  // the daemon's options, taken as they are
      if (a != "--" || !o->args.empty() || o->command != argv[i - 1]) o->args.push_back(a);
      continue;
    }
    if (a == "-h" || a == "--help") {
      fputs(USAGE, stdout);
      return VTR_EXIT_OK;
    } else if (a == "--version") {
      printf("vethractl %s (revision %s)\n", VETHRA_VERSION, VETHRA_REVISION);
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
      if (!v || !ParseSeconds(v, &o->interval) || (o->interval > 0 && o->interval < 1)) {
        return Usage("--interval needs a number of seconds, at least 1 (0: totals)");
      }
    } else if (is("--watch")) {
      const char *v = value("--watch");
      if (!v || !ParseSeconds(v, &o->watch) || o->watch < 1) {
        return Usage("--watch needs a number of seconds, at least 1");
      }
      o->watchText = v;
    } else if (is("--count")) {
      const char *v = value("--count");
      char *end = nullptr;
      o->count = v ? strtol(v, &end, 10) : 0;
      if (!v || !*v || *end || o->count < 1 || o->count > 1000000) {
        return Usage("--count needs a whole number, at least 1");
      }
    } else if (is("--sample-interval") || is("--history")) {
      bool interval = is("--sample-interval");
      const char *v = value(interval ? "--sample-interval" : "--history");
      char *end = nullptr;
      long n = v ? strtol(v, &end, 10) : 0;
      if (v && !interval && end != v && (*end == 'm' || *end == 'h') && !end[1])
        n *= *end++ == 'm' ? 60 : 3600;
      if (!v || end == v || *end ||
          (interval ? n < VTR_HISTORY_MIN_INTERVAL || n > VTR_HISTORY_MAX_INTERVAL
                    : n < 1 || n > 86400)) {
        return Usage(interval ? "--sample-interval needs whole seconds from 1 to 60"
                              : "--history needs a time from 1 second to 24 hours (900, 15m, 1h)");
      }
      (interval ? o->exporter.sampleInterval : o->exporter.historySeconds) = (int)n;
    } else if (int e = VTR_ExporterOption(argc, argv, &i, &o->exporter, &err); e != 0) {
      if (e < 0) return Usage(err.c_str());
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
      fprintf(stderr,
              "vethractl: run vethractl as root, or as a member of the socket's group (vethra "
              "under the "
              "shipped unit)\n");
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

// The world group ids that the daemon monitors, from its status document.
int WatchedIds(const Options &o, std::vector<uint32_t> *ids) {
  std::string body, err;
  int rc = Call(o, VTRC_CMD_STATUS, "", &body);
  if (rc != VTR_EXIT_OK) return rc;
  VTR_StatusDoc doc;
  if (VTR_ParseStatusDoc(body, &doc, &err) != 0) return BadReply(err);
  *ids = doc.worldGroups;
  return VTR_EXIT_OK;
}

bool Contains(const std::vector<uint32_t> &ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// add/remove: reads the watched VMs, asks for the ids that are not yet in
// the requested state, reads the watched VMs again and reports each id. The
// daemon's reply alone cannot say this: one failing id turns the whole reply
// into an error text, and only the last id decides it for Append. Ends 0 when
// every id is in the requested state (so repeating a request succeeds).
int ChangeVms(const Options &o, bool add) {
  if (o.args.empty())
    return Usage(add ? "add needs world group ids" : "remove needs world group ids");
  std::vector<uint32_t> ids;
  for (const std::string &s : o.args) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, 10);
    if (s.empty() || s[0] < '0' || s[0] > '9' || *end || errno || v > 0xFFFFFFFFull) {
      return Usage(("not a world group id: " + s).c_str());
    }
    if (!Contains(ids, (uint32_t)v)) ids.push_back((uint32_t)v);
  }
  std::vector<uint32_t> before, after;
  int rc = WatchedIds(o, &before);
  if (rc != VTR_EXIT_OK) return rc;
  std::string payload;
  for (uint32_t id : ids) {
    if (Contains(before, id) == add) continue;
    payload += (payload.empty() ? "{\"vmWorldGroups\":[" : ",") + std::to_string(id);
  }
  std::string reply;
  if (!payload.empty()) {
    payload += "]}";
    uint32_t code = 0;
    int crc = vtrc_call(o.socket.c_str(), add ? VTRC_CMD_APPEND_VMS : VTRC_CMD_DELETE_VMS, payload,
                        &code, &reply, o.timeoutMs);
    if (crc < 0) {
      fprintf(stderr, "vethractl: %s\n", vtrc_error_text(crc, o.socket.c_str()).c_str());
      return VTR_EXIT_UNREACHABLE;
    }
    if ((rc = WatchedIds(o, &after)) != VTR_EXIT_OK) return rc;
  } else {
    after = before;
  }
  std::string failed;
  for (uint32_t id : ids) {
    bool was = Contains(before, id), is = Contains(after, id);
    const char *what;
    if (add) {
      what = was  ? "already watched"
             : is ? "added"
                  : "not added: no VM with this id, or it is powered off";
    } else {
      what = !was  ? "not watched"
             : !is ? "removed"
                   : "not removed: the daemon could not stop its trace";
    }
    bool ok = is == add;
    fprintf(ok ? stdout : stderr, "%s%u: %s\n", ok ? "" : "vethractl: ", id, what);
    if (!ok) failed += (failed.empty() ? "" : " ") + std::to_string(id);
  }
  if (failed.empty()) return VTR_EXIT_OK;
  fprintf(stderr, "vethractl: failed: %s (daemon's reply: %s)\n", failed.c_str(), reply.c_str());
  return VTR_EXIT_DAEMON_ERROR;
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

// The time of a report: the clock time on a terminal, the date, time and
// zone otherwise (a log file is read later, elsewhere).
std::string Stamp(bool tty) {
  char stamp[64];
  time_t now = time(nullptr);
  struct tm tm;
  strftime(stamp, sizeof stamp, tty ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S %Z", localtime_r(&now, &tm));
  return stamp;
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
  const bool repeat = o.watch > 0 || o.count > 0;
  const double period = o.watch > 0 ? o.watch : o.interval;
  if (repeat && period <= 0) return Usage("--count needs an --interval of at least 1 second");
  if (o.json) {  // the document as the daemon sent it, once or every period
    for (long n = 0;; n++) {
      int rc = Call(o, VTRC_CMD_METRICS, "", &raw);
      if (rc != VTR_EXIT_OK) return rc;
      printf("%s\n", raw.c_str());
      if (fflush(stdout) != 0) break;  // e.g. the reader of a pipe went away
      if (!repeat || (o.count > 0 && n + 1 >= o.count) || !SleepFor(period)) break;
    }
    return VTR_EXIT_OK;
  }
  int rc = QueryMetrics(o, &cur, &raw);
  if (rc != VTR_EXIT_OK) return rc;
  if (!o.histogramDisk.empty() && !VTR_HistogramDiskKnown(cur, o.histogramDisk)) {
    fprintf(stderr, "vethractl: no disk named %s (give vscsiDevName, VM/DISK or WGID/DISK)\n",
            o.histogramDisk.c_str());
    return VTR_EXIT_USAGE;
  }
  auto taken = std::chrono::steady_clock::now();
  if (!repeat) {
    if (o.interval > 0) {
      prev = cur;
      if (!SleepFor(o.interval)) return VTR_EXIT_OK;
      if ((rc = QueryMetrics(o, &cur, &raw)) != VTR_EXIT_OK) return rc;
      view.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - taken).count();
    }
    fputs(render(view.seconds > 0 ? &prev : nullptr).c_str(), stdout);
    return VTR_EXIT_OK;
  }
  // --watch redraws in place on a terminal; --count alone, or output to a
  // file or pipe, appends one report after the other.
  const bool tty = o.watch > 0 && isatty(STDOUT_FILENO);
  auto header = [&]() {
    std::string h = std::string(tty ? "\033[H\033[2J" : "") + "vethra metrics at " + Stamp(tty);
    if (o.watch > 0)
      h += ", every " + o.watchText + " s" + (o.count > 0 ? "" : " (Ctrl-C to quit)");
    return h + "\n\n";
  };
  if (o.watch > 0) {  // at once: the totals, until the first interval has passed
    fputs((header() + render(nullptr)).c_str(), stdout);
    fflush(stdout);
  }
  for (long n = 0; (o.count == 0 || n < o.count) && SleepFor(period); n++) {
    prev = cur;
    if ((rc = QueryMetrics(o, &cur, &raw)) != VTR_EXIT_OK) return rc;
    auto now = std::chrono::steady_clock::now();
    view.seconds = std::chrono::duration<double>(now - taken).count();
    taken = now;
    fputs((std::string(!tty && (n > 0 || o.watch > 0) ? "\n" : "") + header() + render(&prev))
              .c_str(),
          stdout);
    if (fflush(stdout) != 0) break;  // e.g. the reader of a pipe went away
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
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const std::string &c = o.command;
  bool takesArgs = c == "add" || c == "remove" || c == "check-options";
  if (!takesArgs && !o.args.empty()) return Usage(("unexpected argument " + o.args[0]).c_str());
  if (c == "add" || c == "remove") return ChangeVms(o, c == "add");
  if (c == "check-options") {
    std::string why;
    int check = VTR_CheckDaemonOptions(o.args, &why);
    if (check != VTR_EXIT_OK) fprintf(stderr, "vethractl: %s\n", why.c_str());
    return check;
  }
  if (c == "metrics") return Metrics(o);
  if (c == "status" || c == "changerate" || c == "exit") return Simple(o);
  if (c == "exporter") return VTR_RunExporter(o.exporter, o.socket.c_str(), o.timeoutMs);
  return Usage(("unknown command " + c).c_str());
}
