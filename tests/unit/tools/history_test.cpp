// The exporter's history: percentiles from histogram deltas, rates between
// samples across resets and gaps, disks that come and go, the ring's bounds
// and the endpoint's document.
#include "history.h"

#include <gtest/gtest.h>

#include "tools_docs.h"

namespace {

TEST(HistogramPercentile, InterpolatesWithinBucketsAndFloorsTheOpenOne) {
  // Buckets [0,10], (10,20], (20,40], (40,∞).
  const uint64_t upper[] = {10, 20, 40, 0};
  struct Case {
    uint64_t counts[4];
    double q;
    double want;
  } cases[] = {
      {{0, 10, 0, 0}, 0.5, 15},          // middle of the only bucket
      {{100, 100, 200, 0}, 0.5, 20},     // rank at a bucket's end
      {{100, 100, 200, 0}, 0.75, 30},    // half-way through the third bucket
      {{100, 100, 200, 0}, 0.99, 39.6},  // rank 396 of 400
      {{10, 10, 0, 0}, 0.99, 19.8},
      {{0, 5, 5, 0}, 0, 10},     // q = 0: the lower bound of the first counted bucket
      {{0, 5, 5, 0}, 1, 40},     // q = 1: the upper bound of the last counted bucket
      {{1, 0, 1, 0}, 0.5, 10},   // empty buckets in between are skipped
      {{7, 0, 0, 0}, 0.5, 5},    // the first bucket starts at zero
      {{1, 0, 0, 99}, 0.5, 40},  // in the open bucket: its lower bound
      {{0, 0, 0, 3}, 0.99, 40},
      {{0, 0, 0, 0}, 0.5, -1},  // an interval without I/O
  };
  for (const Case &c : cases) {
    EXPECT_NEAR(VTR_HistogramPercentile(c.counts, upper, 4, c.q), c.want, 1e-9)
        << "case " << &c - cases;
  }
}

VTR_Doc Doc(long long ts, const std::vector<TestVm> &vms) {
  return TestParse(TestMetricsDoc(ts, vms));
}

// The point of disk `name` of VM `wg` in sample i, or null.
const VTR_HistPoint *Point(const VTR_History &h, size_t i, uint32_t wg, const char *name) {
  for (const VTR_HistPoint &p : h.samples[i].points) {
    if (h.disks[p.disk].worldGroupId == wg && h.disks[p.disk].name == name) return &p;
  }
  return nullptr;
}

TEST(History, RatesSkipResetsFailedQueriesAndTooShortIntervals) {
  VTR_History h;
  VTR_HistoryInit(&h, 5, 900);
  auto add = [&](long long ts, double mono, long long rio, long long rthput) {
    VTR_Doc d = Doc(
        ts, {{"db", 100, {{"scsi0:0", {{"rio", rio}, {"rthput", rthput}, {"seqrio", rio / 2}}}}}});
    return VTR_HistoryAdd(&h, &d, nullptr, 1000 + mono, mono);
  };
  EXPECT_FALSE(add(100, 0, 100, 4096));  // the first sample is only a base
  EXPECT_TRUE(add(105, 5, 600, 4096 + 5 * 8192));
  // No latencies without writes or latency counters, no change rate: left out.
  EXPECT_EQ(VTR_HistoryJson(h, VTR_HistoryQuery{}),
            "{\"intervalSeconds\":5,\"historySeconds\":900,\"samples\":[{\"time\":1005.000,"
            "\"totals\":{\"readIops\":100,\"writeIops\":0,\"readBytesPerSecond\":8192,"
            "\"writeBytesPerSecond\":0},\"disks\":[{\"vm\":\"db\",\"worldGroupId\":100,\"disk\":"
            "\"scsi0:0\",\"readIops\":100,\"writeIops\":0,\"readBytesPerSecond\":8192,"
            "\"writeBytesPerSecond\":0,\"sequentialShare\":0.5}]}]}");

  // The daemon restarted: its counters start again from zero. A gap, then rates again.
  EXPECT_TRUE(add(110, 10, 10, 0));
  EXPECT_EQ(Point(h, 1, 100, "scsi0:0"), nullptr);
  EXPECT_TRUE(add(115, 15, 60, 0));
  EXPECT_FLOAT_EQ(Point(h, 2, 100, "scsi0:0")->v[VTR_HIST_READ_IOPS], 10);

  // A failed query: the next sample has no base.
  EXPECT_FALSE(VTR_HistoryAdd(&h, nullptr, nullptr, 1020, 20));
  EXPECT_FALSE(add(125, 25, 1000, 0));
  // Less than a second of the daemon's time: dropped, and the base is kept.
  EXPECT_FALSE(add(125, 25.9, 1050, 0));
  EXPECT_TRUE(add(126, 27, 1100, 0));
  EXPECT_EQ(h.samples.size(), 4u);
  EXPECT_FLOAT_EQ(Point(h, 3, 100, "scsi0:0")->v[VTR_HIST_READ_IOPS], 50);
  for (const VTR_HistSample &s : h.samples) {
    for (const VTR_HistPoint &q : s.points) {
      for (int v = 0; v < 4; v++) EXPECT_GE(q.v[v], 0) << "time " << s.time;
    }
  }
}

TEST(History, DisksThatComeAndGoAndTheRingsBounds) {
  VTR_History h;
  VTR_HistoryInit(&h, 2, 7);  // four samples
  // Disk "a" goes after the third sample; "b" comes with the second (VM 7 then).
  for (int i = 0; i < 10; i++) {
    std::vector<TestDisk> disks;
    if (i < 3) disks.push_back({"a", {{"wio", 10LL * i}, {"wlat1ms", 10LL * i}}});
    if (i >= 1) disks.push_back({"b", {{"wio", 20LL * i}}});
    VTR_Doc d = Doc(2 * i, {{"vm", 7, disks}});
    VTR_HistoryAdd(&h, &d, nullptr, 2.0 * i, 2.0 * i);
    if (i == 3) {
      ASSERT_EQ(h.samples.size(), 3u);
      EXPECT_EQ(Point(h, 0, 7, "b"), nullptr);  // new in the first sample's interval
      EXPECT_FLOAT_EQ(Point(h, 0, 7, "a")->v[VTR_HIST_WRITE_IOPS], 5);
      EXPECT_FLOAT_EQ(Point(h, 1, 7, "b")->v[VTR_HIST_WRITE_IOPS], 10);
      EXPECT_EQ(Point(h, 2, 7, "a"), nullptr);  // gone
      // Every write took between 500 µs and 1 ms.
      EXPECT_NEAR(Point(h, 1, 7, "a")->v[VTR_HIST_WRITE_P50], 0.00075, 1e-9);
      EXPECT_NEAR(Point(h, 1, 7, "a")->v[VTR_HIST_WRITE_P99], 0.000995, 1e-9);
    }
  }
  ASSERT_EQ(h.samples.size(), 4u);
  EXPECT_EQ(h.samples.front().time, 12.0);
  EXPECT_EQ(h.samples.back().time, 18.0);
  // "a" has left the ring: its name is no longer held.
  EXPECT_EQ(h.diskIndex.size(), 1u);
  EXPECT_EQ(h.disks[h.diskIndex.begin()->second].name, "b");
}

TEST(History, DocumentHasTheSamplesAfterSinceAndLeavesOutUnknowns) {
  VTR_History h;
  VTR_HistoryInit(&h, 5, 900);
  VTR_Doc rates = TestParse(
      TestMetricsDoc(5, {{"db", -5, {{"q\\\"", {{"changebytes5m", 4096}}}}}}, true), true);
  for (int i = 0; i < 3; i++) {
    VTR_Doc d = Doc(10 * i, {{"db", -5, {{"q\\\"", {{"rio", 40LL * i}, {"rlat100us", 40LL * i}}}}},
                             {"web", 9, {{"scsi0:0", {{"wio", 5LL * i}}}}}});
    VTR_HistoryAdd(&h, &d, &rates, 1700000000.25 + 10 * i, 10.0 * i);
  }
  VTR_HistoryQuery q;
  ASSERT_TRUE(VTR_ParseHistoryQuery("since=1700000010.25&worldGroupId=-5", &q));
  // Only the sample after since and only VM -5's disk; its reads all took 10 to 100 us
  // (median 55 us, 99th percentile 99.1 us), and it has no write latency without writes.
  EXPECT_EQ(
      VTR_HistoryJson(h, q),
      "{\"intervalSeconds\":5,\"historySeconds\":900,\"samples\":[{\"time\":1700000020.250,"
      "\"totals\":{\"readIops\":4,\"writeIops\":0.5,\"readBytesPerSecond\":0,"
      "\"writeBytesPerSecond\":0},\"disks\":[{\"vm\":\"db\",\"worldGroupId\":-5,\"disk\":\"q\\\"\","
      "\"readIops\":4,\"writeIops\":0,\"readBytesPerSecond\":0,\"writeBytesPerSecond\":0,"
      "\"sequentialShare\":0,\"readLatencyP50Seconds\":5.5e-05,"
      "\"readLatencyP99Seconds\":9.91e-05,\"changedBytes5m\":4096}]}]}");

  ASSERT_TRUE(VTR_ParseHistoryQuery("disks=none", &q));
  const std::string totals =
      "\"totals\":{\"readIops\":4,\"writeIops\":0.5,\"readBytesPerSecond\":0,"
      "\"writeBytesPerSecond\":0},\"disks\":[]}";
  EXPECT_EQ(VTR_HistoryJson(h, q),
            "{\"intervalSeconds\":5,\"historySeconds\":900,\"samples\":[{"
            "\"time\":1700000010.250," +
                totals + ",{\"time\":1700000020.250," + totals + "]}");
  for (const char *bad : {"since=", "since=abc", "worldGroupId=1x", "since=nan", "disks=all"}) {
    EXPECT_FALSE(VTR_ParseHistoryQuery(bad, &q)) << bad;
  }
}

}  // namespace
