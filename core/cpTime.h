#pragma once
// The library's three time functions, over the replaceable wall clock of the platform layer.

#include <cstdint>

#include "core/Status.h"

struct cpPreciseTime {
  uint32_t seconds = 0;  // since the epoch
  uint16_t milliseconds = 0;
};

// Whole seconds of the wall clock (the low 32 bits of the epoch time).
uint32_t cpNowSeconds();
cpStatus cpNowPrecise(cpPreciseTime* out);
// Milliseconds from `since` to now.
int32_t cpElapsedMs(const cpPreciseTime* since);
// The time as milliseconds since the epoch (for comparisons without wrap-around).
inline int64_t cpToMilliseconds(const cpPreciseTime& time) {
  return static_cast<int64_t>(time.seconds) * 1000 + time.milliseconds;
}
