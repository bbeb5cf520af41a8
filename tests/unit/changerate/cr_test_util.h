// Shared helpers of the change-rate tests: a settable clock, with the unit
// tests' one log capture.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <string>

#include "base/clock.h"
#include "unit/test_support.h"

inline std::atomic<long> fakeSeconds{0};

// Installs a clock at `seconds` (moved through fakeSeconds) and log capture.
struct ClockAndLog {
  explicit ClockAndLog(long seconds) {
    fakeSeconds = seconds;
    VTR_SetClock([](struct timeval *now) { *now = {fakeSeconds.load(), 0}; });
    vtrtest::StartLogCapture();
  }
  ~ClockAndLog() {
    VTR_SetClock(nullptr);
    vtrtest::StopLogCapture();
  }
  static long Count(const std::string &text) { return (long)vtrtest::CountLogged(text); }
};

// Distinct pseudo-random block-aligned sectors (an odd multiplier permutes blocks).
inline uint64_t DistinctSector(uint64_t i, uint64_t seed) {
  return (((i * 0x9E3779B97F4A7C15ULL) + seed) & ((1ULL << 40) - 1)) * 8;
}
