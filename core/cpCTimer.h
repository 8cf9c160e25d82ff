#pragma once
// A periodic timer (class id 0x1006) checked by the timer service every 100 ms. Its schedule is
// anchored at its start: the n-th firing is due at start + n x period.

#include <cstdint>

#include "core/cpTime.h"
#include "core/nvIUnknown.h"
#include "core/nvSmartPtr.h"
#include "core/nvTSmartPtr.h"

using TimerCallback = void (*)(void* userData);

class cpCTimer : public nvTRefCounted<> {
 public:
  cpCTimer() = default;
  ~cpCTimer() override;

  // Registers the timer with the service; a second Start without Stop registers it twice.
  virtual cpStatus Start(uint32_t periodMs, TimerCallback callback, void* userData, int32_t tag,
                         nvSmartPtr keepAlive);
  // Unregisters the timer; it can be started again.
  virtual cpStatus Stop();
  // The next firing comes one period after now.
  virtual cpStatus Restart();

  // Called by the service when the timer is due.
  void Fire();
  void Reschedule(bool restart);

  bool IsRunning() const { return callback_ != nullptr; }
  const cpPreciseTime& Due() const { return due_; }
  uint32_t PeriodMs() const { return periodMs_; }

 private:
  TimerCallback callback_ = nullptr;
  void* userData_ = nullptr;
  cpPreciseTime due_;
  cpPreciseTime start_;
  uint32_t periodMs_ = 0;
  nvSmartPtr keepAlive_;
  int64_t firingCount_ = 0;  // wide: period x count must not wrap while the library runs
};

using cpCTimerPtr = nvTSmartPtr<cpCTimer>;

// A new timer (class id 0x1006), started; empty when none could be made.
cpCTimerPtr cpStartTimer(uint32_t periodMs, TimerCallback callback, void* userData, int32_t tag,
                         nvSmartPtr keepAlive = nvSmartPtr());
// Stops the timer, if any, and lets it go.
void cpStopTimer(cpCTimerPtr& timer);
