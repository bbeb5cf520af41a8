// Parsers of MSR Cambridge CSV, blkparse default text and DiskSim ASCII
// traces, and their conversion into trace records.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <sstream>
#include <tuple>

#if VETHRA_HAVE_ZLIB
#include <zlib.h>
#endif

#include "vethra_trace.h"

namespace {

std::vector<std::string> Split(const std::string &line, char sep) {
  std::vector<std::string> out;
  if (sep == ' ') {
    std::istringstream in(line);
    std::string t;
    while (in >> t) out.push_back(t);
  } else {
    size_t start = 0;
    for (;;) {
      size_t p = line.find(sep, start);
      out.push_back(line.substr(start, p - start));
      if (p == std::string::npos) break;
      start = p + 1;
    }
  }
  return out;
}

bool ToU64(const std::string &s, uint64_t *out) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return false;
  char *end = nullptr;
  unsigned long long v = strtoull(s.c_str(), &end, 10);
  if (*end) return false;
  *out = v;
  return true;
}

// "12.000342123" seconds -> nanoseconds, without the rounding of a double.
bool SecondsToNs(const std::string &s, uint64_t *out) {
  size_t dot = s.find('.');
  uint64_t sec = 0, frac = 0;
  if (!ToU64(s.substr(0, dot), &sec)) return false;
  if (dot != std::string::npos) {
    std::string f = s.substr(dot + 1, 9);
    if (!f.empty() && !ToU64(f, &frac)) return false;
    for (size_t i = f.size(); i < 9; i++) frac *= 10;
  }
  *out = sec * 1000000000ull + frac;
  return true;
}

std::string Trim(std::string s) {
  while (!s.empty() &&
         (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
    s.pop_back();
  size_t b = s.find_first_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b);
}

void Put(uint8_t *p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint64_t Get(const uint8_t *p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

}  // namespace

void VTR_EncodeRecord(const VTR_Rec &r, uint8_t out[VTR_REC_SIZE]) {
  memset(out, 0, VTR_REC_SIZE);
  out[1] = r.opcode;
  Put(out + 4, r.worldGroupId, 4);
  Put(out + 8, r.handleId, 8);
  Put(out + 16, r.length, 4);
  Put(out + 24, r.lba, 8);
  Put(out + 32, r.timestamp, 8);
  Put(out + 40, r.latency, 8);
}

VTR_Rec VTR_DecodeRecord(const uint8_t in[VTR_REC_SIZE]) {
  return VTR_Rec{
      in[1],           (uint32_t)Get(in + 4, 4), Get(in + 8, 8), (uint32_t)Get(in + 16, 4),
      Get(in + 24, 8), Get(in + 32, 8),          Get(in + 40, 8)};
}

// Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime with the time
// stamp and the response time in 100 ns units.
int VTR_ParseMsrLine(const std::string &raw, VTR_SourceIo *io) {
  std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return 0;
  std::vector<std::string> f = Split(line, ',');
  if (f.size() != 7) return -1;
  uint64_t ts, disk, off, size, rt;
  if (!ToU64(f[0], &ts) || !ToU64(f[2], &disk) || !ToU64(f[4], &off) || !ToU64(f[5], &size) ||
      !ToU64(f[6], &rt)) {
    return f[0] == "Timestamp" ? 0 : -1;  // a header line
  }
  if (strcasecmp(f[3].c_str(), "read") == 0) {
    io->write = false;
  } else if (strcasecmp(f[3].c_str(), "write") == 0) {
    io->write = true;
  } else {
    return -1;
  }
  io->disk = f[1] + "_" + f[2];
  io->lba = off / 512;
  io->length = size;
  io->timeNs = ts * 100;
  io->latencyNs = rt * 100;
  return 1;
}

// time devno blkno bcount flags: blkno and bcount in sectors, flags bit 0 = read.
int VTR_ParseDiskSimLine(const std::string &raw, double unitNs, VTR_SourceIo *io) {
  std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return 0;
  std::vector<std::string> f = Split(line, ' ');
  uint64_t blk, cnt, flags;
  char *end = nullptr;
  double t = f.size() == 5 ? strtod(f[0].c_str(), &end) : -1;
  if (f.size() != 5 || *end || t < 0 || !ToU64(f[2], &blk) || !ToU64(f[3], &cnt) ||
      !ToU64(f[4], &flags)) {
    return -1;
  }
  io->disk = f[1];
  io->write = (flags & 1) == 0;
  io->lba = blk;
  io->length = cnt * 512;
  io->timeNs = (uint64_t)(t * unitNs + 0.5);
  io->latencyNs = 0;
  return 1;
}

// maj,min cpu seq seconds pid action RWBS sector + nsectors [process]
int VTR_ParseBlkparseLine(const std::string &raw, VTR_BlkEvent *ev) {
  std::vector<std::string> f = Split(raw, ' ');
  if (f.empty()) return 0;
  if (f.size() < 7 || f[0].find(',') == std::string::npos) return -1;  // e.g. blkparse's summary
  if (f[5] != "D" && f[5] != "C") return 0;
  if (f.size() < 10 || f[8] != "+") return 0;  // an event without a sector range
  if (!SecondsToNs(f[3], &ev->timeNs) || !ToU64(f[7], &ev->sector) || !ToU64(f[9], &ev->sectors))
    return -1;
  ev->action = f[5][0];
  ev->dev = f[0];
  ev->rwbs = f[6];
  return 1;
}

void VTR_PairBlkEvents(std::vector<VTR_BlkEvent> &events, bool keepUnmatched,
                       std::vector<VTR_SourceIo> *ios, VTR_ConvertStats *stats) {
  std::stable_sort(events.begin(), events.end(), [](const VTR_BlkEvent &a, const VTR_BlkEvent &b) {
    return a.timeNs < b.timeNs;
  });
  using Key = std::tuple<std::string, uint64_t, uint64_t>;
  std::map<Key, std::deque<size_t>> pending;  // issues waiting for their completion, oldest first
  auto toIo = [](const VTR_BlkEvent &d, uint64_t latency) {
    return VTR_SourceIo{
        d.dev, d.rwbs.find('W') != std::string::npos, d.sector, d.sectors * 512, d.timeNs, latency};
  };
  std::vector<size_t> order;
  for (size_t i = 0; i < events.size(); i++) {
    const VTR_BlkEvent &e = events[i];
    bool rw = e.rwbs.find('W') != std::string::npos || e.rwbs.find('R') != std::string::npos;
    if (!rw || e.sectors == 0) {  // flushes, discards and other requests carry no data
      if (e.action == 'D') stats->skipped++;
      continue;
    }
    auto &q = pending[Key{e.dev, e.sector, e.sectors}];
    if (e.action == 'D') {
      q.push_back(i);
    } else if (q.empty()) {
      stats->unmatchedCompletions++;
    } else {
      const VTR_BlkEvent &d = events[q.front()];
      q.pop_front();
      ios->push_back(toIo(d, e.timeNs - d.timeNs));
    }
  }
  for (auto &kv : pending) {
    for (size_t i : kv.second) {
      stats->unmatchedIssues++;
      if (keepUnmatched) ios->push_back(toIo(events[i], 0));
    }
  }
}

VTR_TraceFormat VTR_DetectFormat(const std::string &line) {
  VTR_SourceIo io;
  VTR_BlkEvent ev;
  if (VTR_ParseMsrLine(line, &io) == 1) return VTR_FMT_MSR;
  if (VTR_ParseBlkparseLine(line, &ev) >= 0 && !Trim(line).empty()) return VTR_FMT_BLKPARSE;
  if (VTR_ParseDiskSimLine(line, 1, &io) == 1) return VTR_FMT_DISKSIM;
  return VTR_FMT_AUTO;
}

std::vector<VTR_Rec> VTR_BuildRecords(std::vector<VTR_SourceIo> &ios, VTR_ConvertOptions *opts,
                                      std::vector<std::string> *assigned) {
  std::stable_sort(ios.begin(), ios.end(), [](const VTR_SourceIo &a, const VTR_SourceIo &b) {
    return a.timeNs < b.timeNs;
  });
  std::vector<VTR_Rec> out;
  uint64_t nextHandle = opts->firstHandle;
  uint64_t firstNs = 0;
  bool first = true;
  for (const VTR_SourceIo &io : ios) {
    if (!opts->onlyDisk.empty() && io.disk != opts->onlyDisk) continue;
    auto it = opts->map.find(io.disk);
    if (it == opts->map.end()) {
      it = opts->map.emplace(io.disk, VTR_DiskId{opts->worldGroupId, nextHandle++}).first;
      assigned->push_back(io.disk + "=" + std::to_string(it->second.worldGroupId) + ":" +
                          std::to_string(it->second.handleId));
    }
    if (first) firstNs = io.timeNs;
    first = false;
    VTR_Rec r{};
    r.opcode = io.write ? VTR_OP_WRITE10 : VTR_OP_READ10;
    r.worldGroupId = it->second.worldGroupId;
    r.handleId = it->second.handleId;
    r.length = io.length > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)io.length;
    r.lba = io.lba;
    r.timestamp = (io.timeNs - firstNs) / 1000;
    r.latency = io.latencyNs / 1000;
    out.push_back(r);
  }
  return out;
}

int VTR_ReadTraceFile(const std::string &path, VTR_TraceFormat format, double disksimUnitNs,
                      bool keepUnmatched, std::vector<VTR_SourceIo> *ios, VTR_ConvertStats *stats,
                      std::string *err) {
#if VETHRA_HAVE_ZLIB
  // gzread passes uncompressed input through unchanged.
  gzFile in = path == "-" ? gzdopen(0, "rb") : gzopen(path.c_str(), "rb");
  auto readLine = [&](char *buf, int size) { return gzgets(in, buf, size) != nullptr; };
  auto closeIn = [&]() { gzclose(in); };
#else
  bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
  FILE *in = path == "-" ? stdin
             : gz        ? popen(("gzip -dc -- '" + path + "'").c_str(), "r")
                         : fopen(path.c_str(), "r");
  auto readLine = [&](char *buf, int size) { return fgets(buf, size, in) != nullptr; };
  auto closeIn = [&]() { gz ? pclose(in) : in != stdin ? fclose(in) : 0; };
#endif
  if (!in) {
    *err = "cannot open " + path + ": " + strerror(errno);
    return -1;
  }
  std::vector<VTR_BlkEvent> events;
  auto handle = [&](const std::string &line) {
    stats->lines++;
    if (format == VTR_FMT_AUTO && !Trim(line).empty()) {
      format = VTR_DetectFormat(line);
      if (format == VTR_FMT_AUTO) {
        *err = path + ": unknown trace format (first line: " + Trim(line) + "); use --format";
        return false;
      }
    }
    VTR_SourceIo io;
    VTR_BlkEvent ev;
    int rc = format == VTR_FMT_MSR        ? VTR_ParseMsrLine(line, &io)
             : format == VTR_FMT_DISKSIM  ? VTR_ParseDiskSimLine(line, disksimUnitNs, &io)
             : format == VTR_FMT_BLKPARSE ? VTR_ParseBlkparseLine(line, &ev)
                                          : 0;
    if (rc < 0) stats->malformed++;
    if (rc > 0 && format == VTR_FMT_BLKPARSE) events.push_back(ev);
    if (rc > 0 && format != VTR_FMT_BLKPARSE) {
      if (io.length == 0) {
        stats->skipped++;
      } else {
        if (io.length > 0xFFFFFFFFull) stats->oversized++;
        ios->push_back(io);
      }
    }
    return true;
  };
  std::string line;
  char buf[4096];
  bool ok = true;
  while (ok && readLine(buf, sizeof buf)) {
    line += buf;
    if (line.back() != '\n') continue;  // a line longer than the buffer
    ok = handle(line);
    line.clear();
  }
  if (ok && !line.empty()) ok = handle(line);  // no line end after the last line
  closeIn();
  if (!ok) return -1;
  if (format == VTR_FMT_BLKPARSE) VTR_PairBlkEvents(events, keepUnmatched, ios, stats);
  stats->ios = ios->size();
  return 0;
}

std::map<std::pair<uint32_t, uint64_t>, VTR_DiskTotals> VTR_RecordTotals(
    const std::vector<VTR_Rec> &recs) {
  std::map<std::pair<uint32_t, uint64_t>, VTR_DiskTotals> totals;
  for (const VTR_Rec &r : recs) {
    VTR_DiskTotals &t = totals[{r.worldGroupId, r.handleId}];
    // Reads and writes of every CDB size, as the daemon classifies them.
    uint8_t m = r.opcode & 0x5F;
    bool aligned = r.lba % 8 == 0 && r.length % 4096 == 0;
    if (m == 0x08) {
      t.reads++;
      t.readBytes += r.length;
      t.alignedReads += aligned;
    } else if (m == 0x0A) {
      t.writes++;
      t.writeBytes += r.length;
      t.alignedWrites += aligned;
    } else {
      t.other++;
    }
  }
  return totals;
}

std::string VTR_RenderTotals(
    const std::map<std::pair<uint32_t, uint64_t>, VTR_DiskTotals> &totals) {
  std::string out;
  char buf[256];
  snprintf(buf, sizeof buf, "%10s %12s %12s %12s %16s %16s %12s %12s %8s\n", "WGID", "HANDLE",
           "READS", "WRITES", "READ BYTES", "WRITE BYTES", "ALN READS", "ALN WRITES", "OTHER");
  out += buf;
  for (const auto &kv : totals) {
    const VTR_DiskTotals &t = kv.second;
    snprintf(buf, sizeof buf, "%10u %12llu %12llu %12llu %16llu %16llu %12llu %12llu %8llu\n",
             kv.first.first, (unsigned long long)kv.first.second, (unsigned long long)t.reads,
             (unsigned long long)t.writes, (unsigned long long)t.readBytes,
             (unsigned long long)t.writeBytes, (unsigned long long)t.alignedReads,
             (unsigned long long)t.alignedWrites, (unsigned long long)t.other);
    out += buf;
  }
  return out;
}

std::string VTR_RenderRecord(const VTR_Rec &r) {
  char buf[200];
  uint8_t m = r.opcode & 0x5F;
  snprintf(buf, sizeof buf, "%14llu %-5s 0x%02x %10u %10llu %16llu %10u %10llu\n",
           (unsigned long long)r.timestamp,
           m == 0x08   ? "READ"
           : m == 0x0A ? "WRITE"
                       : "OTHER",
           r.opcode, r.worldGroupId, (unsigned long long)r.handleId, (unsigned long long)r.lba,
           r.length, (unsigned long long)r.latency);
  return buf;
}
