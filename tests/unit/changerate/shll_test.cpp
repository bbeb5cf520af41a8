#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <math.h>
#include <random>
#include <thread>

#include "changerate/changerate.h"
#include "unit/changerate/cr_test_util.h"

namespace {

// Base seconds whose low 16 bits are about to wrap.
constexpr long kBase = 1700000000L - (1700000000L % 65536) + 65530;

struct Sliding {
  VTR_CR_Metric slot{};
  Sliding() { EXPECT_EQ(VTR_InitChangeRate(&slot, true), VTR_OK); }
  ~Sliding() { VTR_DestroyChangeRate(&slot, true); }
  void Write(uint64_t sector, uint32_t length = 4096) { VTR_AddChangeRate(sector, length, &slot, true); }
  uint64_t Est(uint16_t window) { return VTR_SHllEstimate(slot.shll, window); }
  std::array<uint64_t, 3> Windows() { return {Est(300), Est(900), Est(3600)}; }
};
using W3 = std::array<uint64_t, 3>;

TEST(SHll, CreationOneBlockAndNullArguments) {
  ClockAndLog env(kBase);
  Sliding s;
  EXPECT_EQ(CountLog("Successfully initialized Sliding Hyperlog registers."), 1);
  EXPECT_EQ(s.Windows(), (W3{0, 0, 0}));
  EXPECT_LE(VTR_SHllMemoryBytes(s.slot.shll), 256u);
  s.Write(0, 0);
  EXPECT_EQ(VTR_SHllUsedRegisters(s.slot.shll), 0u);
  s.Write(5, 4096);
  EXPECT_EQ(s.Windows(), (W3{1, 1, 1}));

  VTR_SHllAdd(0, 4096, nullptr);
  EXPECT_EQ(CountLog("S_HLL: Invalid input argument, pointer to VTR_SHll is NULLL"), 1);
  EXPECT_EQ(VTR_SHllEstimate(nullptr, 300), 0u);
  EXPECT_EQ(VTR_SHllInit(nullptr), VTR_BAD_PARAM);
  EXPECT_EQ(CountLog("S_HLL: Invalid input argument, HLL pointer is NULL"), 1);
}

TEST(SHll, WindowEdgeRefreshAndPruning) {
  ClockAndLog env(kBase);
  Sliding s;
  const uint64_t idle = VTR_SHllMemoryBytes(s.slot.shll);
  s.Write(0);
  fakeSeconds = kBase + 300;
  EXPECT_EQ(s.Windows(), (W3{1, 1, 1}));
  fakeSeconds = kBase + 301;
  EXPECT_EQ(s.Windows(), (W3{0, 1, 1}));

  for (int i = 0; i < 100; ++i) s.Write(0);  // rewritten: counts once, from the latest write
  s.Write(8);
  EXPECT_EQ(VTR_SHllMemoryBytes(s.slot.shll), idle + VTR_HLL_REGISTERS * 32u);  // no spill
  fakeSeconds = kBase + 601;
  EXPECT_EQ(s.Windows(), (W3{2, 2, 2}));
  fakeSeconds = kBase + 602;
  EXPECT_EQ(s.Windows(), (W3{0, 2, 2}));

  fakeSeconds = kBase + 301 + 3599;
  EXPECT_EQ(s.Est(300), 0u);
  EXPECT_EQ(VTR_SHllUsedRegisters(s.slot.shll), 2u);  // 3599 s old: kept
  fakeSeconds = kBase + 301 + 3600;
  EXPECT_EQ(s.Est(3600), 2u);  // exactly 3600 s old: counted, so kept
  EXPECT_EQ(s.Est(3600), 2u);
  EXPECT_EQ(s.Est(900), 0u);   // not counted: removed, registers empty
  EXPECT_EQ(VTR_SHllUsedRegisters(s.slot.shll), 0u);
  EXPECT_EQ(s.Est(3600), 0u);
  EXPECT_EQ(VTR_SHllMemoryBytes(s.slot.shll), idle);
}

TEST(SHll, ExactAcrossClockWraps) {
  for (bool intermediate : {false, true}) {
    ClockAndLog env(kBase);
    Sliding s;
    s.Write(0);
    for (long t = kBase; intermediate && t < kBase + 65536 + 100; t += 1800) {
      fakeSeconds = t;
      s.Est(300);
    }
    fakeSeconds = kBase + 65536 + 100;  // a 16-bit age would read 100
    EXPECT_EQ(s.Windows(), (W3{0, 0, 0})) << intermediate;
    s.Write(8);
    fakeSeconds = kBase + 2 * 65536 + 100 + 200;  // 16-bit age 200
    EXPECT_EQ(s.Windows(), (W3{0, 0, 0})) << intermediate;
    s.Write(16);
    fakeSeconds += 301;
    EXPECT_EQ(s.Windows(), (W3{0, 1, 1})) << intermediate;
  }
}

// Straightforward model: per register, per rank, the stamp of the last write.
struct Reference {
  std::vector<long> stamp = std::vector<long>(VTR_HLL_REGISTERS * 52, -1);
  void Write(uint64_t sector, uint32_t length, long now) {
    for (uint32_t i = 0; i < (length + 4095) / 4096; ++i) {
      uint64_t h = VTR_MurmurHash64A((sector & ~7ULL) + 8 * i, VTR_HLL_SEED);
      stamp[VTR_HllIndex(h) * 52 + VTR_HllRank(h)] = now;
    }
  }
  uint64_t Estimate(long now, long window) {
    double sum = 0;
    uint32_t zeros = 0;
    for (int j = 0; j < VTR_HLL_REGISTERS; ++j) {
      int mx = 0;
      for (int r = 1; r <= 51; ++r)
        if (stamp[j * 52 + r] >= 0 && now - stamp[j * 52 + r] <= window) mx = r;
      for (int r = 1; r <= 51; ++r)
        if (r != mx && stamp[j * 52 + r] >= 0 && now - stamp[j * 52 + r] >= 3600) stamp[j * 52 + r] = -1;
      zeros += (mx == 0);
      sum += ldexp(1.0, -mx);
    }
    return static_cast<uint64_t>(VTR_HllFormula(sum, zeros));
  }
};

TEST(SHll, MatchesModelUnderRandomWorkload) {
  ClockAndLog env(kBase);
  Sliding s;
  Reference ref;
  std::mt19937_64 rng(2024);
  // Staircases in registers 0 to 255: one block per rank, in decreasing rank
  // order, one rank per second, over a background that keeps the estimate
  // rank-sensitive. Registers with seven or more entries move to the heap.
  std::vector<std::map<int, uint64_t, std::greater<int>>> stairs(256);
  for (uint64_t key = 0; key < (8ULL << 23); key += 8) {
    uint64_t h = VTR_MurmurHash64A(key, VTR_HLL_SEED);
    if (VTR_HllIndex(h) < 256) stairs[VTR_HllIndex(h)].emplace(VTR_HllRank(h), key);
  }
  uint64_t background = 0;
  for (size_t step = 0; step < 10; ++step) {
    ++fakeSeconds;
    for (int i = 0; i < 20000; ++i, ++background) {
      s.Write(DistinctSector(background, 11));
      ref.Write(DistinctSector(background, 11), 4096, fakeSeconds);
    }
    for (auto &stair : stairs) {
      if (stair.size() <= step) continue;
      uint64_t key = std::next(stair.begin(), static_cast<long>(step))->second;
      s.Write(key);
      ref.Write(key, 4096, fakeSeconds);
    }
  }
  EXPECT_GT(VTR_SHllMemoryBytes(s.slot.shll), VTR_HLL_REGISTERS * 32u + 80u);  // spilled
  for (uint16_t window = 0; window < 12; ++window)
    ASSERT_EQ(s.Est(window), ref.Estimate(fakeSeconds, window)) << window;

  const long steps[] = {0, 1, 299, 300, 301, 900, 3599, 3600, 3601, 70000};
  const uint16_t windows[] = {0, 300, 301, 900, 3599, 3600, 4000};
  for (int round = 0; round < 60; ++round) {
    fakeSeconds += rng() % 3 ? steps[rng() % 10] : static_cast<long>(rng() % 1200);
    int writes = static_cast<int>(rng() % 8000);
    for (int w = 0; w < writes; ++w) {
      uint64_t sector = rng() % (1ULL << 21);
      uint32_t length = 1 + static_cast<uint32_t>(rng() % (64 * 1024));
      s.Write(sector, length);
      ref.Write(sector, length, fakeSeconds);
    }
    for (int e = 0; e < 2; ++e) {
      uint16_t window = windows[rng() % 7];
      ASSERT_EQ(s.Est(window), ref.Estimate(fakeSeconds, window)) << round << " " << window;
    }
  }
}

TEST(SHll, AccuracyMatchesHll) {
  ClockAndLog env(kBase);
  for (uint64_t n : {1000ULL, 10000ULL, 100000ULL, 1000000ULL}) {
    Sliding s;
    VTR_CR_Metric hll{};
    ASSERT_EQ(VTR_InitChangeRate(&hll, false), VTR_OK);
    for (uint64_t i = 0; i < n; ++i) {
      s.Write(DistinctSector(i, 99));
      VTR_AddChangeRate(DistinctSector(i, 99), 4096, &hll, false);
    }
    uint64_t e = s.Est(3600);
    EXPECT_NEAR(static_cast<double>(e), static_cast<double>(n), 0.03 * n) << n;
    VTR_HLLEstimate(hll.hll->hll60m);
    EXPECT_EQ(e, hll.hll->hll60m->estimate);
    for (uint64_t i = 0; i < n; i += 2) s.Write(DistinctSector(i, 99));
    EXPECT_EQ(s.Est(300), e);
    if (n == 1000000) {
      EXPECT_LE(VTR_SHllMemoryBytes(s.slot.shll), 1u << 20);
    }
    VTR_DestroyChangeRate(&hll, false);
  }
}

TEST(SHll, ConcurrencyAddAgainstEstimate) {
  Sliding s, reference;
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    for (uint64_t i = 0; i < 50000; ++i) s.Write(DistinctSector(i, 5), 8192);
    done = true;
  });
  while (!done) s.Windows();
  consumer.join();
  for (uint64_t i = 0; i < 50000; ++i) reference.Write(DistinctSector(i, 5), 8192);
  EXPECT_EQ(s.Est(3600), reference.Est(3600));
}

}  // namespace
