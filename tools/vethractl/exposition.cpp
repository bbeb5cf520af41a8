// Prometheus text exposition (format 0.0.4) and OpenMetrics 1.0 of one scrape.
//
// Counters are exposed in base units with `_total`; the size and latency
// counters become cumulative histograms. A size bucket that the daemon keys by
// whole KiB (length >> 10) ending at k KiB holds lengths up to
// (k + 1) * 1024 - 1 bytes, which is its `le` bound: "lt4k" -> 4095,
// "eq4k" -> 5119, "gt4lt8k" -> 8191, ..., "eq1m" -> 1049599, "gt1m" -> +Inf.
// The latency bounds are the daemon's inclusive microsecond bounds in seconds.
// The latency histograms have no `_sum`: the daemon keeps no latency total.
#include <stdio.h>

#include <charconv>
#include <string_view>

#include "base/version.h"
#include "vethractl.h"

namespace {

const char *const LAT_LE[VTR_TOOL_LAT_BUCKETS] = {
    "1e-06", "1e-05", "0.0001", "0.0005", "0.001", "0.005", "0.01", "0.025", "0.05", "0.1", "+Inf"};

// The text is appended piece by piece into one buffer reserved up front: with
// 2000 disks a scrape is some 15 MB in about 160,000 lines.
struct Out {
  std::string text;
  bool om;

  // Metadata of one family. `name` is the family name without `_total`.
  void Family(std::string_view name, std::string_view type, const char *unit, const char *help) {
    bool counter = type == "counter";
    bool info = type == "info";
    // The 0.0.4 format names a counter family by its sample name and has no info type.
    std::string_view suffix = om ? "" : counter ? "_total" : info ? "_info" : "";
    std::string_view t = (!om && info) ? "gauge" : type;
    auto line = [&](std::string_view kind, std::string_view value) {
      text.append("# ")
          .append(kind)
          .append(" ")
          .append(name)
          .append(suffix)
          .append(" ")
          .append(value)
          .append("\n");
    };
    if (om) {
      line("TYPE", t);
      if (unit) line("UNIT", unit);
      line("HELP", help);
    } else {
      line("HELP", help);
      line("TYPE", t);
    }
  }
  // name suffix{labels extra} value
  void Sample(std::string_view name, std::string_view suffix, std::string_view labels,
              std::string_view extra, std::string_view value) {
    text.append(name).append(suffix);
    if (!labels.empty() || !extra.empty())
      text.append("{").append(labels).append(extra).append("}");
    text.append(" ").append(value).append("\n");
  }
  void Sample(std::string_view name, std::string_view suffix, std::string_view labels,
              std::string_view extra, uint64_t value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    Sample(name, suffix, labels, extra, std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
  }
};

std::string Num(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string DiskLabels(const VTR_VmCounters &vm, const VTR_DiskCounters &d) {
  return "vm=\"" + VTR_EscapeLabel(vm.name) + "\",world_group_id=\"" +
         std::to_string(vm.worldGroupId) + "\",disk=\"" + VTR_EscapeLabel(d.name) + "\"";
}

// The label set of every disk of a document, in document order.
std::vector<std::string> AllDiskLabels(const VTR_Doc &doc) {
  std::vector<std::string> labels;
  for (const auto &vm : doc.vms) {
    for (const auto &d : vm.disks) labels.push_back(DiskLabels(vm, d));
  }
  return labels;
}

struct CounterFamily {
  const char *name;
  int index;  // counter index
  const char *unit;
  const char *help;
};

const CounterFamily COUNTERS[] = {
    {"vethra_disk_reads", 0, nullptr, "Reads seen on the virtual disk."},
    {"vethra_disk_writes", 1, nullptr, "Writes seen on the virtual disk."},
    {"vethra_disk_read_bytes", 2, "bytes", "Bytes read from the virtual disk."},
    {"vethra_disk_write_bytes", 3, "bytes", "Bytes written to the virtual disk."},
    {"vethra_disk_sequential_reads", 4, nullptr,
     "Reads that continue, repeat or closely follow the previous read (within 32 sectors)."},
    {"vethra_disk_sequential_writes", 5, nullptr,
     "Writes that continue, repeat or closely follow the previous write (within 32 sectors)."},
    {"vethra_disk_sequential_read_bytes", 6, "bytes", "Bytes of sequential reads."},
    {"vethra_disk_sequential_write_bytes", 7, "bytes", "Bytes of sequential writes."},
    {"vethra_disk_aligned_reads", 8, nullptr,
     "Reads whose offset and length are multiples of 4 KiB."},
    {"vethra_disk_aligned_writes", 9, nullptr,
     "Writes whose offset and length are multiples of 4 KiB."},
};

void Histogram(Out &o, const VTR_Doc &doc, const std::vector<std::string> &labels, const char *name,
               const char *unit, const char *help, int base, int dir, int buckets, bool sizes) {
  o.Family(name, "histogram", unit, help);
  std::vector<std::string> le(buckets);  // ,le="..." of each bucket
  for (int b = 0; b < buckets; b++) {
    le[b] = ",le=\"" +
            (b == buckets - 1 ? std::string("+Inf")
             : sizes          ? std::to_string(VTR_SizeBucketUpperBytes[b])
                              : LAT_LE[b]) +
            "\"";
  }
  size_t disk = 0;
  for (const auto &vm : doc.vms) {
    for (const auto &d : vm.disks) {
      const std::string &l = labels[disk++];
      uint64_t cum = 0;
      for (int b = 0; b < buckets; b++) {
        cum += d.c[base + 2 * b + dir];
        o.Sample(name, "_bucket", l, le[b], cum);
      }
      // Every counted I/O lands in exactly one size bucket, so the read (write)
      // byte total is the sum of the observed sizes.
      if (sizes) o.Sample(name, "_sum", l, "", d.c[2 + dir]);
      o.Sample(name, "_count", l, "", cum);
    }
  }
}

// More than the text of a scrape can take, so that the buffer never grows
// (growing would copy it): per disk 79 lines of at most 160 bytes besides the
// names in its labels (escaping at most doubles a name), per VM one line.
size_t SizeBound(const VTR_Scrape &s) {
  size_t n = 16384;
  for (const VTR_Doc *doc : {&s.metrics, &s.rates}) {
    for (const auto &vm : doc->vms) {
      n += 128 + 2 * (vm.name.size() + vm.uuid.size());
      for (const auto &d : vm.disks) n += 79 * (160 + 2 * (vm.name.size() + d.name.size()));
    }
  }
  return n;
}

}  // namespace

std::string VTR_EscapeLabel(const std::string &v) {
  std::string out;
  out.reserve(v.size());
  for (char ch : v) {
    if (ch == '\\')
      out += "\\\\";
    else if (ch == '"')
      out += "\\\"";
    else if (ch == '\n')
      out += "\\n";
    else
      out += ch;
  }
  return out;
}

std::string VTR_RenderExposition(const VTR_Scrape &s, bool om) {
  Out o{std::string(), om};
  o.text.reserve(SizeBound(s));
  o.Family("vethra_up", "gauge", nullptr, "1 when the daemon answered the metrics query, else 0.");
  o.Sample("vethra_up", "", "", "", s.metricsOk ? "1" : "0");
  o.Family("vethra_scrape_duration_seconds", "gauge", "seconds", "Time taken to query the daemon.");
  o.Sample("vethra_scrape_duration_seconds", "", "", "", Num(s.durationSeconds));
  o.Family("vethra_scrape_error", "gauge", nullptr,
           "1 when a query of this scrape failed, else 0.");
  o.Sample("vethra_scrape_error", "", "", "", (!s.metricsOk || s.changeRate < 0) ? "1" : "0");
  o.Family("vethra_build", "info", nullptr,
           "Version and revision of the vethra build this exporter belongs to.");
  o.Sample("vethra_build_info", "",
           "version=\"" + VTR_EscapeLabel(VETHRA_VERSION) + "\",revision=\"" +
               VTR_EscapeLabel(VETHRA_REVISION) + "\"",
           "", "1");
  if (s.metricsOk) {
    const VTR_Doc &doc = s.metrics;
    const std::vector<std::string> labels = AllDiskLabels(doc);
    o.Family("vethra_watched_vms", "gauge", nullptr, "VMs the daemon monitors.");
    o.Sample("vethra_watched_vms", "", "", "", (uint64_t)doc.vms.size());
    o.Family("vethra_watched_disks", "gauge", nullptr, "Virtual disks of the monitored VMs.");
    o.Sample("vethra_watched_disks", "", "", "", (uint64_t)labels.size());
    o.Family("vethra_change_rate_enabled", "gauge", nullptr,
             "1 when the daemon estimates change rates.");
    o.Sample("vethra_change_rate_enabled", "", "", "", s.changeRate == 0 ? "0" : "1");
    o.Family("vethra_vm", "info", nullptr, "A monitored VM.");
    for (const auto &vm : doc.vms) {
      o.Sample("vethra_vm_info", "",
               "vm=\"" + VTR_EscapeLabel(vm.name) + "\",world_group_id=\"" +
                   std::to_string(vm.worldGroupId) + "\",uuid=\"" + VTR_EscapeLabel(vm.uuid) + "\"",
               "", "1");
    }
    for (const CounterFamily &f : COUNTERS) {
      o.Family(f.name, "counter", f.unit, f.help);
      size_t disk = 0;
      for (const auto &vm : doc.vms) {
        for (const auto &d : vm.disks) o.Sample(f.name, "_total", labels[disk++], "", d.c[f.index]);
      }
    }
    Histogram(o, doc, labels, "vethra_disk_read_size_bytes", "bytes", "Sizes of reads.",
              VTR_TOOL_SIZE_BASE, 0, VTR_TOOL_SIZE_BUCKETS, true);
    Histogram(o, doc, labels, "vethra_disk_write_size_bytes", "bytes", "Sizes of writes.",
              VTR_TOOL_SIZE_BASE, 1, VTR_TOOL_SIZE_BUCKETS, true);
    Histogram(o, doc, labels, "vethra_disk_read_latency_seconds", "seconds",
              "Latencies of reads (no _sum: the daemon keeps no latency total).", VTR_TOOL_LAT_BASE,
              0, VTR_TOOL_LAT_BUCKETS, false);
    Histogram(o, doc, labels, "vethra_disk_write_latency_seconds", "seconds",
              "Latencies of writes (no _sum: the daemon keeps no latency total).",
              VTR_TOOL_LAT_BASE, 1, VTR_TOOL_LAT_BUCKETS, false);
  }
  if (s.metricsOk && s.changeRate > 0) {
    static const char *const WINDOWS[] = {",window=\"5m\"", ",window=\"15m\"", ",window=\"60m\""};
    o.Family("vethra_disk_changed_bytes", "gauge", "bytes",
             "Bytes in distinct 4 KiB blocks written within the window (estimate).");
    for (const auto &vm : s.rates.vms) {
      for (const auto &d : vm.disks) {
        const std::string labels = DiskLabels(vm, d);
        for (size_t i = 0; i < 3 && i < d.rates.size(); i++) {
          o.Sample("vethra_disk_changed_bytes", "", labels, WINDOWS[i], d.rates[i]);
        }
      }
    }
  }
  if (om) o.text += "# EOF\n";
  return o.text;
}
