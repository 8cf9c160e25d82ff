#pragma once
// The one wall clock of the library. Everything that measures time (timers, time-outs, the
// QoS second, deferred release, log stamps) reads it, so tests can swap in a manual clock.

#include <atomic>
#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 00:00:00 UTC.
  virtual int64_t NowMilliseconds() const = 0;
};

class SystemClock final : public Clock {
 public:
  int64_t NowMilliseconds() const override;
};

// A clock that moves only when told to. Safe to read and move from any thread.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t startMilliseconds = 1'700'000'000'000) : now_(startMilliseconds) {}
  int64_t NowMilliseconds() const override { return now_.load(std::memory_order_acquire); }
  void Set(int64_t milliseconds) { now_.store(milliseconds, std::memory_order_release); }
  void Advance(int64_t milliseconds) { now_.fetch_add(milliseconds, std::memory_order_acq_rel); }

 private:
  std::atomic<int64_t> now_;
};

// The clock in use; the system clock unless a test installed another.
const Clock& CurrentClock();
// Installs `clock` (not owned; must outlive its use), or the system clock again for null.
void InstallClock(const Clock* clock);

// Installs a clock for the lifetime of this object and restores the previous one after.
class ScopedClock {
 public:
  explicit ScopedClock(const Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  const Clock* previous_;
};

// Milliseconds of a monotonic clock that no test replaces; for real waits only.
int64_t MonotonicMilliseconds();

}  // namespace platform
