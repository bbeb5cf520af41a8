// `vethractl check-options -- ARGS...`: tells whether the daemon would take
// ARGS as they are meant. The daemon reads numbers with strtol and no check,
// so `-d abc` runs without a time limit and `-w abc` watches world group 0,
// and it answers an unknown option with its usage text and exit status 0:
// a typo in the unit's options would start a daemon that does nothing while
// systemd sees success. The service runs this check first (ExecStartPre), so
// such a unit fails visibly instead.
//
// The options are read with getopt_long and the daemon's own option table,
// so every form the daemon accepts is accepted here too: short options,
// clustered (-as), attached values (-d60), long options with a space or '='
// and unambiguous abbreviations (--dur=60).
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include <limits>

#include "base/daemon_options.h"
#include "vethractl.h"

namespace {

// A whole decimal number in [lo, hi] (the daemon reads it in base 10).
bool WholeNumber(const char *s, long long lo, long long hi) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  return !errno && *end == '\0' && v >= lo && v <= hi;
}

}  // namespace

int VTR_CheckDaemonOptions(const std::vector<std::string> &args, std::string *why) {
  std::vector<std::string> copies(args);
  std::vector<char *> argv;
  static char name[] = "vethra";
  argv.push_back(name);
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  int argc = (int)args.size() + 1;

  optind = 0;  // 0: glibc starts a fresh scan
  opterr = 0;
  int opt;
  std::string bad;
  while (
      (opt = getopt_long(argc, argv.data(), (std::string(":") + VTR_DAEMON_SHORT_OPTIONS).c_str(),
                         VTR_DAEMON_LONG_OPTIONS, nullptr)) != -1) {
    const char *arg = optarg;
    switch (opt) {
      case 'h':
      case 'l':
      case 'a':
      case 's':
      case 'c':
        break;
      case 'd':
        if (!WholeNumber(arg, 0, std::numeric_limits<int32_t>::max()))
          bad = "-d needs a whole number of seconds";
        break;
      case 'w':
        if (!WholeNumber(arg, 1, std::numeric_limits<uint32_t>::max())) {
          bad = "-w needs a world group id (a positive whole number)";
        }
        break;
      case 'v':
        if (!WholeNumber(arg, 0, 7)) bad = "-v needs a log level from 0 to 7";
        break;
      case 'n':
        if (strlen(arg) > 1023) bad = "-n takes at most 1023 characters";
        break;
      case ':':
        bad = "option " + std::string(argv[optind - 1]) + " needs a value";
        break;
      case 'x':
      case 't':
      case 'm':
        bad = "option -" + std::string(1, (char)opt) + " is not supported by the daemon";
        break;
      default:
        bad = "unknown option " +
              std::string(optopt ? "-" + std::string(1, (char)optopt) : argv[optind - 1]);
        break;
    }
    if (!bad.empty()) break;
  }
  if (bad.empty() && optind < argc) bad = "unexpected argument " + std::string(argv[optind]);
  optind = 0;
  if (bad.empty()) return VTR_EXIT_OK;
  *why = "daemon options: " + bad;
  return VTR_EXIT_USAGE;
}
