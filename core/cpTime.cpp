#include "core/cpTime.h"

#include "platform/Clock.h"

uint32_t cpNowSeconds() { return static_cast<uint32_t>(platform::CurrentClock().NowMilliseconds() / 1000); }

cpStatus cpNowPrecise(cpPreciseTime* out) {
  if (out == nullptr) return CP_E_FAIL;
  int64_t now = platform::CurrentClock().NowMilliseconds();
  out->seconds = static_cast<uint32_t>(now / 1000);
  out->milliseconds = static_cast<uint16_t>(now % 1000);
  return CP_S_OK;
}

int32_t cpElapsedMs(const cpPreciseTime* since) {
  cpPreciseTime now;
  cpNowPrecise(&now);
  return static_cast<int32_t>(cpToMilliseconds(now) - cpToMilliseconds(*since));
}
