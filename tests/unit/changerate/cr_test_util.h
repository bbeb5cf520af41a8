// Shared helpers of the change-rate tests: a settable clock and log capture.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "main/clock.h"
#include "main/log.h"

inline std::atomic<long> fakeSeconds{0};
inline void FakeClock(struct timeval *now) {
  now->tv_sec = fakeSeconds.load();
  now->tv_usec = 0;
}

inline std::mutex logMutex;
inline std::vector<std::string> logLines;
inline void CaptureLog(int, const char *message) {
  std::lock_guard<std::mutex> guard(logMutex);
  logLines.emplace_back(message);
}
inline int CountLog(const std::string &text) {
  std::lock_guard<std::mutex> guard(logMutex);
  int n = 0;
  for (const auto &line : logLines) n += (line == text);
  return n;
}

// Installs the fake clock at `seconds` and the log capture for one test.
struct ClockAndLog {
  explicit ClockAndLog(long seconds) {
    fakeSeconds = seconds;
    VTR_SetClock(FakeClock);
    logLines.clear();
    VTR_SetLogHook(CaptureLog);
  }
  ~ClockAndLog() {
    VTR_SetClock(nullptr);
    VTR_SetLogHook(nullptr);
  }
};

// The i-th of a fixed pseudo-random sequence of distinct block-aligned sectors
// (an odd multiplier permutes the 40-bit block numbers).
inline uint64_t DistinctSector(uint64_t i, uint64_t seed) {
  return (((i * 0x9E3779B97F4A7C15ULL) + seed) & ((1ULL << 40) - 1)) * 8;
}
