// The dashboard's JSON endpoint: rates between samples, the choice of the
// earlier sample, and how daemon failures show up in the document.
#include "dashboard.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include "tools_docs.h"
#include "vethra_client.h"

namespace {

struct Json {
  json_t *j;
  explicit Json(const std::string &text) : j(json_loads(text.c_str(), 0, nullptr)) {}
  ~Json() { json_decref(j); }
  json_t *Get(const char *path) const {  // "a.b.0.c"
    json_t *cur = j;
    std::string p = path;
    for (size_t start = 0; cur && start <= p.size();) {
      size_t dot = p.find('.', start);
      std::string part =
          p.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      cur = json_is_array(cur) ? json_array_get(cur, std::stoul(part))
                               : json_object_get(cur, part.c_str());
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return cur;
  }
  double Num(const char *path) const { return json_number_value(Get(path)); }
};

VTR_Doc Parse(const std::string &text) {
  VTR_Doc doc{};
  std::string err;
  EXPECT_EQ(VTR_ParseMetricsDoc(text, &doc, &err), 0) << err;
  return doc;
}

VTR_DashReply Ok(const std::string &metrics, uint32_t crCode, const std::string &cr) {
  return VTR_DashReply{0, 0, metrics, 0, crCode, cr};
}

const std::string CR_DOC =
    "{\"vethraChangeRate\":{\"changeRateFields\":[\"changebytes5m\",\"changebytes15m\","
    "\"changebytes60m\"]},"
    "\"changeRateValues\":{\"timeStamp\":5,\"vmWorldGroups\":[{\"vmName\":\"db\",\"uuid\":\"u\","
    "\"worldGroupId\":100,\"vmDisks\":[{\"vscsiDevName\":\"scsi0:0\",\"changeRates\":[4096,8192,"
    "12288]}]}]}}";

}  // namespace

TEST(DashboardRates, DerivesPerSecondValuesAndSharesOfTheInterval) {
  VTR_Doc before = Parse(TestMetricsDoc(
      100, {{"db",
             100,
             {{"scsi0:0", {{"rio", 100}, {"rthput", 409600}, {"seqrio", 10}, {"eq4kalirio", 50}}},
              {"scsi0:1", {{"wio", 7}}}}}}));
  VTR_Doc after =
      Parse(TestMetricsDoc(102, {{"db",
                                  100,
                                  {{"scsi0:0",
                                    {{"rio", 300},
                                     {"wio", 100},
                                     {"rthput", 1228800},
                                     {"wthput", 409600},
                                     {"seqrio", 160},
                                     {"seqwio", 50},
                                     {"eq4kalirio", 200},
                                     {"eq4kaliwio", 100}}},
                                   {"scsi0:1", {{"wio", 7}}},       // idle over the interval
                                   {"scsi0:2", {{"rio", 5}}}}}}));  // added after the first sample
  Json r(VTR_DashboardRatesJson(&before, after, 2.0));
  EXPECT_EQ(r.Num("intervalSeconds"), 2.0);
  ASSERT_EQ(json_array_size(r.Get("disks")), 2u);
  EXPECT_STREQ(json_string_value(r.Get("disks.0.vscsiDevName")), "scsi0:0");
  EXPECT_EQ(r.Num("disks.0.worldGroupId"), 100);
  EXPECT_EQ(r.Num("disks.0.readIops"), 100.0);
  EXPECT_EQ(r.Num("disks.0.writeIops"), 50.0);
  EXPECT_EQ(r.Num("disks.0.readBytesPerSec"), 409600.0);
  EXPECT_EQ(r.Num("disks.0.writeBytesPerSec"), 204800.0);
  EXPECT_NEAR(r.Num("disks.0.sequentialPct"), 100.0 * 200 / 300, 1e-6);  // (150 + 50) of 300 I/Os
  EXPECT_NEAR(r.Num("disks.0.aligned4kPct"), 100.0 * 250 / 300, 1e-6);
  // No I/O in the interval: zero rates, and no share to speak of.
  EXPECT_EQ(r.Num("disks.1.writeIops"), 0.0);
  EXPECT_TRUE(json_is_null(r.Get("disks.1.sequentialPct")));
  EXPECT_TRUE(json_is_null(r.Get("disks.1.aligned4kPct")));
}

TEST(DashboardRates, SkipsRestartedDisksAndFollowsTheDaemonsRenderings) {
  // A disk removed and added again starts from zero: no rate against the old entry.
  // World group ids above 2^31 - 1 come signed, as in the daemon's documents,
  // and a counter past 2^63 - 1 (rendered negative) still gives the right delta.
  VTR_Doc before = Parse(TestMetricsDoc(
      1, {{"a", 100, {{"scsi0:0", {{"rio", 500}}}}}, {"b", -5, {{"scsi0:0", {{"rio", -10}}}}}}));
  VTR_Doc after = Parse(TestMetricsDoc(
      2, {{"a", 100, {{"scsi0:0", {{"rio", 3}}}}}, {"b", -5, {{"scsi0:0", {{"rio", -4}}}}}}));
  Json r(VTR_DashboardRatesJson(&before, after, 2.0));
  ASSERT_EQ(json_array_size(r.Get("disks")), 1u);
  EXPECT_EQ(r.Num("disks.0.worldGroupId"), -5);
  EXPECT_EQ(r.Num("disks.0.readIops"), 3.0);

  Json none(VTR_DashboardRatesJson(nullptr, after, 0));
  EXPECT_TRUE(json_is_null(none.Get("intervalSeconds")));
  EXPECT_EQ(json_array_size(none.Get("disks")), 0u);
}

TEST(DashboardApi, PassesTheDocumentsThroughAndTakesRatesAgainstAnOldEnoughSample) {
  VTR_DashHistory history;
  auto doc = [](long long rio, long long ts = 1) {
    return TestMetricsDoc(ts, {{"db", 100, {{"scsi0:0", {{"rio", rio}}}}}});
  };

  std::string first = VTR_DashboardApiBody(Ok(doc(0), 0, CR_DOC), 10.0, &history, "/s");
  Json j1(first);
  ASSERT_TRUE(j1.j) << first;
  EXPECT_NE(first.find("\"metrics\":" + doc(0) + ","), std::string::npos);  // byte for byte
  EXPECT_NE(first.find("\"changeRate\":" + CR_DOC + ","), std::string::npos);
  EXPECT_TRUE(json_is_null(j1.Get("metricsError")));
  EXPECT_TRUE(json_is_null(j1.Get("changeRateError")));
  EXPECT_TRUE(json_is_null(j1.Get("rates.intervalSeconds")));

  // Too soon for the minimum interval, and nothing older: no rates yet.
  Json j2(VTR_DashboardApiBody(Ok(doc(50), 0, CR_DOC), 10.5, &history, "/s"));
  EXPECT_TRUE(json_is_null(j2.Get("rates.intervalSeconds")));
  // Over a second by the exporter's clock, but the daemon's time stamp has not moved on.
  Json j3(VTR_DashboardApiBody(Ok(doc(350), 0, CR_DOC), 11.6, &history, "/s"));
  EXPECT_TRUE(json_is_null(j3.Get("rates.intervalSeconds")));
  // Another page polls: the newest sample at least a second old by both clocks is used.
  Json j4(VTR_DashboardApiBody(Ok(doc(400, 2), 0, CR_DOC), 11.7, &history, "/s"));
  EXPECT_NEAR(j4.Num("rates.intervalSeconds"), 1.2, 1e-9);
  EXPECT_NEAR(j4.Num("rates.disks.0.readIops"), 350 / 1.2, 1e-6);

  for (int i = 0; i < 10; i++)
    VTR_DashboardApiBody(Ok(doc(500 + i, 3 + i), 0, CR_DOC), 20.0 + i, &history, "/s");
  EXPECT_LE(history.samples.size(), 2u);  // only what can still be a base
  EXPECT_EQ(history.samples.back().when, 29.0);
}

TEST(DashboardApi, ReportsDaemonFailuresWithoutLosingTheRateBase) {
  VTR_DashHistory history;
  std::string doc = TestMetricsDoc(1, {{"db", 100, {{"scsi0:0", {{"wio", 10}}}}}});
  VTR_DashboardApiBody(Ok(doc, 0, CR_DOC), 1.0, &history, "/s");

  Json down(
      VTR_DashboardApiBody(VTR_DashReply{-ENOENT, 0, "", 0, 0, ""}, 2.0, &history, "/run/v.uds"));
  EXPECT_TRUE(json_is_null(down.Get("metrics")));
  EXPECT_TRUE(json_is_null(down.Get("changeRate")));
  EXPECT_STREQ(json_string_value(down.Get("metricsError")),
               vtrc_error_text(-ENOENT, "/run/v.uds").c_str());
  EXPECT_TRUE(json_is_null(down.Get("rates.intervalSeconds")));

  Json refused(VTR_DashboardApiBody(
      VTR_DashReply{0, 1, "Unable to fetch the metrics, json_dumps() failed.", 0, 0, ""}, 3.0,
      &history, "/s"));
  EXPECT_STREQ(json_string_value(refused.Get("metricsError")),
               "metrics query failed: Unable to fetch the metrics, json_dumps() failed.");
  Json garbled(VTR_DashboardApiBody(Ok("{\"vethraMetrics\":", 0, CR_DOC), 3.5, &history, "/s"));
  EXPECT_TRUE(json_is_null(garbled.Get("metrics")));
  EXPECT_NE(std::string(json_string_value(garbled.Get("metricsError"))).find("not understood"),
            std::string::npos);
  EXPECT_EQ(history.samples.size(), 1u);

  // Estimation off is not a failure of the metrics: the daemon's text is passed on.
  std::string later = TestMetricsDoc(5, {{"db", 100, {{"scsi0:0", {{"wio", 40}}}}}});
  Json off(VTR_DashboardApiBody(Ok(later, 1, VTR_CHANGE_RATE_DISABLED), 4.0, &history, "/s"));
  EXPECT_TRUE(json_is_object(off.Get("metrics")));
  EXPECT_TRUE(json_is_null(off.Get("changeRate")));
  EXPECT_STREQ(json_string_value(off.Get("changeRateError")), "Change rate estimation is disabled");
  EXPECT_EQ(off.Num("rates.intervalSeconds"), 3.0);
  EXPECT_EQ(off.Num("rates.disks.0.writeIops"), 10.0);
}

// The body as bytes: the documents copied as they came and the rates written by
// hand as jansson would (escaped and non-ASCII names, skipped disks, nulls).
TEST(DashboardApi, WritesTheBodyByteForByte) {
  auto doc = [](long long rio, long long wio, long long seq) {
    return TestMetricsDoc(rio, {{"a",
                                 -1294967296LL,
                                 {{"scsi0:0",
                                   {{"rio", rio},
                                    {"wio", wio},
                                    {"rthput", rio * 4096},
                                    {"seqrio", seq},
                                    {"eq4kaliwio", wio}}},
                                  {"d\\\"q\\u00e9\\n", {{"wthput", 3 * rio}}}}},
                                {"b", 70001, {{"idle", {}}, {"gone", {{"rio", 100 - rio}}}}}});
  };
  VTR_DashHistory history;
  VTR_DashboardApiBody(Ok(doc(10, 3, 1), 1, VTR_CHANGE_RATE_DISABLED), 1.0, &history, "/s");
  std::string later = doc(17, 9, 5);
  EXPECT_EQ(VTR_DashboardApiBody(Ok(later, 1, VTR_CHANGE_RATE_DISABLED), 4.0, &history, "/s"),
            "{\"metrics\":" + later +
                ",\"metricsError\":null,\"changeRate\":null,\"changeRateError\":\"Change rate "
                "estimation is disabled\","
                "\"rates\":{\"intervalSeconds\":3,\"disks\":[{\"worldGroupId\":-1294967296,"
                "\"vscsiDevName\":\"scsi0:0\","
                "\"readIops\":2.333333333,\"writeIops\":2,\"readBytesPerSec\":9557.333333,"
                "\"writeBytesPerSec\":0,"
                "\"sequentialPct\":30.76923077,\"aligned4kPct\":46.15384615},{\"worldGroupId\":-"
                "1294967296,"
                "\"vscsiDevName\":\"d\\\"q\xc3\xa9\\n\",\"readIops\":0,\"writeIops\":0,"
                "\"readBytesPerSec\":0,"
                "\"writeBytesPerSec\":7,\"sequentialPct\":null,\"aligned4kPct\":null},{"
                "\"worldGroupId\":70001,"
                "\"vscsiDevName\":\"idle\",\"readIops\":0,\"writeIops\":0,\"readBytesPerSec\":0,"
                "\"writeBytesPerSec\":0,"
                "\"sequentialPct\":null,\"aligned4kPct\":null}]}}");
}
