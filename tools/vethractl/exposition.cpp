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

#include "vethractl.h"

namespace {

const char *const LAT_LE[VTR_TOOL_LAT_BUCKETS] = {"1e-06", "1e-05", "0.0001", "0.0005", "0.001", "0.005",
                                                  "0.01",  "0.025", "0.05",   "0.1",    "+Inf"};

struct Out {
  std::string text;
  bool om;

  // Metadata of one family. `name` is the family name without `_total`.
  void Family(const std::string &name, const char *type, const char *unit, const char *help) {
    bool counter = std::string(type) == "counter";
    bool info = std::string(type) == "info";
    // The 0.0.4 format names a counter family by its sample name and has no info type.
    std::string shown = om ? name : name + (counter ? "_total" : info ? "_info" : "");
    const char *t = (!om && info) ? "gauge" : type;
    if (om) {
      text += "# TYPE " + shown + " " + t + "\n";
      if (unit) text += "# UNIT " + shown + " " + unit + "\n";
      text += "# HELP " + shown + " " + help + "\n";
    } else {
      text += "# HELP " + shown + " " + help + "\n# TYPE " + shown + " " + t + "\n";
    }
  }
  void Sample(const std::string &name, const std::string &labels, const std::string &value) {
    text += name;
    if (!labels.empty()) text += "{" + labels + "}";
    text += " " + value + "\n";
  }
};

std::string Num(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string DiskLabels(const VTR_VmCounters &vm, const VTR_DiskCounters &d) {
  return "vm=\"" + VTR_EscapeLabel(vm.name) + "\",world_group_id=\"" + std::to_string(vm.worldGroupId) +
         "\",disk=\"" + VTR_EscapeLabel(d.name) + "\"";
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
    {"vethra_disk_aligned_reads", 8, nullptr, "Reads whose offset and length are multiples of 4 KiB."},
    {"vethra_disk_aligned_writes", 9, nullptr, "Writes whose offset and length are multiples of 4 KiB."},
};

void Histogram(Out &o, const VTR_Doc &doc, const char *name, const char *unit, const char *help, int base,
               int dir, int buckets, bool sizes) {
  o.Family(name, "histogram", unit, help);
  for (const auto &vm : doc.vms) {
    for (const auto &d : vm.disks) {
      std::string labels = DiskLabels(vm, d);
      uint64_t cum = 0;
      for (int b = 0; b < buckets; b++) {
        cum += d.c[base + 2 * b + dir];
        std::string le = b == buckets - 1 ? "+Inf"
                         : sizes          ? std::to_string(VTR_SizeBucketUpperBytes[b])
                                          : LAT_LE[b];
        o.Sample(std::string(name) + "_bucket", labels + ",le=\"" + le + "\"", std::to_string(cum));
      }
      // Every counted I/O lands in exactly one size bucket, so the read (write)
      // byte total is the sum of the observed sizes.
      if (sizes) o.Sample(std::string(name) + "_sum", labels, std::to_string(d.c[2 + dir]));
      o.Sample(std::string(name) + "_count", labels, std::to_string(cum));
    }
  }
}

}  // namespace

std::string VTR_EscapeLabel(const std::string &v) {
  std::string out;
  for (char ch : v) {
    if (ch == '\\') out += "\\\\";
    else if (ch == '"') out += "\\\"";
    else if (ch == '\n') out += "\\n";
    else out += ch;
  }
  return out;
}

std::string VTR_RenderExposition(const VTR_Scrape &s, bool om) {
  Out o{std::string(), om};
  o.Family("vethra_up", "gauge", nullptr, "1 when the daemon answered the metrics query, else 0.");
  o.Sample("vethra_up", "", s.metricsOk ? "1" : "0");
  o.Family("vethra_scrape_duration_seconds", "gauge", "seconds", "Time taken to query the daemon.");
  o.Sample("vethra_scrape_duration_seconds", "", Num(s.durationSeconds));
  o.Family("vethra_scrape_error", "gauge", nullptr, "1 when a query of this scrape failed, else 0.");
  o.Sample("vethra_scrape_error", "", (!s.metricsOk || s.changeRate < 0) ? "1" : "0");
  if (s.metricsOk) {
    const VTR_Doc &doc = s.metrics;
    o.Family("vethra_change_rate_enabled", "gauge", nullptr, "1 when the daemon estimates change rates.");
    o.Sample("vethra_change_rate_enabled", "", s.changeRate == 0 ? "0" : "1");
    o.Family("vethra_vm", "info", nullptr, "A monitored VM.");
    for (const auto &vm : doc.vms) {
      o.Sample("vethra_vm_info",
               "vm=\"" + VTR_EscapeLabel(vm.name) + "\",world_group_id=\"" + std::to_string(vm.worldGroupId) +
                   "\",uuid=\"" + VTR_EscapeLabel(vm.uuid) + "\"",
               "1");
    }
    for (const CounterFamily &f : COUNTERS) {
      o.Family(f.name, "counter", f.unit, f.help);
      for (const auto &vm : doc.vms) {
        for (const auto &d : vm.disks) {
          o.Sample(std::string(f.name) + "_total", DiskLabels(vm, d), std::to_string(d.c[f.index]));
        }
      }
    }
    Histogram(o, doc, "vethra_disk_read_size_bytes", "bytes", "Sizes of reads.", VTR_TOOL_SIZE_BASE, 0,
              VTR_TOOL_SIZE_BUCKETS, true);
    Histogram(o, doc, "vethra_disk_write_size_bytes", "bytes", "Sizes of writes.", VTR_TOOL_SIZE_BASE, 1,
              VTR_TOOL_SIZE_BUCKETS, true);
    Histogram(o, doc, "vethra_disk_read_latency_seconds", "seconds",
              "Latencies of reads (no _sum: the daemon keeps no latency total).", VTR_TOOL_LAT_BASE, 0,
              VTR_TOOL_LAT_BUCKETS, false);
    Histogram(o, doc, "vethra_disk_write_latency_seconds", "seconds",
              "Latencies of writes (no _sum: the daemon keeps no latency total).", VTR_TOOL_LAT_BASE, 1,
              VTR_TOOL_LAT_BUCKETS, false);
  }
  if (s.metricsOk && s.changeRate > 0) {
    static const char *const WINDOWS[] = {"5m", "15m", "60m"};
    o.Family("vethra_disk_changed_bytes", "gauge", "bytes",
             "Bytes in distinct 4 KiB blocks written within the window (estimate).");
    for (const auto &vm : s.rates.vms) {
      for (const auto &d : vm.disks) {
        for (size_t i = 0; i < 3 && i < d.rates.size(); i++) {
          o.Sample("vethra_disk_changed_bytes", DiskLabels(vm, d) + ",window=\"" + WINDOWS[i] + "\"",
                   std::to_string(d.rates[i]));
        }
      }
    }
  }
  if (om) o.text += "# EOF\n";
  return o.text;
}
