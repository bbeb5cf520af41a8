// The exporter's exposition checked line by line: names, label syntax and
// escaping, cumulative histograms ending in +Inf with _count equal to it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <regex>

#include "base/version.h"
#include "unit/tools/tools_docs.h"

namespace {

VTR_Scrape KnownScrape() {
  VTR_Scrape s{};
  const long long readBytes = 4096 * 4 + 3000 + 5120 * 2;  // 4 reads of 4 KiB, 1 < 4K, 2 of 5 KiB
  const TestCounters counters = {{"rio", 7},          {"rthput", readBytes}, {"wio", 1},
                                 {"wthput", 2000000}, {"lt4krio", 1},        {"eq4krio", 4},
                                 {"gt4lt8krio", 2},   {"gt1mwio", 1},        {"rlat1us", 1},
                                 {"rlat100ms", 5},    {"rlatgt100ms", 1},    {"wlat5ms", 1}};
  // The VM's name is the JSON text of: db "01"\x<line end>z
  std::string json = TestMetricsDoc(9, {{R"(db \"01\"\\x\nz)", 70001, {{"scsi0:0", counters}}},
                                        {"web-01", 70002, {{"scsi0:0", {}}}}});
  s.metrics = TestParse(json);
  s.metricsOk = true;
  s.changeRate = 1;
  s.rates = s.metrics;
  s.rates.vms[0].disks[0].rates = {4096, 8192, 12288};
  s.durationSeconds = 0.0125;
  return s;
}

struct Sample {
  std::string name, labels, le;
  double value;
};

// Parses and checks every line; returns the samples.
std::vector<Sample> Check(const std::string &text, bool om) {
  static const std::regex comment(R"(# (HELP|TYPE|UNIT) ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
  static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (-?[0-9.e+-]+|\+Inf))");
  static const std::regex labels(R"((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"(?:,|$))*)");
  static const std::regex suffix("_(total|bucket|count|sum|info)$");
  static const std::regex le(R"((?:^|,)le="([^"]*)\")");
  std::vector<Sample> out;
  std::map<std::string, std::string> types;
  // OpenMetrics ends in "# EOF", and only there.
  EXPECT_EQ(text.find("# EOF\n"), om ? text.size() - 6 : std::string::npos);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    EXPECT_NE(nl, std::string::npos) << "last line not terminated";
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (line == "# EOF") continue;
    std::smatch m;
    if (std::regex_match(line, m, comment)) {
      if (m[1] == "TYPE") types[m[2]] = line.substr(line.rfind(' ') + 1);
    } else if (std::regex_match(line, m, sample)) {
      Sample s{m[1], m[3], "", strtod(m[4].str().c_str(), nullptr)};
      EXPECT_TRUE(std::regex_match(s.labels, labels)) << "bad labels: " << line;
      std::smatch lm;
      if (std::regex_search(s.labels, lm, le)) s.le = lm[1];
      // The family's TYPE came first; OpenMetrics names counters without _total.
      std::string fam = types.count(s.name) ? s.name : std::regex_replace(s.name, suffix, "");
      EXPECT_TRUE(types.count(fam)) << "no TYPE for " << line;
      EXPECT_TRUE(types[fam] != "counter" || s.name.ends_with("_total")) << line;
      out.push_back(s);
    } else {
      ADD_FAILURE() << "unparsable line: " << line;
    }
  }
  return out;
}

// Every histogram series: le ascending, counts cumulative, +Inf last, _count = +Inf.
void CheckHistograms(const std::vector<Sample> &samples) {
  std::map<std::string, std::vector<const Sample *>> buckets;
  std::map<std::string, double> counts;
  for (const Sample &s : samples) {
    std::string base = s.name.substr(0, s.name.rfind('_'));
    std::string labels = std::regex_replace(s.labels, std::regex(R"(,?le="[^"]*")"), "");
    if (s.name.ends_with("_bucket")) buckets[base + "{" + labels + "}"].push_back(&s);
    if (s.name.ends_with("_count")) counts[base + "{" + labels + "}"] = s.value;
  }
  ASSERT_EQ(buckets.size(), 8u);  // 4 histograms x 2 disks
  for (const auto &kv : buckets) {
    const auto &b = kv.second;
    ASSERT_EQ(b.back()->le, "+Inf") << kv.first;
    for (size_t i = 1; i < b.size(); i++) {
      EXPECT_LE(b[i - 1]->value, b[i]->value) << kv.first;
      if (i + 1 < b.size()) {
        EXPECT_LT(strtod(b[i - 1]->le.c_str(), nullptr), strtod(b[i]->le.c_str(), nullptr));
      }
    }
    ASSERT_TRUE(counts.count(kv.first)) << kv.first;
    EXPECT_EQ(counts[kv.first], b.back()->value) << kv.first;
  }
}

TEST(ToolsExposition, BothFormatsParseAndHistogramsAreConsistent) {
  VTR_Scrape s = KnownScrape();
  for (bool om : {false, true}) {
    std::string text = VTR_RenderExposition(s, om);
    std::vector<Sample> samples = Check(text, om);
    CheckHistograms(samples);
    EXPECT_NE(text.find("vm=\"db \\\"01\\\"\\\\x\\nz\""), std::string::npos);
    EXPECT_NE(text.find(om ? "# TYPE vethra_disk_reads counter"
                           : "# TYPE vethra_disk_reads_total counter"),
              std::string::npos);
    EXPECT_EQ(text.find("vethra_disk_read_latency_seconds_sum"), std::string::npos);
  }
  std::string text = VTR_RenderExposition(s, false);
  const std::string db = R"(vm="db \"01\"\\x\nz",world_group_id="70001",disk="scsi0:0")";
  // Size buckets by whole KiB: 4096..5119 bytes are "eq4k", so le="5119".
  for (const char *want :
       {"_read_size_bytes_bucket{$,le=\"4095\"} 1", "_read_size_bytes_bucket{$,le=\"5119\"} 5",
        "_read_size_bytes_bucket{$,le=\"8191\"} 7", "_read_size_bytes_bucket{$,le=\"+Inf\"} 7",
        "_read_size_bytes_sum{$} 29624", "_write_size_bytes_bucket{$,le=\"1049599\"} 0",
        "_read_latency_seconds_bucket{$,le=\"1e-06\"} 1",
        "_read_latency_seconds_bucket{$,le=\"0.1\"} 6", "_read_latency_seconds_count{$} 7",
        "_changed_bytes{$,window=\"15m\"} 8192", "_reads_total{$} 7"}) {
    std::string line = std::string("vethra_disk") + want;
    line.replace(line.find('$'), 1, db);
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
  }
  // Two VMs with a disk each; the build's version in the info series.
  for (std::string want :
       {"vethra_watched_vms 2", "vethra_watched_disks 2",
        "vethra_build_info{version=\"" VETHRA_VERSION "\",revision=\"" VETHRA_REVISION "\"} 1"}) {
    EXPECT_NE(text.find("\n" + want + "\n"), std::string::npos) << want;
  }
  // A daemon that cannot be reached: up 0 and the error gauge, no disk series.
  s.metricsOk = false;
  text = VTR_RenderExposition(s, false);
  Check(text, false);
  EXPECT_NE(text.find("\nvethra_up 0\n"), std::string::npos);
  EXPECT_NE(text.find("\nvethra_scrape_error 1\n"), std::string::npos);
  EXPECT_EQ(text.find("vethra_disk_"), std::string::npos);
  EXPECT_EQ(text.find("vethra_watched_"),
            std::string::npos);  // unknown, not 0: no "nothing watched" alert
}

TEST(ToolsExposition, PromtoolAcceptsTheOutputWhenInstalled) {
  if (system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool not installed";
  FILE *p = popen("promtool check metrics", "w");
  ASSERT_NE(p, nullptr);
  fputs(VTR_RenderExposition(KnownScrape(), false).c_str(), p);
  EXPECT_EQ(pclose(p), 0);
}

TEST(ToolsExposition, FormatAndEncodingNegotiation) {
  EXPECT_TRUE(VTR_WantsOpenMetrics("application/openmetrics-text;version=1.0.0,text/plain;q=0.5"));
  EXPECT_TRUE(VTR_WantsOpenMetrics("Application/OpenMetrics-Text"));
  EXPECT_FALSE(VTR_WantsOpenMetrics("text/plain;version=0.0.4"));
  const std::pair<const char *, bool> encodings[] = {
      {"gzip", true},    {"GZIP", true},      {"deflate, gzip;q=0.5", true},
      {"br, *", true},   {"gzip;q=0", false}, {"identity", false},
      {"x-gzip", false}, {"", false},         {nullptr, false}};
  for (const auto &[value, gzip] : encodings) {
    EXPECT_EQ(VTR_AcceptsGzip(value), gzip) << (value ? value : "(none)");
  }
}

}  // namespace
