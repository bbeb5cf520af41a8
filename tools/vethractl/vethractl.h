// vethractl: the operator's client. Parsing of the daemon's JSON documents,
// pure renderers (document in, text out) and the Prometheus exporter.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Exit codes that scripts can rely on.
enum {
  VTR_EXIT_OK = 0,
  VTR_EXIT_DAEMON_ERROR = 1,  // the daemon replied with an error text
  VTR_EXIT_USAGE = 2,
  VTR_EXIT_UNREACHABLE = 3,    // no daemon, no access, or the connection broke
  VTR_EXIT_BAD_REPLY = 4,      // the reply could not be understood
  VTR_EXIT_CANNOT_LISTEN = 5,  // the exporter cannot listen on its address
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

// Estimated q-quantile (0..1) of the values counted in a histogram of
// `buckets` buckets with inclusive upper bounds `upper` (the last bucket is
// open: bound 0), interpolating linearly within a bucket; a quantile in the
// open bucket gives that bucket's lower bound. -1 when nothing was counted.
double VTR_HistogramPercentile(const uint64_t *counts, const uint64_t *upper, int buckets,
                               double q);

// Terminal columns of a UTF-8 text (wcwidth per character; an invalid byte
// or a control character counts as one).
size_t VTR_DisplayWidth(const std::string &s);
// True when DISK ("DISK", "VM/DISK" or "WGID/DISK") names a disk of doc.
bool VTR_HistogramDiskKnown(const VTR_Doc &doc, const std::string &disk);

// check-options: VTR_EXIT_OK when the daemon would take `args` (its command
// line after argv[0]) as meant; VTR_EXIT_USAGE with *why otherwise.
int VTR_CheckDaemonOptions(const std::vector<std::string> &args, std::string *why);

// Human units: "0 B", "512 B", "1.5 KiB", "3.0 MiB", "2.00 GiB"...
std::string VTR_HumanBytes(double bytes);

// Options of the metrics renderers.
struct VTR_MetricsView {
  double seconds;  // between the samples; 0: totals of one sample
  bool histograms;
  std::string histogramDisk;  // only this disk ("DISK" or "VM/DISK"); empty: all
  int barWidth;
};

// Table of every disk. With prev and seconds > 0 the rates are those between
// the two samples; otherwise the totals since each disk was added are shown.
std::string VTR_RenderMetricsTable(const VTR_Doc *prev, const VTR_Doc &cur,
                                   const VTR_MetricsView &view);
// Size and latency bar charts of the selected disks (same sample rules).
std::string VTR_RenderHistograms(const VTR_Doc *prev, const VTR_Doc &cur,
                                 const VTR_MetricsView &view);
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

// An HTTP request as the exporter's routes see it.
struct VTR_HttpRequest {
  std::string method;
  std::string path;   // without the query string
  std::string query;  // after '?', as sent
  std::string accept;
};
// A route's answer; the server writes the head (length, encoding, caching).
struct VTR_HttpReply {
  int status;
  std::string contentType;
  std::string body;
};
bool VTR_WantsOpenMetrics(const std::string &accept);
// True when an Accept-Encoding value admits gzip (not with q=0).
bool VTR_AcceptsGzip(const char *acceptEncoding);
// The body gzip-compressed (RFC 1952) into *out; false on a zlib failure.
bool VTR_Gzip(const std::string &body, std::string *out);

// Queries the daemon once per document, both within timeoutMs, and fills
// *out; *error gets a text when a query failed.
void VTR_ScrapeDaemon(const char *socketPath, int timeoutMs, VTR_Scrape *out, std::string *error);

constexpr int VTR_HISTORY_DEFAULT_INTERVAL = 5;   // seconds
constexpr int VTR_HISTORY_DEFAULT_SECONDS = 900;  // 15 minutes

// The exporter's command-line options.
struct VTR_ExporterOptions {
  std::string listen = "127.0.0.1:9470";  // HOST:PORT, [V6]:PORT or :PORT (every address family)
  std::string webConfigFile;              // empty: no TLS, no authentication
  unsigned maxConnections = 32;
  unsigned idleTimeoutSeconds = 60;
  // The history sampler queries the daemon every sampleInterval seconds and
  // keeps historySeconds of samples.
  int sampleInterval = VTR_HISTORY_DEFAULT_INTERVAL;
  int historySeconds = VTR_HISTORY_DEFAULT_SECONDS;
};
// Takes the exporter option at argv[*i] (--web.listen-address or its alias
// --listen, --web.config.file, --web.max-connections, --web.idle-timeout;
// "--opt value" or "--opt=value"), moving *i past its value. 1 when taken,
// 0 when argv[*i] is no exporter option, -1 with *err for a bad value.
int VTR_ExporterOption(int argc, char **argv, int *i, VTR_ExporterOptions *o, std::string *err);
// Splits HOST:PORT; 0, or -1 with *err when the port is not 1-65535 or the
// form is wrong. An empty host means every address.
int VTR_SplitListenAddress(const std::string &addr, std::string *host, int *port, std::string *err);

// Runs the exporter until SIGINT/SIGTERM; daemon queries wait at most
// timeoutMs. Returns an exit code.
int VTR_RunExporter(const VTR_ExporterOptions &o, const char *socketPath, int timeoutMs);
