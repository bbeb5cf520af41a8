// Text renderers of vethractl: document in, text out, no I/O.
#include <locale.h>
#include <stdio.h>
#include <wchar.h>

#include <algorithm>

#include "vethractl.h"

namespace {

std::string Fmt(const char *fmt, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

// Pads to `width` terminal columns (VTR_DisplayWidth), not bytes, so that a
// name with multi-byte characters does not shift the later columns.
std::string Pad(const std::string &s, size_t width, bool right) {
  size_t w = VTR_DisplayWidth(s);
  if (w >= width) return s;
  std::string fill(width - w, ' ');
  return right ? fill + s : s + fill;
}

// The widest VM and disk names of a document, in columns.
void NameWidths(const VTR_Doc &doc, size_t *vmw, size_t *diskw) {
  for (const auto &vm : doc.vms) {
    *vmw = std::max(*vmw, VTR_DisplayWidth(vm.name));
    for (const auto &d : vm.disks) *diskw = std::max(*diskw, VTR_DisplayWidth(d.name));
  }
}

// A latency estimate in µs as text; "-" when nothing was counted. A value in
// the open last bucket is only a floor: it is shown as ">=".
std::string Latency(const uint64_t *c, int dir, double q) {
  uint64_t counts[VTR_TOOL_LAT_BUCKETS];
  for (int b = 0; b < VTR_TOOL_LAT_BUCKETS; b++) counts[b] = c[VTR_TOOL_LAT_BASE + 2 * b + dir];
  double us = VTR_HistogramPercentile(counts, VTR_LatBucketUpperUs, VTR_TOOL_LAT_BUCKETS, q);
  if (us < 0) return "-";
  std::string floor = us >= (double)VTR_LatBucketUpperUs[VTR_TOOL_LAT_BUCKETS - 2] ? ">=" : "";
  return floor + (us < 1000 ? Fmt("%.0f us", us) : Fmt("%.1f ms", us / 1000));
}

const VTR_DiskCounters *FindDisk(const VTR_Doc *doc, uint32_t wg, const std::string &name) {
  if (!doc) return nullptr;
  for (const auto &vm : doc->vms) {
    if (vm.worldGroupId != wg) continue;
    for (const auto &d : vm.disks) {
      if (d.name == name) return &d;
    }
  }
  return nullptr;
}

// Counters of one disk for the view: the difference to the previous sample in
// rate mode, the totals otherwise. False when a rate cannot be given (the disk
// is new, or was removed and added again so that its counters restarted).
bool Sample(const VTR_Doc *prev, uint32_t wg, const VTR_DiskCounters &d, double seconds,
            uint64_t out[VTR_TOOL_COUNTERS]) {
  if (seconds <= 0) {
    std::copy(d.c, d.c + VTR_TOOL_COUNTERS, out);
    return true;
  }
  const VTR_DiskCounters *p = FindDisk(prev, wg, d.name);
  if (!p || d.c[0] < p->c[0] || d.c[1] < p->c[1]) return false;
  for (int i = 0; i < VTR_TOOL_COUNTERS; i++) out[i] = d.c[i] - p->c[i];
  return true;
}

std::string Percent(uint64_t part, uint64_t whole) {
  return whole ? Fmt("%.1f", 100.0 * (double)part / (double)whole) : "-";
}

bool Selected(const std::string &filter, const VTR_VmCounters &vm, const VTR_DiskCounters &d) {
  return filter.empty() || filter == d.name || filter == vm.name + "/" + d.name ||
         filter == std::to_string(vm.worldGroupId) + "/" + d.name;
}

void Chart(std::string &out, const char *title, const uint64_t *c, int base, int dir, int buckets,
           const char *const *labels, int width) {
  uint64_t total = 0, max = 0;
  int first = -1, last = -1;
  for (int b = 0; b < buckets; b++) {
    uint64_t v = c[base + 2 * b + dir];
    total += v;
    max = std::max(max, v);
    if (v && first < 0) first = b;
    if (v) last = b;
  }
  out += "  " + std::string(title) + " (" + std::to_string(total) + " I/Os)\n";
  if (!total) {
    out += "    (no I/O)\n";
    return;
  }
  // Only the range from the first to the last used bucket, so that the shape shows.
  for (int b = first; b <= last; b++) {
    uint64_t v = c[base + 2 * b + dir];
    int len = (int)((double)v * width / (double)max + 0.5);
    if (v && !len) len = 1;
    out += "    " + Pad(labels[b], 10, false) + " |" + std::string(len, '#') +
           std::string(width - len, ' ') + "| " + Pad(std::to_string(v), 8, true) + " " +
           Pad(Percent(v, total), 5, true) + "%\n";
  }
}

}  // namespace

// Columns a terminal gives the text: wcwidth of each character, decoded as
// UTF-8 in a UTF-8 locale of this thread only (the process locale stays
// as it is). A byte that is not valid UTF-8, or a character without a width
// (a control character), counts as one column, as terminals show one
// replacement sign for it.
size_t VTR_DisplayWidth(const std::string &s) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  bool ascii = true;
  for (char ch : s) ascii = ascii && (unsigned char)ch < 0x80;
  if (ascii || utf8 == (locale_t)0) return s.size();
  locale_t old = uselocale(utf8);
  size_t width = 0;
  mbstate_t state{};
  const char *p = s.data(), *end = s.data() + s.size();
  while (p < end) {
    wchar_t wc;
    size_t n = mbrtowc(&wc, p, (size_t)(end - p), &state);
    if (n == (size_t)-1 || n == (size_t)-2 || n == 0) {
      state = mbstate_t{};
      width++;
      p++;
      continue;
    }
    int w = wcwidth(wc);
    width += w < 0 ? 1 : (size_t)w;
    p += n;
  }
  uselocale(old);
  return width;
}

bool VTR_HistogramDiskKnown(const VTR_Doc &doc, const std::string &disk) {
  for (const auto &vm : doc.vms) {
    for (const auto &d : vm.disks) {
      if (Selected(disk, vm, d)) return true;
    }
  }
  return false;
}

std::string VTR_HumanBytes(double bytes) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int u = 0;
  while (bytes >= 1024 && u < 6) {
    bytes /= 1024;
    u++;
  }
  if (u == 0) return Fmt("%.0f", bytes) + " B";
  return Fmt(bytes < 10 ? "%.2f" : "%.1f", bytes) + " " + units[u];
}

std::string VTR_RenderMetricsTable(const VTR_Doc *prev, const VTR_Doc &cur,
                                   const VTR_MetricsView &view) {
  bool rates = prev && view.seconds > 0;
  double secs = rates ? view.seconds : 0;
  size_t vmw = 2, diskw = 4;
  NameWidths(cur, &vmw, &diskw);
  constexpr int COLUMNS = 11;
  const char *heads[COLUMNS] = {rates ? "R IOPS" : "READS",
                                rates ? "W IOPS" : "WRITES",
                                rates ? "READ/s" : "READ",
                                rates ? "WRITE/s" : "WRITTEN",
                                "READ%",
                                "SEQ%",
                                "4K-ALN%",
                                "R P50",
                                "R P99",
                                "W P50",
                                "W P99"};
  const size_t widths[COLUMNS] = {10, 10, 12, 12, 6, 6, 8, 10, 10, 10, 10};
  std::string out =
      Pad("VM", vmw, false) + "  " + Pad("WGID", 10, true) + "  " + Pad("DISK", diskw, false);
  for (int i = 0; i < COLUMNS; i++) out += "  " + Pad(heads[i], widths[i], true);
  out += "\n";
  size_t disks = 0;
  for (const auto &vm : cur.vms) {
    std::string lead =
        Pad(vm.name, vmw, false) + "  " + Pad(std::to_string(vm.worldGroupId), 10, true) + "  ";
    if (vm.disks.empty()) out += lead + "(no disks)\n";
    for (const auto &d : vm.disks) {
      disks++;
      uint64_t c[VTR_TOOL_COUNTERS];
      std::string cells[COLUMNS];
      if (!Sample(prev, vm.worldGroupId, d, secs, c)) {
        std::fill(cells, cells + COLUMNS, "new");
      } else {
        uint64_t ios = c[0] + c[1];
        if (rates) {
          cells[0] = Fmt("%.1f", (double)c[0] / secs);
          cells[1] = Fmt("%.1f", (double)c[1] / secs);
          cells[2] = VTR_HumanBytes((double)c[2] / secs);
          cells[3] = VTR_HumanBytes((double)c[3] / secs);
        } else {
          cells[0] = std::to_string(c[0]);
          cells[1] = std::to_string(c[1]);
          cells[2] = VTR_HumanBytes((double)c[2]);
          cells[3] = VTR_HumanBytes((double)c[3]);
        }
        cells[4] = Percent(c[0], ios);
        cells[5] = Percent(c[4] + c[5], ios);
        cells[6] = Percent(c[8] + c[9], ios);
        cells[7] = Latency(c, 0, 0.5);
        cells[8] = Latency(c, 0, 0.99);
        cells[9] = Latency(c, 1, 0.5);
        cells[10] = Latency(c, 1, 0.99);
      }
      out += lead + Pad(d.name, diskw, false);
      for (int i = 0; i < COLUMNS; i++) out += "  " + Pad(cells[i], widths[i], true);
      out += "\n";
    }
  }
  out += std::to_string(cur.vms.size()) + " VM(s), " + std::to_string(disks) + " disk(s); ";
  out += rates ? Fmt("rates over %.2f s", secs) : std::string("totals since each disk was added");
  out += rates ? "; new: disk added since the previous sample" : "";
  out += "; -: no I/O to take a share or latency of\n";
  return out;
}

std::string VTR_RenderHistograms(const VTR_Doc *prev, const VTR_Doc &cur,
                                 const VTR_MetricsView &view) {
  bool rates = prev && view.seconds > 0;
  int width = view.barWidth > 0 ? view.barWidth : 40;
  std::string out;
  for (const auto &vm : cur.vms) {
    for (const auto &d : vm.disks) {
      if (!Selected(view.histogramDisk, vm, d)) continue;
      out += "\n" + vm.name + " (" + std::to_string(vm.worldGroupId) + ") / " + d.name;
      out += rates ? Fmt(": I/O of the last %.2f s\n", view.seconds)
                   : ": all I/O since the disk was added\n";
      uint64_t c[VTR_TOOL_COUNTERS];
      if (!Sample(prev, vm.worldGroupId, d, rates ? view.seconds : 0, c)) {
        out += "  (new disk: no earlier sample)\n";
        continue;
      }
      Chart(out, "read size", c, VTR_TOOL_SIZE_BASE, 0, VTR_TOOL_SIZE_BUCKETS, VTR_SizeBucketLabels,
            width);
      Chart(out, "write size", c, VTR_TOOL_SIZE_BASE, 1, VTR_TOOL_SIZE_BUCKETS,
            VTR_SizeBucketLabels, width);
      Chart(out, "read latency", c, VTR_TOOL_LAT_BASE, 0, VTR_TOOL_LAT_BUCKETS, VTR_LatBucketLabels,
            width);
      Chart(out, "write latency", c, VTR_TOOL_LAT_BASE, 1, VTR_TOOL_LAT_BUCKETS,
            VTR_LatBucketLabels, width);
    }
  }
  if (out.empty() && !view.histogramDisk.empty())
    out = "no disk named " + view.histogramDisk + "\n";
  return out;
}

std::string VTR_RenderChangeRate(const VTR_Doc &doc) {
  size_t vmw = 2, diskw = 4;
  NameWidths(doc, &vmw, &diskw);
  std::string out = Pad("VM", vmw, false) + "  " + Pad("WGID", 10, true) + "  " +
                    Pad("DISK", diskw, false) + "  " + Pad("5 MIN", 10, true) + "  " +
                    Pad("15 MIN", 10, true) + "  " + Pad("60 MIN", 10, true) + "\n";
  for (const auto &vm : doc.vms) {
    std::string lead =
        Pad(vm.name, vmw, false) + "  " + Pad(std::to_string(vm.worldGroupId), 10, true) + "  ";
    if (vm.disks.empty()) out += lead + "(no disks)\n";
    for (const auto &d : vm.disks) {
      out += lead + Pad(d.name, diskw, false);
      for (size_t i = 0; i < 3; i++) {
        out += "  " + Pad(i < d.rates.size() ? VTR_HumanBytes((double)d.rates[i]) : "-", 10, true);
      }
      out += "\n";
    }
  }
  out += "bytes in distinct 4 KiB blocks written per window\n";
  return out;
}

std::string VTR_RenderStatus(const VTR_StatusDoc &doc) {
  std::string out = "vethra is " + doc.status + "\n";
  out += "run name:      " + (doc.runName.empty() ? std::string("(none)") : doc.runName) + "\n";
  out += "time left:     " +
         (doc.duration > 0 ? std::to_string(doc.duration) + " s"
                           : std::string("no limit set, or it has passed")) +
         "\n";
  out += "monitored VMs: " + std::to_string(doc.worldGroups.size());
  for (size_t i = 0; i < doc.worldGroups.size(); i++) {
    out += (i ? " " : " (") + std::to_string(doc.worldGroups[i]);
  }
  out += doc.worldGroups.empty() ? "\n" : ")\n";
  return out;
}
