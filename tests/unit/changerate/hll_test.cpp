#include <gtest/gtest.h>
#include <string.h>

#include <thread>

#include "changerate/changerate.h"
#include "registry/registry.h"
#include "unit/changerate/cr_test_util.h"

namespace {

struct HllSlot {
  VTR_CR_Metric slot{};
  HllSlot() { EXPECT_EQ(VTR_InitChangeRate(&slot, false), VTR_OK); }
  ~HllSlot() { VTR_DestroyChangeRate(&slot, false); }
  uint64_t Estimate() {
    VTR_HLLEstimate(slot.hll->hll5m);
    return slot.hll->hll5m->estimate;
  }
};

int NonZero(const VTRhll *set) {
  int n = 0;
  for (uint8_t r : set->registers) n += (r != 0);
  return n;
}

TEST(BlockHash, VectorsIndexAndRank) {
  const struct { uint64_t key, hash; uint32_t index; uint8_t rank; } cases[] = {
      {0, 0x396f86b121d9c351ULL, 3675, 1},
      {8, 0xdc24e7e55b2617e6ULL, 14089, 2},
      {16, 0xaf7de59d4120d5d9ULL, 11231, 1}};
  for (const auto &c : cases) {
    uint64_t h = VTR_MurmurHash64A(c.key, VTR_HLL_SEED);
    EXPECT_EQ(h, c.hash) << c.key;
    EXPECT_EQ(VTR_HllIndex(h), c.index);
    EXPECT_EQ(VTR_HllRank(h), c.rank);
  }
  EXPECT_EQ(VTR_HllRank(0), 51);  // rank capped by bit 50
}

TEST(BlockHash, WritesMapToBlockKeys) {
  HllSlot a;
  VTR_AddChangeRate(8, 4097, &a.slot, false);  // keys 8 and 16
  VTR_AddChangeRate(100, 0, &a.slot, false);   // no blocks
  for (VTRhll *set : {a.slot.hll->hll5m, a.slot.hll->hll15m, a.slot.hll->hll60m}) {
    EXPECT_EQ(NonZero(set), 2);
    EXPECT_EQ(set->registers[14089], 2);
    EXPECT_EQ(set->registers[11231], 1);
  }
  HllSlot b;
  VTR_AddChangeRate(3, 4096, &b.slot, false);  // key 0 only
  EXPECT_EQ(NonZero(b.slot.hll->hll5m), 1);
  EXPECT_EQ(b.slot.hll->hll5m->registers[3675], 1);

  // One 1000-block write sets the same registers as its blocks one by one.
  HllSlot whole, single;
  VTR_AddChangeRate(123456, 1000 * 4096, &whole.slot, false);
  for (uint64_t s = 123456 & ~7ULL; s < (123456 & ~7ULL) + 8000; s += 8)
    VTR_AddChangeRate(s, 4096, &single.slot, false);
  EXPECT_EQ(memcmp(whole.slot.hll->hll60m->registers, single.slot.hll->hll60m->registers,
                   VTR_HLL_REGISTERS), 0);
}

TEST(Hll, EmptyOneAndNullArguments) {
  ClockAndLog env(1000);
  HllSlot a;
  EXPECT_EQ(a.Estimate(), 0u);
  VTR_AddChangeRate(0, 512, &a.slot, false);
  VTR_AddChangeRate(0, 4096, &a.slot, false);
  EXPECT_EQ(a.Estimate(), 1u);

  VTR_CR_Metric none{};
  VTR_AddChangeRate(0, 4096, &none, false);
  VTR_DestroyChangeRate(&none, false);
  EXPECT_EQ(CountLog("HLL: Invalid input argument, pointer to VTR_CR_HLL is NULL"), 2);
  EXPECT_EQ(VTR_InitChangeRate(nullptr, false), VTR_FAILURE);
  EXPECT_EQ(CountLog("Change Rate: Failed to initialize"), 1);
}

TEST(Hll, AccuracyWithinThreePercent) {
  for (uint64_t n : {1000ULL, 10000ULL, 100000ULL, 1000000ULL}) {
    HllSlot a;
    for (uint64_t i = 0; i < n; ++i) VTR_AddChangeRate(DistinctSector(i, 42), 4096, &a.slot, false);
    uint64_t e = a.Estimate();
    EXPECT_NEAR(static_cast<double>(e), static_cast<double>(n), 0.03 * n) << n;
    for (uint64_t i = 0; i < n; i += 3) VTR_AddChangeRate(DistinctSector(i, 42), 4096, &a.slot, false);
    EXPECT_EQ(a.Estimate(), e) << n;
  }
}

// One VM with two disks, the second without an entry.
struct RegisteredDisk {
  static constexpr uint32_t kVm = 77;
  HandleInfo handles[2] = {{1, "vscsi0:0"}, {2, "vscsi0:1"}};
  VMListNode vm{};
  DiskEntry entry{};
  RegisteredDisk() {
    static bool ready = VTR_InitHashTblAndList() == 0;
    EXPECT_TRUE(ready);
    EXPECT_EQ(VTR_InitChangeRate(&entry.changeRate, false), VTR_OK);
    entry.node.key = VTR_GetDiskKey(kVm, 1);
    entry.node.value = &entry;
    EXPECT_EQ(hash_insert(&diskTable, &entry.node), 0);
    vm.worldGroupId = kVm;
    vm.handleCount = 2;
    vm.handles = handles;
    RegistryGuard guard;
    VTR_VMListInsert(&vm);
  }
  ~RegisteredDisk() {
    {
      RegistryGuard guard;
      VTR_VMListUnlink(&vm);
    }
    hash_remove(&diskTable, entry.node.key);
    VTR_DestroyChangeRate(&entry.changeRate, false);
  }
  uint64_t Value(int set) {
    VTR_CR_HLL *h = entry.changeRate.hll;
    pthread_spin_lock(&h->lock);
    uint64_t v = (set == 0 ? h->hll5m : set == 1 ? h->hll15m : h->hll60m)->estimate;
    pthread_spin_unlock(&h->lock);
    return v;
  }
};

TEST(Hll, PeriodScheduleThroughClock) {
  const long start = 5000000;
  ClockAndLog env(start);
  RegisteredDisk disk;
  struct timeval periodEnd = {start, 900000};
  uint32_t counter = 1;
  const char *missing = "HLL: No hash/CR entry found for vmid: 77 handleid: 2";
  for (int period = 1; period <= 12; ++period) {
    for (int i = 0; i < 100; ++i)
      VTR_AddChangeRate(DistinctSector(period * 1000 + i, 7), 4096, &disk.entry.changeRate, false);
    fakeSeconds = periodEnd.tv_sec + 299;
    VTR_HLLRollover(&periodEnd, &counter);
    EXPECT_EQ(counter, static_cast<uint32_t>(period));  // not yet: whole seconds count
    fakeSeconds = periodEnd.tv_sec + 300 + (period == 1 ? 5 : 0);  // a late wake-up shifts later ends
    VTR_HLLRollover(&periodEnd, &counter);
    EXPECT_EQ(periodEnd.tv_sec, fakeSeconds.load());
    EXPECT_EQ(CountLog(missing), period);
    EXPECT_NEAR(disk.Value(0), 100, 3) << period;
    EXPECT_NEAR(disk.Value(1), period < 3 ? 0 : 300, 6) << period;
    EXPECT_NEAR(disk.Value(2), period < 12 ? 0 : 1200, 24) << period;
  }
  EXPECT_EQ(counter, 13u);
  EXPECT_EQ(periodEnd.tv_sec, start + 12 * 300 + 5);
}

TEST(Hll, ConcurrencyRolloverAgainstQueryReads) {
  ClockAndLog env(9000000);
  RegisteredDisk disk;
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    struct timeval periodEnd = {9000000, 0};
    uint32_t counter = 1;
    for (int p = 0; p < 40; ++p) {
      for (int i = 0; i < 50; ++i)
        VTR_AddChangeRate(DistinctSector(p * 100 + i, 3), 4096, &disk.entry.changeRate, false);
      fakeSeconds += 300;
      VTR_HLLRollover(&periodEnd, &counter);
    }
    done = true;
  });
  while (!done) {
    uint64_t v5 = disk.Value(0), v60 = disk.Value(2);
    EXPECT_LE(v60, 600u + v5);  // never a half-written value
  }
  consumer.join();
  EXPECT_NEAR(disk.Value(0), 50, 3);
}

}  // namespace
