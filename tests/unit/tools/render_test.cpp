// vethractl's renderers on known documents (golden text).
#include <gtest/gtest.h>

#include <sstream>

#include "unit/tools/tools_docs.h"

namespace {

// db-01 scsi0:0 does 200 reads (4 KiB, 100 of them sequential) and 100 writes
// of 64 KiB in 2 s; web-01 has no disks.
const TestCounters kBeforeCounters = {
    {"rio", 1000}, {"wio", 500}, {"rthput", 4096000}, {"wthput", 32768000}};
const std::vector<TestVm> kBefore = {{"db-01", 70001, {{"scsi0:0", kBeforeCounters}}},
                                     {"web-01", 70002, {}}};
const TestCounters kAfterCounters = {{"rio", 1200},        {"wio", 600},       {"rthput", 4915200},
                                     {"wthput", 39321600}, {"seqrio", 100},    {"eq4kalirio", 200},
                                     {"eq4kaliwio", 100},  {"eq4krio", 1200},  {"eq64kwio", 600},
                                     {"rlat100us", 900},   {"rlat500us", 300}, {"wlat1ms", 600}};
const std::vector<TestVm> kAfter = {
    {"db-01", 70001, {{"scsi0:0", kAfterCounters}, {"scsi0:1", {}}}}, {"web-01", 70002, {}}};

TEST(ToolsRender, MetricsTableFromTwoSamplesAndFromTotals) {
  VTR_Doc before = TestParse(TestMetricsDoc(100, kBefore)),
          after = TestParse(TestMetricsDoc(102, kAfter));
  VTR_MetricsView view{2.0, false, "", 40};
  // Latency estimates interpolate within the bucket: 900 reads up to 100 us
  // and 300 up to 500 us put the median at 10 + 600/900 * 90 = 70 us.
  EXPECT_EQ(VTR_RenderMetricsTable(&before, after, view),
            "VM            WGID  DISK         R IOPS      W IOPS        READ/s       WRITE/s   "
            "READ%    SEQ%   4K-ALN%"
            "       R P50       R P99       W P50       W P99\n"
            "db-01        70001  scsi0:0       100.0        50.0     400.0 KiB      3.12 MiB    "
            "66.7    33.3     100.0"
            "       70 us      484 us      750 us      995 us\n"
            "db-01        70001  scsi0:1         new         new           new           new     "
            "new     new       new"
            "         new         new         new         new\n"
            "web-01       70002  (no disks)\n"
            "2 VM(s), 2 disk(s); rates over 2.00 s; new: disk added since the previous sample; -: "
            "no I/O to take a "
            "share or latency of\n");
  view.seconds = 0;
  std::string totals = VTR_RenderMetricsTable(nullptr, after, view);
  EXPECT_NE(totals.find("       READS      WRITES          READ       WRITTEN"), std::string::npos)
      << totals;
  EXPECT_NE(totals.find("scsi0:0        1200         600      4.69 MiB      37.5 MiB    66.7     "
                        "5.6      16.7  "),
            std::string::npos)
      << totals;
}

// Columns line up by what a terminal shows, not by bytes: two-column CJK
// characters, combining-free accented letters, and bytes that are not UTF-8.
TEST(ToolsRender, ColumnsAlignByDisplayWidth) {
  const struct {
    const char *text;
    size_t columns;
  } widths[] = {{"db-01", 5},
                {"r\xc3\xa9plica", 7},
                {"\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf", 6},
                {"a\xff", 2}};
  for (const auto &w : widths) EXPECT_EQ(VTR_DisplayWidth(w.text), w.columns) << w.text;

  VTR_Doc doc = TestParse(
      TestMetricsDoc(1, {{"\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf-db", 70001, {{"scsi0:0", {}}}},
                         {"r\xc3\xa9plica", 70002, {{"scsi0:0", {}}}}}));
  std::string table = VTR_RenderMetricsTable(nullptr, doc, VTR_MetricsView{0, false, "", 40});
  // Every line but the summary ends in the same column, and the world group
  // ids end where the header's WGID does.
  std::vector<std::string> lines;
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << table;
  auto columnsTo = [](const std::string &line, const std::string &word) {
    return VTR_DisplayWidth(line.substr(0, line.find(word) + word.size()));
  };
  for (size_t i = 1; i < 3; i++) {
    EXPECT_EQ(VTR_DisplayWidth(lines[i]), VTR_DisplayWidth(lines[0])) << table;
    EXPECT_EQ(columnsTo(lines[i], std::to_string(70000 + i)), columnsTo(lines[0], "WGID")) << table;
  }
}

TEST(ToolsRender, HistogramsShowTheUsedBucketRangeOfTheChosenDisk) {
  VTR_Doc after = TestParse(TestMetricsDoc(102, kAfter));
  VTR_MetricsView view{0, true, "db-01/scsi0:0", 20};
  EXPECT_EQ(VTR_RenderHistograms(nullptr, after, view),
            "\ndb-01 (70001) / scsi0:0: all I/O since the disk was added\n"
            "  read size (1200 I/Os)\n"
            "    4K         |####################|     1200 100.0%\n"
            "  write size (600 I/Os)\n"
            "    64K        |####################|      600 100.0%\n"
            "  read latency (1200 I/Os)\n"
            "    <= 100us   |####################|      900  75.0%\n"
            "    <= 500us   |#######             |      300  25.0%\n"
            "  write latency (600 I/Os)\n"
            "    <= 1ms     |####################|      600 100.0%\n");
  view.histogramDisk = "scsi9:9";
  EXPECT_EQ(VTR_RenderHistograms(nullptr, after, view), "no disk named scsi9:9\n");
}

TEST(ToolsRender, ChangeRateStatusAndUnits) {
  std::vector<std::pair<const char *, long long>> windows = {
      {"changebytes5m", 4096}, {"changebytes15m", 10485760}, {"changebytes60m", 3221225472}};
  VTR_Doc cr = TestParse(TestMetricsDoc(5, {{"db-01", -1, {{"scsi0:0", windows}}}}, true), true);
  EXPECT_EQ(VTR_RenderChangeRate(cr),
            "VM           WGID  DISK          5 MIN      15 MIN      60 MIN\n"
            "db-01  4294967295  scsi0:0    4.00 KiB    10.0 MiB    3.00 GiB\n"
            "bytes in distinct 4 KiB blocks written per window\n");
  VTR_StatusDoc st;
  std::string err;
  ASSERT_EQ(VTR_ParseStatusDoc(
                "{\"status\":\"running\",\"runName\":\"\",\"duration\":0,\"vmWorldGroups\":[7,8]}",
                &st, &err),
            0);
  EXPECT_EQ(
      VTR_RenderStatus(st),
      "vethra is running\nrun name:      (none)\ntime left:     no limit set, or it has passed\n"
      "monitored VMs: 2 (7 8)\n");
  EXPECT_EQ(VTR_HumanBytes(1023), "1023 B");
  EXPECT_EQ(VTR_ParseStatusDoc("Unable to query VM status", &st, &err), -1);
}

TEST(ToolsRender, CountersArePlacedByNameAndWrappedValuesStayUnsigned) {
  std::string json = TestMetricsDoc(1, {{"vm", 1, {{"d", {{"rio", -1}}}}}});
  // Swap the first two names: the value of "rio" must still land in rio.
  json.replace(json.find("\"rio\",\"wio\""), 11, "\"wio\",\"rio\"");
  VTR_Doc d = TestParse(json);
  EXPECT_EQ(d.vms[0].disks[0].c[0], 0u);
  EXPECT_EQ(d.vms[0].disks[0].c[1], UINT64_MAX);
}

}  // namespace
