// Shared helpers of the change-rate tests: a settable clock and log capture.
#pragma once

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/log.h"

inline std::atomic<long> fakeSeconds{0};
inline std::vector<std::string> logLines;

// Installs a clock at `seconds` (moved through fakeSeconds) and log capture.
struct ClockAndLog {
  explicit ClockAndLog(long seconds) {
    fakeSeconds = seconds;
    logLines.clear();
    VTR_SetClock([](struct timeval *now) { *now = {fakeSeconds.load(), 0}; });
    VTR_SetLogHook([](int, const char *message) { logLines.emplace_back(message); });
  }
  ~ClockAndLog() {
    VTR_SetClock(nullptr);
    VTR_SetLogHook(nullptr);
  }
  static long Count(const std::string &text) {
    return std::count(logLines.begin(), logLines.end(), text);
  }
};

// Distinct pseudo-random block-aligned sectors (an odd multiplier permutes blocks).
inline uint64_t DistinctSector(uint64_t i, uint64_t seed) {
  return (((i * 0x9E3779B97F4A7C15ULL) + seed) & ((1ULL << 40) - 1)) * 8;
}
