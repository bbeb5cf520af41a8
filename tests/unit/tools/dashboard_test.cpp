// The dashboard's JSON endpoint: rates between samples, the choice of the
// earlier sample, and how daemon failures show up in the document.
#include "dashboard.h"

#include <errno.h>
#include <gtest/gtest.h>

#include "tools_docs.h"
#include "vethra_client.h"

namespace {

VTR_DashReply Ok(const std::string &metrics, uint32_t crCode, const std::string &cr) {
  return VTR_DashReply{0, 0, metrics, 0, crCode, cr};
}

const std::string CR_DOC =
    TestMetricsDoc(5, {{"db", 100, {{"scsi0:0", {{"changebytes5m", 4096}}}}}}, true);

}  // namespace

TEST(DashboardRates, SkipsRestartedDisksAndFollowsTheDaemonsRenderings) {
  // A disk removed and added again starts from zero: no rate against the old
  // entry; a disk added after the first sample has none either.
  // World group ids above 2^31 - 1 come signed, as in the daemon's documents,
  // and a counter past 2^63 - 1 (rendered negative) still gives the right delta.
  VTR_Doc before = TestParse(TestMetricsDoc(
      1, {{"a", 100, {{"scsi0:0", {{"rio", 500}}}}}, {"b", -5, {{"scsi0:0", {{"rio", -10}}}}}}));
  VTR_Doc after = TestParse(
      TestMetricsDoc(2, {{"a", 100, {{"scsi0:0", {{"rio", 3}}}, {"scsi0:1", {{"rio", 5}}}}},
                         {"b", -5, {{"scsi0:0", {{"rio", -4}}}}}}));
  EXPECT_EQ(VTR_DashboardRatesJson(&before, after, 2.0),
            "{\"intervalSeconds\":2,\"disks\":[{\"worldGroupId\":-5,\"vscsiDevName\":\"scsi0:0\","
            "\"readIops\":3,\"writeIops\":0,\"readBytesPerSec\":0,\"writeBytesPerSec\":0,"
            "\"sequentialPct\":0,\"aligned4kPct\":0}]}");
  EXPECT_EQ(VTR_DashboardRatesJson(nullptr, after, 0), "{\"intervalSeconds\":null,\"disks\":[]}");
}

// The whole body, with the change-rate document passed on.
static std::string Body(const std::string &metrics, const std::string &rates) {
  return "{\"metrics\":" + metrics + ",\"metricsError\":null,\"changeRate\":" + CR_DOC +
         ",\"changeRateError\":null,\"rates\":" + rates + "}";
}

TEST(DashboardApi, PassesTheDocumentsThroughAndTakesRatesAgainstAnOldEnoughSample) {
  VTR_DashHistory history;
  auto doc = [](long long rio, long long ts = 1) {
    return TestMetricsDoc(ts, {{"db", 100, {{"scsi0:0", {{"rio", rio}}}}}});
  };
  const std::string noRates = "{\"intervalSeconds\":null,\"disks\":[]}";
  EXPECT_EQ(VTR_DashboardApiBody(Ok(doc(0), 0, CR_DOC), 10.0, &history, "/s"),
            Body(doc(0), noRates));
  // Too soon for the minimum interval, and nothing older: no rates yet.
  EXPECT_EQ(VTR_DashboardApiBody(Ok(doc(50), 0, CR_DOC), 10.5, &history, "/s"),
            Body(doc(50), noRates));
  // Over a second by the exporter's clock, but the daemon's time stamp has not moved on.
  EXPECT_EQ(VTR_DashboardApiBody(Ok(doc(350), 0, CR_DOC), 11.6, &history, "/s"),
            Body(doc(350), noRates));
  // Another page polls: the newest sample at least a second old by both clocks is used.
  EXPECT_EQ(VTR_DashboardApiBody(Ok(doc(400, 2), 0, CR_DOC), 11.7, &history, "/s"),
            Body(doc(400, 2),
                 "{\"intervalSeconds\":1.2,\"disks\":[{\"worldGroupId\":100,\"vscsiDevName\":"
                 "\"scsi0:0\",\"readIops\":291.6666667,\"writeIops\":0,\"readBytesPerSec\":0,"
                 "\"writeBytesPerSec\":0,\"sequentialPct\":0,\"aligned4kPct\":0}]}"));  // 350 / 1.2

  for (int i = 0; i < 10; i++)
    VTR_DashboardApiBody(Ok(doc(500 + i, 3 + i), 0, CR_DOC), 20.0 + i, &history, "/s");
  EXPECT_LE(history.samples.size(), 2u);  // only what can still be a base
  EXPECT_EQ(history.samples.back().when, 29.0);
}

// The body as bytes: the documents copied as they came and the rates written by
// hand as jansson would (escaped and non-ASCII names, skipped disks, nulls).
// Daemon failures in between are reported without losing the rate base.
TEST(DashboardApi, WritesTheBodyByteForByteAndKeepsTheRateBaseThroughFailures) {
  auto doc = [](long long rio, long long wio, long long seq) {
    const TestCounters busy = {
        {"rio", rio}, {"wio", wio}, {"rthput", rio * 4096}, {"seqrio", seq}, {"eq4kaliwio", wio}};
    return TestMetricsDoc(
        rio,
        {{"a", -1294967296LL, {{"scsi0:0", busy}, {"d\\\"q\\u00e9\\n", {{"wthput", 3 * rio}}}}},
         {"b", 70001, {{"idle", {}}, {"gone", {{"rio", 100 - rio}}}}}});
  };
  VTR_DashHistory history;
  VTR_DashboardApiBody(Ok(doc(10, 3, 1), 1, VTR_CHANGE_RATE_DISABLED), 1.0, &history, "/s");
  // The daemon down, a query it refused, a reply not understood.
  const std::pair<VTR_DashReply, std::string> failures[] = {
      {{-ENOENT, 0, "", 0, 0, ""}, vtrc_error_text(-ENOENT, "/run/v.uds")},
      {{0, 1, "Unable to fetch the metrics, json_dumps() failed.", 0, 0, ""},
       "metrics query failed: Unable to fetch the metrics, json_dumps() failed."},
      {Ok("{\"vethraMetrics\":", 0, CR_DOC), "metrics reply not understood: not a JSON object"}};
  for (const auto &[reply, error] : failures) {
    EXPECT_EQ(VTR_DashboardApiBody(reply, 2.0, &history, "/run/v.uds"),
              "{\"metrics\":null,\"metricsError\":\"" + error +
                  "\",\"changeRate\":null,\"changeRateError\":null,"
                  "\"rates\":{\"intervalSeconds\":null,\"disks\":[]}}");
  }
  EXPECT_EQ(history.samples.size(), 1u);
  std::string later = doc(17, 9, 5);
  EXPECT_EQ(VTR_DashboardApiBody(Ok(later, 1, VTR_CHANGE_RATE_DISABLED), 4.0, &history, "/s"),
            "{\"metrics\":" + later +
                ",\"metricsError\":null,\"changeRate\":null,"
                "\"changeRateError\":\"Change rate estimation is disabled\","
                "\"rates\":{\"intervalSeconds\":3,\"disks\":[{\"worldGroupId\":-1294967296,"
                "\"vscsiDevName\":\"scsi0:0\",\"readIops\":2.333333333,\"writeIops\":2,"
                "\"readBytesPerSec\":9557.333333,\"writeBytesPerSec\":0,"
                "\"sequentialPct\":30.76923077,\"aligned4kPct\":46.15384615},"
                "{\"worldGroupId\":-1294967296,\"vscsiDevName\":\"d\\\"q\xc3\xa9\\n\","
                "\"readIops\":0,\"writeIops\":0,\"readBytesPerSec\":0,\"writeBytesPerSec\":7,"
                "\"sequentialPct\":null,\"aligned4kPct\":null},{\"worldGroupId\":70001,"
                "\"vscsiDevName\":\"idle\",\"readIops\":0,\"writeIops\":0,\"readBytesPerSec\":0,"
                "\"writeBytesPerSec\":0,\"sequentialPct\":null,\"aligned4kPct\":null}]}}");
}
