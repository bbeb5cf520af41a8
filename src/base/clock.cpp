#include "base/clock.h"

#include <atomic>

namespace {
std::atomic<VTR_ClockFn> clockFn{nullptr};
}

void VTR_GetTime(struct timeval *now) {
  if (VTR_ClockFn fn = clockFn.load(std::memory_order_relaxed)) {
    fn(now);
  } else {
    gettimeofday(now, nullptr);
  }
}

void VTR_SetClock(VTR_ClockFn fn) { clockFn.store(fn); }
