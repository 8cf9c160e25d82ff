#pragma once
// A manual clock and a timer service that the test ticks by hand, installed as the process-wide
// ones for the duration of one test. Nothing here sleeps: time moves only when a test moves it.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/cpCMutex.h"
#include "core/cpCTimer.h"
#include "core/cpCTimerService.h"
#include "core/cpTime.h"
#include "core/nvIUnknown.h"
#include "core/nvSmartPtr.h"
#include "platform/Clock.h"

namespace orba_test {

// 2023-11-15 00:00:00.000 UTC; times of day are added to it.
constexpr int64_t kMidnightMs = 1'700'006'400'000;

constexpr int64_t At(int64_t hours, int64_t minutes, int64_t seconds, int64_t milliseconds = 0) {
  return kMidnightMs + ((hours * 60 + minutes) * 60 + seconds) * 1000 + milliseconds;
}

inline int64_t NowMs() { return platform::CurrentClock().NowMilliseconds(); }

// A reference-counted object that reports its own destruction.
class Probe : public nvTRefCounted<> {
 public:
  explicit Probe(std::function<void()> onDestroy = {}) : onDestroy_(std::move(onDestroy)) {}
  ~Probe() override {
    if (onDestroy_) onDestroy_();
  }

 private:
  std::function<void()> onDestroy_;
};

// A probe held by a smart pointer, plus whether (and when, in clock time) it was destroyed.
struct TrackedProbe {
  bool destroyed = false;
  int64_t destroyedAt = -1;
  nvSmartPtr pointer;

  TrackedProbe()
      : pointer(new Probe([this] {
          destroyed = true;
          destroyedAt = NowMs();
        })) {}
  TrackedProbe(const TrackedProbe&) = delete;
  TrackedProbe& operator=(const TrackedProbe&) = delete;
};

// User data of a timer under test: the clock time of every call, and an optional action run
// inside the callback.
struct FireLog {
  std::vector<int64_t> times;
  std::function<void()> action;

  static void Callback(void* userData) {
    auto* log = static_cast<FireLog*>(userData);
    log->times.push_back(NowMs());
    if (log->action) log->action();
  }
  size_t Count() const { return times.size(); }
};

inline nvSmartPtr NewTimer() {
  nvSmartPtr timer;
  EXPECT_TRUE(timer.CreateInstance(CLSID_cpCTimer));
  return timer;
}

inline cpCTimer* AsTimer(const nvSmartPtr& pointer) { return nvCast<cpCTimer>(pointer.Get()); }

inline int64_t DueMs(const nvSmartPtr& timer) { return cpToMilliseconds(AsTimer(timer)->Due()); }

class ManualTimerTest : public ::testing::Test {
 protected:
  ManualTimerTest() {
    lock_ = cpCMutexPtr::Create(CLSID_cpCMutex);
    EXPECT_TRUE(lock_);
    service_ = std::make_unique<cpCTimerService>(lock_);
  }

  void SetUp() override { cpCTimerService::SetInstance(service_.get()); }
  void TearDown() override { cpCTimerService::SetInstance(nullptr); }

  // A fresh service (no timers, no tick history) in place of the current one.
  void ReplaceService() {
    cpCTimerService::SetInstance(nullptr);
    service_ = std::make_unique<cpCTimerService>(lock_);
    cpCTimerService::SetInstance(service_.get());
  }

  void SetTime(int64_t milliseconds) { clock_.Set(milliseconds); }
  // Moves the clock to `milliseconds` and runs one service tick there.
  void TickAt(int64_t milliseconds) {
    clock_.Set(milliseconds);
    service_->Tick();
  }
  // One tick every 100 ms after the current time, up to and including `until`.
  void TickEvery100MsUntil(int64_t until) {
    for (int64_t t = NowMs() + 100; t <= until; t += 100) TickAt(t);
  }

  platform::ManualClock clock_{At(12, 0, 0)};
  platform::ScopedClock installedClock_{clock_};
  cpCMutexPtr lock_;
  std::unique_ptr<cpCTimerService> service_;
};

}  // namespace orba_test
