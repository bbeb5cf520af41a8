// Wall-clock seam. Every time-dependent decision (change-rate periods and
// windows, the remaining duration) reads the clock through VTR_GetTime so
// that tests can move time without sleeping.
#pragma once
#include <sys/time.h>

void VTR_GetTime(struct timeval *now);

// Replaces the clock (null restores gettimeofday). Tests only.
using VTR_ClockFn = void (*)(struct timeval *now);
void VTR_SetClock(VTR_ClockFn fn);
