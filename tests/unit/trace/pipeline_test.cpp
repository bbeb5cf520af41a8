// The whole pipeline against the simulated host: records injected into the
// trace channel go through the real Producer and Consumer threads into the
// counters of their disks.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>

#include "hostsim.h"
#include "main/config.h"
#include "registry/registry.h"
#include "trace/analyzer.h"

namespace {

constexpr uint32_t kWg = 9100;  // VMs kWg+0 .. kWg+4, one disk each (handle 70+i)
constexpr int kReads = 600, kWrites = 400;

std::string HostJson() {
  std::string vms, stale;
  char buf[256];
  for (int i = 0; i < 5; i++) {
    snprintf(buf, sizeof buf,
             "%s{\"instanceId\":%d,\"worldGroupId\":%u,\"displayName\":\"p%d\","
             "\"disks\":[{\"handleId\":%d,\"name\":\"scsi0:0\"}]}",
             i ? "," : "", 300 + i, kWg + i, i, 70 + i);
    vms += buf;
    // Disk 4 is not traced: the host never emits its records.
    snprintf(buf, sizeof buf, "%s{\"worldGroupId\":%u,\"handleId\":%d}", i ? "," : "", kWg + i,
             70 + i);
    if (i < 4) stale += buf;
  }
  return "{\"vms\":[" + vms + "],\"staleTraces\":[" + stale + "]}";
}

std::string Record(int disk, int opcode, uint64_t lba, uint64_t length, uint64_t ts, uint64_t latency) {
  char buf[256];
  snprintf(buf, sizeof buf,
           "{\"opcode\":%d,\"worldGroupId\":%u,\"handleId\":%d,\"length\":%lu,\"lba\":%lu,"
           "\"timestamp\":%lu,\"latency\":%lu}",
           opcode, kWg + disk, 70 + disk, static_cast<unsigned long>(length),
           static_cast<unsigned long>(lba), static_cast<unsigned long>(ts),
           static_cast<unsigned long>(latency));
  return buf;
}

int32_t LockedCount() {
  pthread_mutex_lock(&recordQueue.mutex);
  int32_t n = VTR_QueueCount();
  pthread_mutex_unlock(&recordQueue.mutex);
  return n;
}

TEST(ConcurrencyPipeline, InjectedRecordsReachTheirDisksInTimestampOrder) {
  logLevel = 3;
  changeRateEnabled = false;
  ASSERT_EQ(hostsim_configure(HostJson().c_str(), nullptr), 0);
  if (diskTable.buckets == nullptr) {
    ASSERT_EQ(VTR_InitHashTblAndList(), 0);
  }
  VTR_InitRecordQueue();
  DiskEntry *entries[3];
  for (int i = 0; i < 3; i++) {  // disk 3 is traced but has no entry
    ASSERT_EQ(VTR_AddHashEntry(kWg + i, 70 + i), VTR_OK);
    entries[i] = static_cast<DiskEntry *>(hash_lookup(&diskTable, VTR_GetDiskKey(kWg + i, 70 + i)));
  }

  // Per disk: back-to-back 4 KiB reads in time-stamp order, but arriving with
  // each pair swapped, so only a time-ordered queue makes them sequential;
  // writes far apart with a fixed cycle of sizes and latencies.
  const struct { uint64_t length; const char *bucket; } sizes[] = {
      {4096, "eq4kwio"}, {6144, "gt4lt8kwio"}, {512, "lt4kwio"}, {1048576, "eq1mwio"}, {2000000, "gt1mwio"}};
  const struct { uint64_t us; const char *bucket; } latencies[] = {
      {1, "wlat1us"}, {150, "wlat500us"}, {200000, "wlatgt100ms"}, {100000, "wlat100ms"}};
  std::string records;
  for (int disk = 0; disk < 5; disk++) {
    for (int i = 0; i < kReads; i++) {
      int j = i ^ 1;
      if (!records.empty()) records += ',';
      records += Record(disk, 0x28, 8 * j, 4096, 1000 + 10 * j, 150);
    }
    for (int i = 0; i < kWrites; i++) {
      records += ',';
      records += Record(disk, 0x8A, 1000000 + 100000 * i, sizes[i % 5].length, 20000 + 10 * i,
                              latencies[i % 4].us);
    }
  }
  const int32_t failuresBefore = lookupFailureCount;
  char *reply = hostsim_control(("{\"op\":\"inject\",\"records\":[" + records + "]}").c_str());
  ASSERT_NE(reply, nullptr);
  EXPECT_NE(strstr(reply, "\"appended\":4000"), nullptr) << reply;
  EXPECT_NE(strstr(reply, "\"skipped\":1000"), nullptr) << reply;
  hostsim_free(reply);

  // Let the Producer queue everything before the Consumer starts, so that
  // the order the Consumer sees does not depend on thread timing.
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
      {"rio", kReads}, {"rthput", 4096 * kReads}, {"seqrio", kReads - 1},
      {"seqrbytes", 4096 * (kReads - 1)}, {"eq4kalirio", kReads}, {"eq4krio", kReads},
      {"rlat500us", kReads}, {"wio", kWrites}};
  for (int i = 0; i < kWrites; i++) {
    expected["wthput"] += sizes[i % 5].length;
    expected[sizes[i % 5].bucket]++;
    expected[latencies[i % 4].bucket]++;
    expected["eq4kaliwio"] += sizes[i % 5].length % 4096 == 0;
  }
  for (int d = 0; d < 3; d++) {
    for (int c = 0; c < VTR_NUM_COUNTERS; c++) {
      auto it = expected.find(metricFieldNames[c]);
      EXPECT_EQ(VTR_CounterLoad(entries[d]->counters.ioCounters[c]), it == expected.end() ? 0 : it->second)
          << "disk " << d << " " << metricFieldNames[c];
    }
    EXPECT_EQ(entries[d]->counters.lastLba[0], 8u * (kReads - 1));
    EXPECT_EQ(entries[d]->counters.lastTimestamp[1], 20000u + 10 * (kWrites - 1));
  }
  EXPECT_EQ(lookupFailureCount - failuresBefore, kReads + kWrites);
  for (int i = 0; i < 3; i++) VTR_DeleteHashEntry(kWg + i, 70 + i);
}

}  // namespace
