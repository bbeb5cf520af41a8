#include <gtest/gtest.h>
#include <math.h>

#include <array>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "changerate/changerate.h"
#include "unit/changerate/cr_test_util.h"

namespace {

// Base seconds whose low 16 bits are about to wrap.
constexpr long kBase = 1700000000L - (1700000000L % 65536) + 65530;
using W3 = std::array<uint64_t, 3>;

struct Sliding {
  VTR_CR_Metric slot{};
  Sliding() { EXPECT_EQ(VTR_InitChangeRate(&slot, true), VTR_OK); }
  ~Sliding() { VTR_DestroyChangeRate(&slot, true); }
  void Write(uint64_t sector, uint32_t length = 4096) {
    VTR_AddChangeRate(sector, length, &slot, true);
  }
  uint64_t Est(uint16_t window) { return VTR_SHllEstimate(slot.shll, window); }
  // The query's three windows in one call.
  W3 Windows() {
    static const uint16_t kWindows[] = {300, 900, 3600};
    W3 out;
    VTR_SHllEstimateWindows(slot.shll, kWindows, 3, out.data());
    return out;
  }
  uint64_t Bytes() { return VTR_SHllMemoryBytes(slot.shll); }
};

TEST(SHll, WindowEdgeRefreshPruningAndRemoval) {
  ClockAndLog env(kBase);
  Sliding s;
  const uint64_t idle = s.Bytes();
  EXPECT_LE(idle, 256u);
  EXPECT_EQ(ClockAndLog::Count("Successfully initialized Sliding Hyperlog registers."), 1);
  EXPECT_EQ(s.Windows(), (W3{0, 0, 0}));
  s.Write(0, 0);
  EXPECT_EQ(s.Bytes(), idle);
  s.Write(5);
  EXPECT_EQ(s.Windows(), (W3{1, 1, 1}));
  fakeSeconds = kBase + 300;
  EXPECT_EQ(s.Windows(), (W3{1, 1, 1}));
  fakeSeconds = kBase + 301;
  EXPECT_EQ(s.Windows(), (W3{0, 1, 1}));

  for (int i = 0; i < 100; ++i) s.Write(0);  // rewritten: counts once, from the latest write
  s.Write(8);
  EXPECT_LE(s.Bytes(), idle + 512u);  // two registers: a small sparse array
  fakeSeconds = kBase + 602;
  EXPECT_EQ(s.Windows(), (W3{0, 2, 2}));

  fakeSeconds = kBase + 301 + 3599;
  EXPECT_EQ(s.Est(300), 0u);
  EXPECT_EQ(VTR_SHllUsedRegisters(s.slot.shll), 2u);  // 3599 s old: kept
  fakeSeconds = kBase + 301 + 3600;
  EXPECT_EQ(s.Est(3600), 2u);  // 3600 s old and counted: kept
  EXPECT_EQ(s.Est(3600), 2u);
  EXPECT_EQ(s.Est(900), 0u);  // not counted: removed with its registers
  EXPECT_EQ(VTR_SHllUsedRegisters(s.slot.shll), 0u);
  EXPECT_EQ(s.Est(3600), 0u);
  EXPECT_EQ(s.Bytes(), idle);

  VTR_SHllAdd(0, 4096, nullptr);
  EXPECT_EQ(ClockAndLog::Count("S_HLL: Invalid input argument, pointer to VTR_SHll is NULLL"), 1);
  EXPECT_EQ(VTR_SHllEstimate(nullptr, 300), 0u);
  const uint16_t query[] = {300, 900, 3600};
  W3 none{9, 9, 9};
  VTR_SHllEstimateWindows(nullptr, query, 3, none.data());
  EXPECT_EQ(none, (W3{0, 0, 0}));
  EXPECT_EQ(VTR_SHllInit(nullptr), VTR_BAD_PARAM);
  EXPECT_EQ(ClockAndLog::Count("S_HLL: Invalid input argument, HLL pointer is NULL"), 1);
}

TEST(SHll, ExactAcrossClockWraps) {
  for (int variant = 0; variant < 4; ++variant) {
    const bool intermediate = variant & 1;
    ClockAndLog env(kBase);
    Sliding s;
    if (variant & 2) VTR_SHllSetDenseLimit(s.slot.shll, 1);  // dense from the second register on
    s.Write(0);
    for (long t = kBase; intermediate && t < kBase + 65536 + 100; t += 1800)
      fakeSeconds = t, s.Est(300);
    fakeSeconds = kBase + 65536 + 100;  // a 16-bit age would read 100
    EXPECT_EQ(s.Windows(), (W3{0, 0, 0})) << intermediate;
    s.Write(8);
    fakeSeconds = kBase + 2 * 65536 + 300;  // 16-bit age 200
    EXPECT_EQ(s.Windows(), (W3{0, 0, 0})) << intermediate;
    s.Write(16);
    fakeSeconds += 301;
    EXPECT_EQ(s.Windows(), (W3{0, 1, 1})) << intermediate;
    s.Write(32);
    fakeSeconds += 4 * 65536;  // an 18-bit age would read 301 and 0
    s.Write(24);
    EXPECT_EQ(s.Windows(), (W3{1, 1, 1})) << variant;
    fakeSeconds += 4 * 65536 + 1;
    EXPECT_EQ(s.Windows(), (W3{0, 0, 0})) << variant;
  }
}

// Plain reference: per register, its entries (stamp, rank) in a sorted list,
// a new entry replacing those of lower or equal rank, no filter and no
// compact storage; estimates prune as the estimator does.
struct ListReference {
  std::vector<std::vector<std::pair<long, int>>> regs =
      std::vector<std::vector<std::pair<long, int>>>(16384);
  void Write(uint64_t sector, uint32_t length, long now) {
    for (uint32_t i = 0; i < (length + 4095) / 4096; ++i) {
      uint64_t h = VTR_MurmurHash64A((sector & ~7ULL) + 8 * i, VTR_HLL_SEED);
      auto &list = regs[VTR_HllIndex(h)];
      while (!list.empty() && list.back().second <= VTR_HllRank(h)) list.pop_back();
      list.emplace_back(now, VTR_HllRank(h));
    }
  }
  uint64_t Estimate(long now, long window) {
    double sum = 0;
    uint32_t zeros = 0;
    for (auto &list : regs) {
      size_t counted = 0;
      while (counted < list.size() && now - list[counted].first > window) ++counted;
      int mx = counted < list.size() ? list[counted].second : 0;
      std::vector<std::pair<long, int>> kept;
      for (size_t i = 0; i < list.size(); ++i)
        if (i == counted || now - list[i].first < 3600) kept.push_back(list[i]);
      list.swap(kept);
      zeros += (mx == 0);
      sum += ldexp(1.0, -mx);
    }
    return VTR_HllFormula(sum, zeros);
  }
};

// `s` answers with one call for several windows, `twin` (fed alike) with one
// call per window in the same order; both must match the reference, pruning
// included, with the default limit of sparse registers and with a low one
// that makes the estimators change between sparse and dense storage often.
TEST(SHll, MatchesModelUnderRandomWorkload) {
  for (uint32_t limit : {0u, 64u}) {
    SCOPED_TRACE(limit);
    ClockAndLog env(kBase);
    Sliding s, twin;
    if (limit != 0) {
      VTR_SHllSetDenseLimit(s.slot.shll, limit);
      VTR_SHllSetDenseLimit(twin.slot.shll, limit);
    }
    ListReference ref;
    auto write = [&](uint64_t sector, uint32_t length) {
      s.Write(sector, length);
      twin.Write(sector, length);
      ref.Write(sector, length, fakeSeconds);
    };
    auto check = [&](const std::vector<uint16_t> &windows, int round) {
      std::vector<uint64_t> together(windows.size());
      VTR_SHllEstimateWindows(s.slot.shll, windows.data(), static_cast<int>(windows.size()),
                              together.data());
      for (size_t i = 0; i < windows.size(); ++i) {
        uint64_t expected = ref.Estimate(fakeSeconds, windows[i]);
        ASSERT_EQ(twin.Est(windows[i]), expected) << round << " " << windows[i];
        ASSERT_EQ(together[i], expected) << round << " " << windows[i];
      }
      ASSERT_EQ(VTR_SHllUsedRegisters(s.slot.shll), VTR_SHllUsedRegisters(twin.slot.shll)) << round;
      ASSERT_EQ(s.Bytes(), twin.Bytes()) << round;
    };
    // Registers 0-255 get one block per rank in decreasing rank order, a rank
    // per second: windows then cut their entry lists, and lists of seven or
    // more entries spill (still sparse with the default limit). A background
    // written afterwards moves them to the dense table and makes the
    // estimates rank-sensitive.
    std::vector<std::map<int, uint64_t, std::greater<int>>> stairs(256);
    for (uint64_t key = 0; key < (8ULL << 23); key += 8) {
      uint64_t h = VTR_MurmurHash64A(key, VTR_HLL_SEED);
      if (VTR_HllIndex(h) < 256) stairs[VTR_HllIndex(h)].emplace(VTR_HllRank(h), key);
    }
    for (size_t step = 0; step < 10; ++step) {
      ++fakeSeconds;
      for (auto &stair : stairs)
        if (stair.size() > step) write(std::next(stair.begin(), long(step))->second, 4096);
    }
    const std::vector<uint16_t> all = {0, 1, 2, 3, 4,  5,
                                       6, 7, 8, 9, 10, 11};  // more than one pass takes
    if (limit == 0) {
      EXPECT_FALSE(VTR_SHllIsDense(s.slot.shll));
    }
    check(all, -2);
    for (int i = 0; i < 200000; ++i) write(DistinctSector(i, 11), 4096);
    EXPECT_TRUE(VTR_SHllIsDense(s.slot.shll));
    check(all, -1);

    std::mt19937_64 rng(2024);
    const long steps[] = {0, 1, 299, 300, 301, 900, 3599, 3600, 3601, 70000};
    const uint16_t windows[] = {0, 300, 301, 900, 3599, 3600, 4000};
    int sparseRounds = 0, toSparse = 0;
    bool wasDense = true;
    for (int round = 0; round < 60; ++round) {  // random steps, multi-block writes and windows
      fakeSeconds += rng() % 3 ? steps[rng() % 10] : static_cast<long>(rng() % 1200);
      const bool light = rng() % 2;  // about 50 blocks, else about 30000
      for (uint64_t w = light ? rng() % 40 : rng() % 8000; w > 0; --w)
        write(rng() % (1 << 21), 1 + rng() % (light ? 16384 : 65536));
      if (round % 2)
        VTR_SHllForceSequentialSums(s.slot.shll);  // the path taken after a rare high rank
      check({windows[rng() % 7], windows[rng() % 7], windows[rng() % 7]}, round);
      bool dense = VTR_SHllIsDense(s.slot.shll);
      sparseRounds += !dense;
      toSparse += wasDense && !dense && VTR_SHllUsedRegisters(s.slot.shll) > 0;
      wasDense = dense;
    }
    EXPECT_GE(sparseRounds, 2);
    EXPECT_GE(toSparse, 1);  // a pruned table moved back to the sparse form
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VTR_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VTR_SANITIZED_BUILD 1
#endif
#endif
#ifdef VTR_SANITIZED_BUILD
constexpr long kDifferentialWrites = 1000000;  // sanitizer builds run about ten times slower
#else
constexpr long kDifferentialWrites = 10000000;
#endif

// Random writes of 1 to 8 blocks over working sets of changing size (so
// blocks repeat, the storage moves between its forms and registers empty),
// the clock stepping by 0, 1 or up to 4000 s, and estimates for the listed
// windows interleaved with the writes, several within one second.
TEST(SHll, AgreesWithPlainListsOverMillionsOfWrites) {
  ClockAndLog env(kBase);
  Sliding s;
  ListReference ref;
  std::mt19937_64 rng(13);
  const uint16_t windows[] = {1, 299, 300, 301, 900, 3599, 3600};
  const uint64_t workingSets[] = {300, 5000, 100000, 1000000};
  long estimates = 0;
  uint64_t workingSet = 1000000;
  for (long written = 0; written < kDifferentialWrites;) {
    const uint64_t r = rng() % 100;
    fakeSeconds += r < 50   ? 0
                   : r < 90 ? 1
                   : r < 97 ? static_cast<long>(rng() % 400)
                            : static_cast<long>(rng() % 4001);
    if (rng() % 64 == 0) workingSet = workingSets[rng() % 4];
    // The writes of one second go in one by one or, as the Consumer hands
    // them over, in batches.
    std::vector<VTR_BlockWrite> batch;
    const size_t batchSize = rng() % 2 ? 1 : 1 + rng() % 500;
    auto flush = [&] {
      VTR_SHllAddWrites(s.slot.shll, batch.data(), static_cast<uint32_t>(batch.size()));
      batch.clear();
    };
    for (long n = static_cast<long>(rng() % 6000); n > 0; --n, ++written) {
      const uint64_t sector = DistinctSector(rng() % workingSet, 3) + rng() % 8;
      const uint32_t length = 512 + static_cast<uint32_t>(rng() % (8 * 4096));
      batch.push_back({sector, length});
      ref.Write(sector, length, fakeSeconds);
      if (batch.size() == batchSize) flush();
    }
    flush();
    for (uint64_t e = rng() % 3; e > 0; --e, ++estimates) {
      const uint16_t window = windows[rng() % 7];
      ASSERT_EQ(s.Est(window), ref.Estimate(fakeSeconds, window)) << written << " " << window;
    }
  }
  EXPECT_GT(estimates, kDifferentialWrites / 5000);
}

TEST(SHll, AccuracyOfBothEstimators) {
  ClockAndLog env(kBase);
  for (uint64_t n : {1000ULL, 10000ULL, 100000ULL, 1000000ULL}) {
    Sliding s;
    VTR_CR_Metric hll{};
    ASSERT_EQ(VTR_InitChangeRate(&hll, false), VTR_OK);
    for (int pass = 0; pass < 2; ++pass) {  // the second pass repeats every other block
      for (uint64_t i = 0; i < n; i += 1 + pass) {
        s.Write(DistinctSector(i, 99));
        VTR_AddChangeRate(DistinctSector(i, 99), 4096, &hll, false);
      }
      const uint64_t estimate = VTR_HLLEstimateRegisters(VTR_HLLRegisters(hll.hll, 2));
      EXPECT_NEAR(static_cast<double>(estimate), static_cast<double>(n), 0.03 * n);
      EXPECT_EQ(s.Est(300), estimate) << n;
    }
    EXPECT_LE(s.Bytes(), 1u << 20);
    VTR_DestroyChangeRate(&hll, false);
  }
}

TEST(SHll, ConcurrencyAddAgainstEstimate) {
  Sliding s, reference;
  constexpr uint64_t kWrites = 50000;
  std::atomic<uint64_t> written{0};
  std::thread consumer([&] {
    for (uint64_t i = 0; i < kWrites; ++i) {
      s.Write(DistinctSector(i, 5), 8192);
      written.store(i + 1, std::memory_order_relaxed);
    }
  });
  // About 170 estimates spread over the feeding (denser at first, so that
  // they meet the sparse form, the move to the table and the table), each
  // running while the Consumer writes on; the mutex is not fair, so an
  // estimate loop without pauses could let only one write through per estimate.
  for (uint64_t next = 0; next < kWrites; next += 1 + next / 16) {
    while (written.load(std::memory_order_relaxed) < next) std::this_thread::yield();
    s.Windows();
  }
  consumer.join();
  for (uint64_t i = 0; i < kWrites; ++i) reference.Write(DistinctSector(i, 5), 8192);
  EXPECT_EQ(s.Est(3600), reference.Est(3600));
}

}  // namespace
