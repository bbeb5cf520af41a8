// vethractl: the operator's client. Parsing of the daemon's JSON documents,
// pure renderers (document in, text out) and the Prometheus exporter.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Exit codes that scripts can rely on.
enum {
  VTR_EXIT_OK = 0,
  VTR_EXIT_DAEMON_ERROR = 1,   // the daemon replied with an error text
  VTR_EXIT_USAGE = 2,
  VTR_EXIT_UNREACHABLE = 3,    // no daemon, no access, or the connection broke
  VTR_EXIT_BAD_REPLY = 4,      // the reply could not be understood
};

// Command codes of the daemon's socket protocol: VTRC_CMD_* of the client
// library (vethra_client.h).
constexpr const char *VTR_CHANGE_RATE_DISABLED = "Change rate estimation is disabled";

constexpr int VTR_TOOL_COUNTERS = 70;
constexpr int VTR_TOOL_SIZE_BUCKETS = 19;
constexpr int VTR_TOOL_LAT_BUCKETS = 11;
constexpr int VTR_TOOL_SIZE_BASE = 10;  // read bucket b at 10 + 2b, write at 11 + 2b
constexpr int VTR_TOOL_LAT_BASE = 48;   // read bucket b at 48 + 2b, write at 49 + 2b

// The daemon's counter names in its counter order.
extern const char *const VTR_ToolCounterNames[VTR_TOOL_COUNTERS];
// Inclusive upper bound of each size bucket in bytes (the last is unbounded: 0).
extern const uint64_t VTR_SizeBucketUpperBytes[VTR_TOOL_SIZE_BUCKETS];
// Inclusive upper bound of each latency bucket in microseconds (last: 0).
extern const uint64_t VTR_LatBucketUpperUs[VTR_TOOL_LAT_BUCKETS];
extern const char *const VTR_SizeBucketLabels[VTR_TOOL_SIZE_BUCKETS];
extern const char *const VTR_LatBucketLabels[VTR_TOOL_LAT_BUCKETS];

struct VTR_DiskCounters {
  std::string name;  // vscsiDevName
  uint64_t c[VTR_TOOL_COUNTERS];
  std::vector<uint64_t> rates;  // change-rate document: 5, 15, 60 minutes in bytes
};

struct VTR_VmCounters {
  std::string name;
  std::string uuid;
  uint32_t worldGroupId;
  std::vector<VTR_DiskCounters> disks;
};

// A parsed metrics or change-rate document.
struct VTR_Doc {
  int64_t timeStamp;
  std::vector<VTR_VmCounters> vms;
};

struct VTR_StatusDoc {
  std::string status;
  std::string runName;
  int64_t duration;
  std::vector<uint32_t> worldGroups;
};

// Parsers: 0 on success, -1 with *err set when the text is not such a document.
int VTR_ParseMetricsDoc(const std::string &json, VTR_Doc *out, std::string *err);
int VTR_ParseChangeRateDoc(const std::string &json, VTR_Doc *out, std::string *err);
int VTR_ParseStatusDoc(const std::string &json, VTR_StatusDoc *out, std::string *err);

// Human units: "0 B", "512 B", "1.5 KiB", "3.0 MiB", "2.00 GiB"...
std::string VTR_HumanBytes(double bytes);

// Options of the metrics renderers.
struct VTR_MetricsView {
  double seconds;              // between the samples; 0: totals of one sample
  bool histograms;
  std::string histogramDisk;   // only this disk ("DISK" or "VM/DISK"); empty: all
  int barWidth;
};

// Table of every disk. With prev and seconds > 0 the rates are those between
// the two samples; otherwise the totals since each disk was added are shown.
std::string VTR_RenderMetricsTable(const VTR_Doc *prev, const VTR_Doc &cur, const VTR_MetricsView &view);
// Size and latency bar charts of the selected disks (same sample rules).
std::string VTR_RenderHistograms(const VTR_Doc *prev, const VTR_Doc &cur, const VTR_MetricsView &view);
std::string VTR_RenderChangeRate(const VTR_Doc &doc);
std::string VTR_RenderStatus(const VTR_StatusDoc &doc);

// One scrape of the daemon, as the exporter renders it.
struct VTR_Scrape {
  bool metricsOk;
  VTR_Doc metrics;
  int changeRate;  // 1 document present, 0 estimation disabled, -1 query failed
  VTR_Doc rates;
  double durationSeconds;
};
std::string VTR_RenderExposition(const VTR_Scrape &scrape, bool openMetrics);
// Label value escaping of the text formats: backslash, double quote, newline.
std::string VTR_EscapeLabel(const std::string &v);

// HTTP request head as the exporter needs it.
struct VTR_HttpRequest {
  std::string method;
  std::string path;   // without the query string
  std::string accept;
};
// 1 when buf holds a complete head (parsed into *req), 0 when more bytes are
// needed, -1 when it is malformed.
int VTR_ParseHttpHead(const std::string &buf, VTR_HttpRequest *req);
bool VTR_WantsOpenMetrics(const std::string &accept);

// Queries the daemon once per document and fills *out; *error gets a text
// when a query failed.
void VTR_ScrapeDaemon(const char *socketPath, VTR_Scrape *out, std::string *error);

// Runs the exporter until SIGINT/SIGTERM. Returns an exit code.
int VTR_RunExporter(const char *listen, const char *socketPath);
