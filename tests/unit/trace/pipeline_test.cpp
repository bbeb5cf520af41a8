// The whole pipeline against the simulated host: records injected into the
// trace channel go through the real Producer and Consumer threads into the
// counters of their disks.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>

#include "hostsim.h"
#include "main/config.h"
#include "registry/registry.h"
#include "trace/analyzer.h"

namespace {

constexpr uint32_t kWg = 9100;  // disk i: world group kWg+i, handle 70+i
constexpr int kReads = 600, kWrites = 400;

// Disks 0-2 have entries, disk 3 is traced without one, disk 4 is not traced.
std::string HostJson() {
  std::string vms, traced;
  char buf[200];
  for (int i = 0; i < 5; i++) {
    snprintf(buf, sizeof buf, "%s{\"instanceId\":%d,\"worldGroupId\":%u,\"disks\":[{\"handleId\":%d}]}",
             i ? "," : "", 300 + i, kWg + i, 70 + i);
    vms += buf;
    snprintf(buf, sizeof buf, "%s{\"worldGroupId\":%u,\"handleId\":%d}", i ? "," : "", kWg + i, 70 + i);
    if (i < 4) traced += buf;
  }
  return "{\"vms\":[" + vms + "],\"staleTraces\":[" + traced + "]}";
}

void AddRecord(std::string &out, int disk, int opcode, uint64_t lba, uint64_t length, uint64_t ts) {
  char buf[200];
  snprintf(buf, sizeof buf,
           "%s{\"opcode\":%d,\"worldGroupId\":%u,\"handleId\":%d,\"length\":%lu,\"lba\":%lu,"
           "\"timestamp\":%lu,\"latency\":150}",
           out.empty() ? "" : ",", opcode, kWg + disk, 70 + disk, (unsigned long)length,
           (unsigned long)lba, (unsigned long)ts);
  out += buf;
}

int32_t LockedCount() {
  pthread_mutex_lock(&recordQueue.mutex);
  int32_t n = VTR_QueueCount();
  pthread_mutex_unlock(&recordQueue.mutex);
  return n;
}

TEST(ConcurrencyPipeline, InjectedRecordsReachTheirDisksInTimestampOrder) {
  logLevel = 3;
  ASSERT_EQ(hostsim_configure(HostJson().c_str(), nullptr), 0);
  if (diskTable.buckets == nullptr) {
    ASSERT_EQ(VTR_InitHashTblAndList(), 0);
  }
  VTR_InitRecordQueue();
  DiskEntry *entries[3];
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(VTR_AddHashEntry(kWg + i, 70 + i), VTR_OK);
    entries[i] = static_cast<DiskEntry *>(hash_lookup(&diskTable, VTR_GetDiskKey(kWg + i, 70 + i)));
  }
  // Back-to-back 4 KiB reads arriving with each pair swapped: only a
  // time-ordered queue makes them sequential. Writes far apart, cycling sizes.
  const std::pair<uint64_t, const char *> sizes[] = {{4096, "eq4kwio"}, {6144, "gt4lt8kwio"}, {2000000, "gt1mwio"}};
  std::string records;
  for (int disk = 0; disk < 5; disk++) {
    for (int i = 0; i < kReads; i++) AddRecord(records, disk, 0x28, 8 * (i ^ 1), 4096, 1000 + 10 * (i ^ 1));
    for (int i = 0; i < kWrites; i++) {
      AddRecord(records, disk, 0x8A, 1000000 + 100000 * i, sizes[i % 3].first, 20000 + 10 * i);
    }
  }
  const int32_t failuresBefore = lookupFailureCount;
  char *reply = hostsim_control(("{\"op\":\"inject\",\"records\":[" + records + "]}").c_str());
  ASSERT_NE(reply, nullptr);
  EXPECT_NE(strstr(reply, "\"appended\":4000"), nullptr) << reply;
  EXPECT_NE(strstr(reply, "\"skipped\":1000"), nullptr) << reply;
  hostsim_free(reply);

  // Everything is queued before the Consumer starts, so the order it sees
  // does not depend on thread timing.
  pthread_t producer, consumer;
  ASSERT_EQ(pthread_create(&producer, nullptr, VTR_ProducerThread, nullptr), 0);
  while (LockedCount() < 4000) usleep(1000);
  ASSERT_EQ(pthread_create(&consumer, nullptr, VTR_ConsumerThread, nullptr), 0);
  VTR_WakeQueueWaiters();  // fewer than the wake-up threshold are queued
  while (LockedCount() > 0) usleep(1000);
  exitRequested.store(true);
  VTR_WakeQueueWaiters();
  pthread_join(producer, nullptr);
  pthread_join(consumer, nullptr);
  exitRequested.store(false);

  std::map<std::string, uint64_t> expected = {
      {"rio", kReads},        {"rthput", 4096 * kReads}, {"seqrio", kReads - 1},
      {"seqrbytes", 4096 * (kReads - 1)}, {"eq4kalirio", kReads}, {"eq4krio", kReads},
      {"rlat500us", kReads},  {"wio", kWrites},          {"wlat500us", kWrites}};
  for (int i = 0; i < kWrites; i++) {
    expected["wthput"] += sizes[i % 3].first;
    expected[sizes[i % 3].second]++;
    expected["eq4kaliwio"] += sizes[i % 3].first % 4096 == 0;
  }
  for (int d = 0; d < 3; d++) {
    for (int c = 0; c < VTR_NUM_COUNTERS; c++) {
      auto it = expected.find(metricFieldNames[c]);
      EXPECT_EQ(VTR_CounterLoad(entries[d]->counters.ioCounters[c]), it == expected.end() ? 0 : it->second)
          << "disk " << d << " " << metricFieldNames[c];
    }
  }
  EXPECT_EQ(lookupFailureCount - failuresBefore, kReads + kWrites);
  for (int i = 0; i < 3; i++) VTR_DeleteHashEntry(kWg + i, 70 + i);
}

}  // namespace
