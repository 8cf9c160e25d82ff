#include "core/cpCTimer.h"

#include <utility>

#include "core/cpCTimerService.h"

cpCTimer::~cpCTimer() {
  // The service holds no reference: a timer released while still registered (never stopped, or
  // started twice) must not leave it entries that name freed memory.
  if (cpCTimerService* service = cpCTimerService::Instance()) service->RemoveAll(this);
}

cpStatus cpCTimer::Start(uint32_t periodMs, TimerCallback callback, void* userData, int32_t tag,
                         nvSmartPtr keepAlive) {
  callback_ = callback;
  userData_ = userData;
  periodMs_ = periodMs;
  keepAlive_ = std::move(keepAlive);
  Reschedule(true);
  if (cpCTimerService* service = cpCTimerService::Instance()) service->Add(this, tag);
  return CP_S_OK;
}

cpStatus cpCTimer::Stop() {
  if (cpCTimerService* service = cpCTimerService::Instance()) service->Remove(this);
  due_ = cpPreciseTime{};
  callback_ = nullptr;
  return CP_S_OK;
}

cpStatus cpCTimer::Restart() {
  Reschedule(true);
  return CP_S_OK;
}

void cpCTimer::Fire() {
  if (callback_ == nullptr) return;
  Reschedule(false);
  callback_(userData_);
}

void cpCTimer::Reschedule(bool restart) {
  if (restart) {
    cpNowPrecise(&start_);
    firingCount_ = 1;
  } else {
    ++firingCount_;
  }
  int64_t total = static_cast<int64_t>(start_.milliseconds) + static_cast<int64_t>(periodMs_) * firingCount_;
  due_.seconds = static_cast<uint32_t>(start_.seconds + total / 1000);
  due_.milliseconds = static_cast<uint16_t>(total % 1000);
}

cpCTimerPtr cpStartTimer(uint32_t periodMs, TimerCallback callback, void* userData, int32_t tag,
                         nvSmartPtr keepAlive) {
  cpCTimerPtr timer = cpCTimerPtr::Create(CLSID_cpCTimer);
  if (timer) timer->Start(periodMs, callback, userData, tag, std::move(keepAlive));
  return timer;
}

void cpStopTimer(cpCTimerPtr& timer) {
  if (!timer) return;
  timer->Stop();
  timer.Reset();
}
