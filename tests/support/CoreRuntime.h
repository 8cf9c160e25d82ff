#pragma once
// The library's runtime on the calling thread, for tests below the library layer: the lock, the
// timer service, the QoS manager (with its notification window) and the deferred-release
// collector, all process-wide while the object lives. Nothing runs by itself: tests pump the
// thread's messages (socket readiness, connection events) and tick timers by hand, optionally on
// a manual clock.
//
//   testsupport::CoreRuntime runtime;          // also installs a manual clock when asked
//   ... start a connection ...
//   runtime.PumpUntil([&] { return done; });   // real sockets, bounded real time
//   runtime.AdvanceSeconds(5);                 // manual clock: QoS seconds and timers fire

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "core/cpCMutex.h"
#include "core/cpCQoS.h"
#include "core/cpCTimerService.h"
#include "core/cpSocket.h"
#include "core/nvCGarbageCollector.h"
#include "core/nvSmartPtr.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "tests/support/WaitUntil.h"

namespace testsupport {

class CoreRuntime {
 public:
  // With `manualClock` the runtime installs a manual clock (starting at a fixed time) for its
  // lifetime; timers then move only with Advance*.
  explicit CoreRuntime(bool manualClock = false) {
    if (manualClock) {
      clock_ = std::make_unique<platform::ManualClock>(1'700'000'000'000);
      scoped_ = std::make_unique<platform::ScopedClock>(*clock_);
    }
    platform::EnsureMessageQueue();
    lock_ = cpCMutexPtr::Create(CLSID_cpCMutex);
    lock_->Lock();  // the library thread holds the lock while it works
    timers_ = std::make_unique<cpCTimerService>(lock_);
    cpCTimerService::SetInstance(timers_.get());
    qos_ = std::make_unique<cpCQoS>(lock_);
    cpCQoS::SetInstance(qos_.get());
    nvCGarbageCollector::Instance();
  }

  ~CoreRuntime() {
    Pump();
    nvCGarbageCollector::DestroyInstance();
    cpCQoS::SetInstance(nullptr);
    qos_.reset();
    cpCTimerService::SetInstance(nullptr);
    timers_.reset();
    lock_->Unlock();
  }

  CoreRuntime(const CoreRuntime&) = delete;
  CoreRuntime& operator=(const CoreRuntime&) = delete;

  cpCQoS& Qos() { return *qos_; }
  cpCTimerService& Timers() { return *timers_; }
  platform::ManualClock* Clock() { return clock_.get(); }

  // Dispatches every message that is ready now (thread timers included).
  void Pump() {
    platform::Message message;
    while (platform::PeekNextMessage(&message)) platform::DispatchMessageToWindow(message);
  }

  // Pumps until `done` holds or `timeoutMs` of real time passed; returns `done()`.
  bool PumpUntil(const std::function<bool()>& done, int64_t timeoutMs = 10000) {
    return WaitUntil(done, timeoutMs, [] {
      platform::Message message;
      if (platform::PeekNextMessage(&message)) {
        platform::DispatchMessageToWindow(message);
      } else {
        WaitBriefly();
      }
      return true;
    });
  }

  // Manual clock: moves time in 100 ms steps, ticking the timer service (and so the QoS second,
  // connect time-outs and deferred release) at each step and pumping in between.
  void AdvanceMilliseconds(int64_t milliseconds) {
    for (int64_t done = 0; done < milliseconds; done += 100) {
      clock_->Advance(std::min<int64_t>(100, milliseconds - done));
      timers_->Tick();
      Pump();
    }
  }
  void AdvanceSeconds(int64_t seconds) { AdvanceMilliseconds(seconds * 1000); }

 private:
  // Waits for the next message for at most a few milliseconds of real time.
  static void WaitBriefly() {
    platform::Message message;
    int64_t until = platform::MonotonicMilliseconds() + 2;
    while (platform::MonotonicMilliseconds() < until) {
      if (platform::PeekNextMessage(&message)) {
        platform::DispatchMessageToWindow(message);
        return;
      }
      std::this_thread::yield();
    }
  }

  std::unique_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::ScopedClock> scoped_;
  cpCMutexPtr lock_;
  std::unique_ptr<cpCTimerService> timers_;
  std::unique_ptr<cpCQoS> qos_;
};

// 127.0.0.1:port, as a connection connects to it.
inline cpAddress LoopbackAddress(uint16_t port) {
  cpAddress address;
  platform::ParseIPv4("127.0.0.1", &address.address);
  address.port = port;
  return address;
}

}  // namespace testsupport
