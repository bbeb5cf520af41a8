// vethra-trace: converts public block traces into record files that hostsim
// replays, and prints record files.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/version.h"
#include "vethra_trace.h"

namespace {

const char USAGE[] =
    "Usage: vethra-trace convert [OPTIONS] INPUT OUTPUT\n"
    "       vethra-trace dump FILE\n"
    "       vethra-trace stats FILE\n"
    "       vethra-trace --version\n"
    "\n"
    "convert reads a block trace (plain or gzip-compressed; INPUT '-' is standard\n"
    "input) and writes 48-byte trace records: READ(10)/WRITE(10), world group id,\n"
    "handle id, length in bytes, LBA in 512-byte sectors, time stamp and latency\n"
    "in microseconds, time stamps relative to the earliest I/O, in time order.\n"
    "  --format msr|blkparse|disksim  input format (default: detected from the first line)\n"
    "      msr       MSR Cambridge CSV: Timestamp,Hostname,DiskNumber,Type,Offset,Size,\n"
    "                ResponseTime (100 ns units); source disk HOSTNAME_DISKNUMBER\n"
    "      blkparse  blkparse default text: each D (issue) is paired with the C\n"
    "                (completion) of the same device, sector and size for the latency;\n"
    "                source disk MAJOR,MINOR\n"
    "      disksim   DiskSim ASCII: time devno blkno bcount flags (sectors; flags 1 =\n"
    "                read); no latency; source disk DEVNO\n"
    "  --time-unit ms|us|ns           DiskSim time unit (default ms)\n"
    "  --map DISK=WGID:HANDLE         records of source disk DISK get these ids (repeatable)\n"
    "  --world-group WGID             world group id of the other disks (default 70001)\n"
    "  --first-handle HANDLE          their handle ids count up from here (default 8001)\n"
    "  --disk DISK                    convert only the I/O of this source disk\n"
    "  --keep-unmatched               blkparse: keep issues without completion (latency 0)\n"
    "The disk assignment and a summary are printed to standard error.\n"
    "\n"
    "dump prints one line per record; stats prints per-disk totals (reads, writes,\n"
    "bytes, 4 KiB-aligned I/O) counted the way the daemon counts them.\n"
    "\n"
    "Exit status: 0 success, 1 input or output error, 2 usage error.\n";

int Usage(const std::string &msg) {
  fprintf(stderr, "vethra-trace: %s\nTry 'vethra-trace --help'.\n", msg.c_str());
  return 2;
}

bool ParseU64(const std::string &s, uint64_t max, uint64_t *out) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, 10);
  if (s.empty() || s[0] < '0' || s[0] > '9' || *end || errno || v > max) return false;
  *out = v;
  return true;
}

int LoadRecords(const char *path, std::vector<VTR_Rec> *recs) {
  FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "vethra-trace: cannot open %s: %s\n", path, strerror(errno));
    return 1;
  }
  uint8_t buf[VTR_REC_SIZE];
  size_t n;
  while ((n = fread(buf, 1, VTR_REC_SIZE, f)) == VTR_REC_SIZE)
    recs->push_back(VTR_DecodeRecord(buf));
  if (f != stdin) fclose(f);
  if (n != 0)
    fprintf(stderr, "vethra-trace: %s: %zu trailing bytes ignored (not a whole record)\n", path, n);
  return 0;
}

int Convert(int argc, char **argv) {
  VTR_ConvertOptions opts;
  VTR_TraceFormat format = VTR_FMT_AUTO;
  double unitNs = 1e6;
  bool keepUnmatched = false;
  std::vector<std::string> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    uint64_t v;
    if (a == "--format") {
      std::string f = next();
      format = f == "msr"        ? VTR_FMT_MSR
               : f == "blkparse" ? VTR_FMT_BLKPARSE
               : f == "disksim"  ? VTR_FMT_DISKSIM
                                 : VTR_FMT_AUTO;
      if (format == VTR_FMT_AUTO) return Usage("--format takes msr, blkparse or disksim");
    } else if (a == "--time-unit") {
      std::string u = next();
      unitNs = u == "ms" ? 1e6 : u == "us" ? 1e3 : u == "ns" ? 1 : 0;
      if (unitNs == 0) return Usage("--time-unit takes ms, us or ns");
    } else if (a == "--map") {
      std::string m = next();
      size_t eq = m.rfind('='), colon = m.rfind(':');
      uint64_t wg, h;
      if (eq == std::string::npos || colon == std::string::npos || colon < eq ||
          !ParseU64(m.substr(eq + 1, colon - eq - 1), 0xFFFFFFFFull, &wg) ||
          !ParseU64(m.substr(colon + 1), UINT64_MAX, &h)) {
        return Usage("--map expects DISK=WGID:HANDLE, e.g. web_0=70001:8001");
      }
      opts.map[m.substr(0, eq)] = VTR_DiskId{(uint32_t)wg, h};
    } else if (a == "--world-group") {
      if (!ParseU64(next(), 0xFFFFFFFFull, &v)) return Usage("--world-group needs an id");
      opts.worldGroupId = (uint32_t)v;
    } else if (a == "--first-handle") {
      if (!ParseU64(next(), UINT64_MAX, &v)) return Usage("--first-handle needs an id");
      opts.firstHandle = v;
    } else if (a == "--disk") {
      opts.onlyDisk = next();
    } else if (a == "--keep-unmatched") {
      keepUnmatched = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return Usage("convert needs INPUT and OUTPUT");
  std::vector<VTR_SourceIo> ios;
  VTR_ConvertStats st;
  std::string err;
  if (VTR_ReadTraceFile(files[0], format, unitNs, keepUnmatched, &ios, &st, &err) != 0) {
    fprintf(stderr, "vethra-trace: %s\n", err.c_str());
    return 1;
  }
  std::vector<std::string> assigned;
  std::vector<VTR_Rec> recs = VTR_BuildRecords(ios, &opts, &assigned);
  for (const auto &a : assigned) fprintf(stderr, "vethra-trace: map %s\n", a.c_str());
  FILE *out = files[1] == "-" ? stdout : fopen(files[1].c_str(), "wb");
  if (!out) {
    fprintf(stderr, "vethra-trace: cannot create %s: %s\n", files[1].c_str(), strerror(errno));
    return 1;
  }
  uint8_t buf[VTR_REC_SIZE];
  for (const VTR_Rec &r : recs) {
    VTR_EncodeRecord(r, buf);
    fwrite(buf, 1, VTR_REC_SIZE, out);
  }
  bool ok = fflush(out) == 0 && !ferror(out);
  if (out != stdout) ok = fclose(out) == 0 && ok;
  if (!ok) {
    fprintf(stderr, "vethra-trace: write error on %s\n", files[1].c_str());
    return 1;
  }
  fprintf(
      stderr,
      "vethra-trace: %llu lines, %zu records written, %llu lines not understood, %llu skipped (no "
      "data), "
      "%llu issues without completion%s, %llu completions without issue, %llu lengths clipped\n",
      (unsigned long long)st.lines, recs.size(), (unsigned long long)st.malformed,
      (unsigned long long)st.skipped, (unsigned long long)st.unmatchedIssues,
      keepUnmatched ? " (kept)" : " (dropped)", (unsigned long long)st.unmatchedCompletions,
      (unsigned long long)st.oversized);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return Usage("no command given");
  std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help") {
    fputs(USAGE, stdout);
    return 0;
  }
  if (cmd == "--version") {
    printf("vethra-trace %s (revision %s)\n", VETHRA_VERSION, VETHRA_REVISION);
    return 0;
  }
  if (cmd == "convert") return Convert(argc, argv);
  if (cmd != "dump" && cmd != "stats") return Usage("unknown command " + cmd);
  if (argc != 3) return Usage(cmd + " needs one FILE");
  std::vector<VTR_Rec> recs;
  if (LoadRecords(argv[2], &recs) != 0) return 1;
  if (cmd == "stats") {
    fputs(VTR_RenderTotals(VTR_RecordTotals(recs)).c_str(), stdout);
    return 0;
  }
  printf("%14s %-5s %4s %10s %10s %16s %10s %10s\n", "TIME_US", "OP", "CDB", "WGID", "HANDLE",
         "LBA", "LENGTH", "LATENCY_US");
  for (const VTR_Rec &r : recs) {
    if (fputs(VTR_RenderRecord(r).c_str(), stdout) < 0) return 1;  // e.g. a closed pipe
  }
  return 0;
}
