#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "changerate/changerate.h"
#include "registry/registry.h"
#include "registry/registry_state.h"  // the test places its own entry in diskTable
#include "unit/changerate/cr_test_util.h"

namespace {

struct HllSlot {
  VTR_CR_Metric slot{};
  HllSlot() { EXPECT_EQ(VTR_InitChangeRate(&slot, false), VTR_OK); }
  ~HllSlot() { VTR_DestroyChangeRate(&slot, false); }
  void Write(uint64_t sector, uint32_t length) { VTR_AddChangeRate(sector, length, &slot, false); }
  long NonZero() {
    const uint8_t *r = VTR_HLLRegisters(slot.hll, 0);
    return 16384 - std::count(r, r + 16384, 0);
  }
};

TEST(BlockHash, VectorsAndBlockKeysOfWrites) {
  const struct {
    uint64_t key, hash;
    uint32_t index;
    uint8_t rank;
  } cases[] = {{0, 0x396f86b121d9c351ULL, 3675, 1},
               {8, 0xdc24e7e55b2617e6ULL, 14089, 2},
               {16, 0xaf7de59d4120d5d9ULL, 11231, 1}};
  for (const auto &c : cases) {
    uint64_t h = VTR_MurmurHash64A(c.key, VTR_HLL_SEED);
    EXPECT_EQ(h, c.hash);
    EXPECT_EQ(VTR_HllIndex(h), c.index);
    EXPECT_EQ(VTR_HllRank(h), c.rank);
  }
  EXPECT_EQ(VTR_HllRank(0), 51);

  HllSlot a, b;
  a.Write(8, 4097);  // keys 8 and 16
  a.Write(100, 0);   // no blocks
  EXPECT_EQ(a.NonZero(), 2);
  for (int period = 0; period < 3; ++period) {
    EXPECT_EQ(VTR_HLLRegisters(a.slot.hll, period)[14089], 2);
    EXPECT_EQ(VTR_HLLRegisters(a.slot.hll, period)[11231], 1);
  }
  b.Write(3, 4096);  // key 0 only
  EXPECT_EQ(b.NonZero(), 1);
  EXPECT_EQ(VTR_HLLRegisters(b.slot.hll, 0)[3675], 1);

  // A long write (hashed in chunks, several lanes at a time) sets the
  // registers that hashing each of its block keys alone gives.
  HllSlot c;
  c.Write(1000003, 150 * 4096 + 1);  // 151 blocks, the first key 1000000
  std::vector<uint8_t> expected(VTR_HLL_REGISTERS);
  for (uint64_t key = 1000000; key < 1000000 + 151 * 8; key += 8) {
    const uint64_t h = VTR_MurmurHash64A(key, VTR_HLL_SEED);
    expected[VTR_HllIndex(h)] = std::max(expected[VTR_HllIndex(h)], VTR_HllRank(h));
  }
  const uint8_t *registers = VTR_HLLRegisters(c.slot.hll, 0);
  EXPECT_EQ(std::vector<uint8_t>(registers, registers + VTR_HLL_REGISTERS), expected);
}

TEST(Hll, EmptyOneAndNullArguments) {
  ClockAndLog env(1000);
  HllSlot a;
  EXPECT_EQ(VTR_HLLEstimateRegisters(VTR_HLLRegisters(a.slot.hll, 0)), 0u);
  a.Write(0, 512);
  a.Write(7, 4096);
  EXPECT_EQ(VTR_HLLEstimateRegisters(VTR_HLLRegisters(a.slot.hll, 0)), 1u);
  const double alphaMM = 193609743.86875492;  // linear counting up to 2.5 m only
  EXPECT_EQ(VTR_HllFormula(alphaMM / 40960.0, 100), 83540u);
  EXPECT_EQ(VTR_HllFormula(alphaMM / 40961.5, 100), 40961u);

  VTR_CR_Metric none{};
  VTR_AddChangeRate(0, 4096, &none, false);
  VTR_DestroyChangeRate(&none, false);
  EXPECT_EQ(ClockAndLog::Count("HLL: Invalid input argument, pointer to VTR_CR_HLL is NULL"), 2);
  EXPECT_EQ(VTR_InitChangeRate(nullptr, false), VTR_FAILURE);
  EXPECT_EQ(ClockAndLog::Count("Change Rate: Failed to initialize"), 1);
}

// A VM with two disks in vmList; only the first has a disk entry. 100 new
// blocks per period; the 15- and 60-minute values appear at the 3rd and 12th
// end. Estimates are read both before and after the helper thread has
// settled the ended periods (under TSan: the helper against the reads). A
// period ended again before anything settled it reuses a cleared set.
TEST(Hll, ConcurrencyPeriodScheduleWithHelperThread) {
  const long start = 5000000;
  ClockAndLog env(start);
  vtrtest::ResetRegistry();
  HandleInfo handles[2] = {{1, "vscsi0:0"}, {2, "vscsi0:1"}};
  VMListNode vm{};
  vm.worldGroupId = 77;
  vm.handleCount = 2;
  vm.handles = handles;
  DiskEntry entry{};
  ASSERT_EQ(VTR_InitChangeRate(&entry.changeRate, false), VTR_OK);
  entry.node = {nullptr, VTR_GetDiskKey(77, 1), &entry};
  {
    RegistryGuard guard;
    ASSERT_EQ(hash_insert(&diskTable, &entry.node), 0);
    VTR_VMListInsert(&vm);
  }

  struct timeval periodEnd = {start, 900000};
  uint32_t counter = 1;
  VTR_CR_HLL *h = entry.changeRate.hll;
  for (int period = 1; period <= 12; ++period) {
    for (int i = 0; i < 100; ++i)
      VTR_AddChangeRate(DistinctSector(period * 1000 + i, 7), 4096, &entry.changeRate, false);
    fakeSeconds = periodEnd.tv_sec + 299;
    VTR_HLLRollover(&periodEnd, &counter);
    EXPECT_EQ(counter, static_cast<uint32_t>(period));             // whole seconds only
    fakeSeconds = periodEnd.tv_sec + 300 + (period == 1 ? 5 : 0);  // a late end shifts later ones
    VTR_HLLRollover(&periodEnd, &counter);
    EXPECT_EQ(periodEnd.tv_sec, fakeSeconds.load());
    EXPECT_EQ(ClockAndLog::Count("HLL: No hash/CR entry found for vmid: 77 handleid: 2"), period);
    if (period % 2) VTR_HLLWaitSettled();
    uint64_t e[3];
    ASSERT_EQ(VTR_HLLEstimates(h, e), VTR_OK);
    EXPECT_NEAR(e[0], 100, 3) << period;
    EXPECT_NEAR(e[1], period < 3 ? 0 : 300, 6) << period;
    EXPECT_NEAR(e[2], period < 12 ? 0 : 1200, 24) << period;
  }
  EXPECT_EQ(periodEnd.tv_sec, start + 12 * 300 + 5);
  VTR_AddChangeRate(DistinctSector(1, 8), 4096, &entry.changeRate, false);
  VTR_HLLEndPeriods(h, 1);
  VTR_HLLEndPeriods(h, 1);  // the one-block set is estimated and cleared first
  uint64_t e[3];
  ASSERT_EQ(VTR_HLLEstimates(h, e), VTR_OK);
  EXPECT_EQ(e[0], 0u);
  {
    RegistryGuard guard;
    VTR_VMListUnlink(&vm);
    hash_remove(&diskTable, entry.node.key);
  }
  VTR_DestroyChangeRate(&entry.changeRate, false);
}

}  // namespace
