// The one-pass document reader against the jansson reader: the same result on
// everything the fast one accepts, and every other text left to jansson.
#include "docparse.h"

#include <gtest/gtest.h>
#include <string.h>

#include "tools_docs.h"

namespace {

std::string Dump(const VTR_Doc &d) {  // comparable form of a document
  std::string s = std::to_string(d.timeStamp);
  for (const VTR_VmCounters &vm : d.vms) {
    s += "|" + vm.name + "/" + vm.uuid + "/" + std::to_string(vm.worldGroupId);
    for (const VTR_DiskCounters &k : vm.disks) {
      s += "|" + k.name + ":";
      for (uint64_t c : k.c) s += std::to_string(c) + ",";
      for (uint64_t r : k.rates) s += "r" + std::to_string(r);
    }
  }
  return s;
}

// A metrics document with one VM whose name and one counter are given as JSON text.
std::string Metrics(const std::string &nameJson, const std::string &value,
                    const std::string &ws = "") {
  std::string d = TestMetricsDoc(-5, {{"vm", 3, {{"sda", {{"wthput", 777}}}}}}), spaced;
  d.replace(d.find(",777,") + 1, 3, value);
  for (char ch : d)
    spaced += strchr("{[:,]}", ch) ? ws + ch + ws : std::string(1, ch);  // no string holds these
  spaced.replace(spaced.find("\"vm\""), 4, nameJson);
  return spaced;
}

const std::string CR =
    "{\"vethraChangeRate\":{\"changeRateFields\":[\"a\"]},\"changeRateValues\":{\"timeStamp\":1,"
    "\"vmWorldGroups\":[{\"vmName\":\"v\",\"uuid\":\"\",\"worldGroupId\":-1294967296,"
    "\"vmDisks\":[{\"vscsiDevName\":\"d\",\"changeRates\":[4096,-1,0]},"
    "{\"vscsiDevName\":\"e\",\"changeRates\":[]}]},"
    "{\"vmName\":\"w\",\"uuid\":\"u\",\"worldGroupId\":2,\"vmDisks\":[]}]}}";

}  // namespace

TEST(DocReader, AgreesWithJanssonOnTheDaemonsLayout) {
  const std::vector<std::pair<VTR_DocKind, std::string>> docs = {
      {VTR_DOC_METRICS, Metrics("\"plain\"", "1")},
      {VTR_DOC_METRICS, Metrics("\"q\\\"b\\\\s\\/\\b\\f\\n\\r\\t\"", "-1")},
      {VTR_DOC_METRICS,
       Metrics("\"\\u00e9\\u20AC\\uD83D\\uDE00 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
               "9223372036854775807")},
      {VTR_DOC_METRICS, Metrics("\"\\u0001\x7f\"", "-9223372036854775808")},
      {VTR_DOC_METRICS, Metrics("\"x\"", "0", " \n\t\r")},
      {VTR_DOC_METRICS, TestMetricsDoc(0, {})},
      {VTR_DOC_METRICS, TestMetricsDoc(1, {{"novm", -1, {}}})},
      {VTR_DOC_METRICS,
       "{\"vethraMetrics\":{\"metricFields\":[]},\"metricValues\":{\"timeStamp\":1,"
       "\"vmWorldGroups\":"
       "[{\"vmName\":\"v\",\"uuid\":\"u\",\"worldGroupId\":1,\"vmDisks\":[{\"vscsiDevName\":\"d\","
       "\"ioCounters\":[5,6]}]}]}}"},
      {VTR_DOC_METRICS,
       "{\"vethraMetrics\":{\"metricFields\":[\"wio\",\"x\\u0072io\",\"nope\",\"wio\"]},"
       "\"metricValues\":{\"timeStamp\":1,\"vmWorldGroups\":[{\"vmName\":\"v\",\"uuid\":\"u\","
       "\"worldGroupId\":1,\"vmDisks\":[{\"vscsiDevName\":\"d\",\"ioCounters\":[5,6,7,8,9]}]}]}}"},
      {VTR_DOC_CHANGE_RATE, CR},
  };
  for (const auto &[kind, text] : docs) {
    VTR_Doc fast{}, slow{};
    std::string err;
    ASSERT_TRUE(VTR_FastParseDoc(text.data(), text.size(), kind, &fast)) << text;
    ASSERT_EQ(VTR_JanssonParseDoc(text, kind, &slow, &err), 0) << err << ": " << text;
    EXPECT_EQ(Dump(fast), Dump(slow)) << text;
  }
}

TEST(DocReader, LeavesEverythingElseToJansson) {
  std::string good = Metrics("\"x\"", "1");
  std::string swapped = good;  // another key order, still a valid document
  swapped.replace(swapped.find("\"vmName\":\"x\",\"uuid\":\"42 1a\""), 27,
                  "\"uuid\":\"42 1a\",\"vmName\":\"x\"");
  std::vector<std::string> texts = {
      good + "x", good + "}", good.substr(0, good.size() - 1), swapped, "[]", "", "{}"};
  // Counters out of range or not integers; names with escapes or bytes that
  // are not valid JSON or UTF-8.
  for (const char *value :
       {"9223372036854775808", "-9223372036854775809", "1.0", "1e3", "01", "-", "null", "1,"}) {
    texts.push_back(Metrics("\"x\"", value));
  }
  for (const char *name :
       {"\"x\\u0000\"", "\"\\uD800\"", "\"\\uDC00\"", "\"\\uD800\\u0041\"", "\"\\x\"",
        "\"\\u12g4\"", "\"\xc3\"", "\"\xc0\x80\"", "\"\xed\xa0\x80\"", "\"\x01\"", "null"}) {
    texts.push_back(Metrics(name, "1"));
  }
  for (const std::string &text : texts) {
    VTR_Doc fast{}, slow{}, viaPublic{};
    fast.timeStamp = slow.timeStamp = viaPublic.timeStamp = 42;
    std::string slowErr, publicErr;
    EXPECT_FALSE(VTR_FastParseDoc(text.data(), text.size(), VTR_DOC_METRICS, &fast)) << text;
    EXPECT_EQ(fast.timeStamp, 42);
    int rc = VTR_JanssonParseDoc(text, VTR_DOC_METRICS, &slow, &slowErr);
    EXPECT_EQ(VTR_ParseMetricsDoc(text, &viaPublic, &publicErr), rc) << text;
    EXPECT_EQ(publicErr, slowErr);
    EXPECT_EQ(Dump(viaPublic), Dump(slow));
  }
  std::string cr = CR;
  cr.replace(cr.find("4096"), 4, "4096.5");
  VTR_Doc doc{};
  std::string err;
  EXPECT_FALSE(VTR_FastParseDoc(cr.data(), cr.size(), VTR_DOC_CHANGE_RATE, &doc));
  EXPECT_EQ(VTR_ParseChangeRateDoc(cr, &doc, &err), -1);
  EXPECT_EQ(err, "counter is not an integer");
}
