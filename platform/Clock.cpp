#include "platform/Clock.h"

#include <chrono>

namespace platform {
namespace {

const SystemClock& TheSystemClock() {
  static const SystemClock clock;
  return clock;
}

std::atomic<const Clock*> g_installed{nullptr};

}  // namespace

int64_t SystemClock::NowMilliseconds() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

const Clock& CurrentClock() {
  const Clock* clock = g_installed.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : TheSystemClock();
}

void InstallClock(const Clock* clock) { g_installed.store(clock, std::memory_order_release); }

ScopedClock::ScopedClock(const Clock& clock) : previous_(g_installed.exchange(&clock)) {}

ScopedClock::~ScopedClock() { g_installed.store(previous_, std::memory_order_release); }

int64_t MonotonicMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace platform
