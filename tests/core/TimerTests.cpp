// Timers and the timer service, driven tick by tick on a manual clock.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/cpCMutex.h"
#include "core/cpCTimer.h"
#include "core/cpCTimerService.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "tests/support/ManualTimers.h"

namespace orba_test {
namespace {

using Times = std::vector<int64_t>;

const int64_t kNoon = At(12, 0, 0);

using TimerDueTest = ManualTimerTest;

TEST_F(TimerDueTest, FiresUpToTenMillisecondsBeforeItsDueTime) {
  SetTime(At(12, 0, 0, 995));
  FireLog log;
  nvSmartPtr timer = NewTimer();
  ASSERT_EQ(AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr()), CP_S_OK);
  EXPECT_TRUE(AsTimer(timer)->IsRunning());
  EXPECT_EQ(DueMs(timer), At(12, 0, 1, 995));

  TickAt(At(12, 0, 1, 984));
  EXPECT_EQ(log.Count(), 0u);
  TickAt(At(12, 0, 1, 985));
  EXPECT_EQ(log.times, Times{At(12, 0, 1, 985)});
  // The early firing does not pull the schedule forward.
  EXPECT_EQ(DueMs(timer), At(12, 0, 2, 995));
  AsTimer(timer)->Stop();
}

TEST_F(TimerDueTest, EarlyAllowanceDoesNotReachIntoThePreviousSecond) {
  SetTime(At(12, 0, 1, 4));
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  ASSERT_EQ(DueMs(timer), At(12, 0, 2, 4));

  TickAt(At(12, 0, 1, 998));
  TickAt(At(12, 0, 1, 999));
  EXPECT_EQ(log.Count(), 0u);
  // The first tick of the due second is early enough.
  TickAt(At(12, 0, 2, 0));
  EXPECT_EQ(log.times, Times{At(12, 0, 2, 0)});
  AsTimer(timer)->Stop();
}

TEST_F(TimerDueTest, LateTicksDoNotShiftTheGrid) {
  const int64_t start = At(12, 0, 0, 850);
  SetTime(start);
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(300, &FireLog::Callback, &log, -1, nvSmartPtr());

  // Ticks every 100 ms, some of them late; the grid is start + n x 300 and crosses seconds.
  for (int64_t offset : {100, 200, 300, 400, 500, 650, 750, 850, 890, 1000, 1100, 1250, 1560}) {
    TickAt(start + offset);
  }
  // 650 is 50 ms late for 600; a schedule that drifted would want 950 next and skip 890.
  EXPECT_EQ(log.times, (Times{start + 300, start + 650, start + 890, start + 1250, start + 1560}));
  EXPECT_EQ(DueMs(timer), start + 1800);
  AsTimer(timer)->Stop();
}

TEST_F(TimerDueTest, LateTimerCatchesUpOneFiringPerTick) {
  SetTime(kNoon + 200);
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());

  // Five firings (1.2 s ... 5.2 s) are overdue at the first tick.
  for (int k = 0; k < 5; ++k) {
    TickAt(kNoon + 5500 + 100 * k);
    EXPECT_EQ(log.Count(), static_cast<size_t>(k + 1)) << "tick " << k;
  }
  EXPECT_EQ(DueMs(timer), kNoon + 6200);
  TickAt(kNoon + 6189);
  EXPECT_EQ(log.Count(), 5u);
  TickAt(kNoon + 6190);
  EXPECT_EQ(log.Count(), 6u);
  AsTimer(timer)->Stop();
}

TEST_F(TimerDueTest, RestartSchedulesOnePeriodAfterNow) {
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  SetTime(kNoon + 700);
  EXPECT_EQ(AsTimer(timer)->Restart(), CP_S_OK);
  EXPECT_EQ(DueMs(timer), kNoon + 1700);

  TickAt(kNoon + 1000);
  TickAt(kNoon + 1689);
  EXPECT_EQ(log.Count(), 0u);
  TickAt(kNoon + 1690);
  EXPECT_EQ(log.Count(), 1u);
  // The new grid is anchored at the restart.
  EXPECT_EQ(DueMs(timer), kNoon + 2700);
  AsTimer(timer)->Stop();
}

TEST_F(TimerDueTest, LongRunningScheduleDoesNotWrap) {
  FireLog log;
  nvSmartPtr hourly = NewTimer();
  AsTimer(hourly)->Start(3'600'000, &FireLog::Callback, &log, -1, nvSmartPtr());
  // 1000 hours: period x firing count is far beyond 32 bits of milliseconds.
  for (int i = 0; i < 1000; ++i) AsTimer(hourly)->Fire();
  EXPECT_EQ(DueMs(hourly), kNoon + 1001LL * 3'600'000);
  EXPECT_EQ(log.Count(), 1000u);
  AsTimer(hourly)->Stop();

  nvSmartPtr longest = NewTimer();
  AsTimer(longest)->Start(0xFFFFFFFFu, &FireLog::Callback, &log, -1, nvSmartPtr());
  EXPECT_EQ(DueMs(longest), kNoon + 0xFFFFFFFFLL);
  AsTimer(longest)->Fire();
  AsTimer(longest)->Fire();
  EXPECT_EQ(DueMs(longest), kNoon + 3 * 0xFFFFFFFFLL);
  AsTimer(longest)->Stop();
}

// --- Clock jumps -----------------------------------------------------------------------------

struct JumpCase {
  int64_t jumpMs;
  bool restarts;
};

void PrintTo(const JumpCase& c, std::ostream* out) {
  *out << "jump " << c.jumpMs << " ms" << (c.restarts ? " (restarts)" : " (keeps schedules)");
}

class TimerClockJumpTest : public ManualTimerTest, public ::testing::WithParamInterface<JumpCase> {};

TEST_P(TimerClockJumpTest, JumpOfMoreThan2999MsRestartsEverySchedule) {
  const JumpCase jump = GetParam();
  FireLog logA;
  FireLog logB;
  nvSmartPtr a = NewTimer();
  nvSmartPtr b = NewTimer();
  AsTimer(a)->Start(1000, &FireLog::Callback, &logA, -1, nvSmartPtr());
  SetTime(kNoon + 200);
  AsTimer(b)->Start(700, &FireLog::Callback, &logB, -1, nvSmartPtr());

  TickAt(kNoon + 500);
  const int64_t afterJump = kNoon + 500 + jump.jumpMs;
  TickAt(afterJump);

  if (jump.restarts) {
    // Neither fires on its old grid; both come one period after the tick that saw the jump.
    EXPECT_EQ(logA.Count() + logB.Count(), 0u);
    EXPECT_EQ(DueMs(a), afterJump + 1000);
    EXPECT_EQ(DueMs(b), afterJump + 700);
    TickAt(afterJump + 689);
    EXPECT_EQ(logB.Count(), 0u);
    TickAt(afterJump + 690);
    EXPECT_EQ(logB.Count(), 1u);
    EXPECT_EQ(logA.Count(), 0u);
  } else if (jump.jumpMs > 0) {
    // Both are overdue on their unchanged grids and fire once.
    EXPECT_EQ(logA.Count(), 1u);
    EXPECT_EQ(logB.Count(), 1u);
    EXPECT_EQ(DueMs(a), kNoon + 2000);
    EXPECT_EQ(DueMs(b), kNoon + 200 + 1400);
  } else {
    EXPECT_EQ(logA.Count() + logB.Count(), 0u);
    EXPECT_EQ(DueMs(a), kNoon + 1000);
    EXPECT_EQ(DueMs(b), kNoon + 900);
  }
  AsTimer(a)->Stop();
  AsTimer(b)->Stop();
}

// 500 -> 3499 crosses three whole seconds but is only 2999 ms: the test is on milliseconds.
INSTANTIATE_TEST_SUITE_P(Jumps, TimerClockJumpTest,
                         ::testing::Values(JumpCase{3000, true}, JumpCase{-3000, true}, JumpCase{2999, false},
                                           JumpCase{-2999, false}, JumpCase{86'400'000, true},
                                           JumpCase{-3'600'000, true}),
                         [](const ::testing::TestParamInfo<JumpCase>& param) {
                           const int64_t ms = param.param.jumpMs;
                           return std::string(ms < 0 ? "Back" : "Forward") +
                                  std::to_string(ms < 0 ? -ms : ms);
                         });

using TimerIdleStretchTest = ManualTimerTest;

TEST_F(TimerIdleStretchTest, FirstTickAfterLongStretchWithoutTimersRestartsNewTimers) {
  FireLog first;
  nvSmartPtr early = NewTimer();
  AsTimer(early)->Start(1000, &FireLog::Callback, &first, -1, nvSmartPtr());
  TickAt(kNoon + 100);
  AsTimer(early)->Stop();
  // Ticks without timers do not count as "the last tick".
  TickEvery100MsUntil(kNoon + 10000);

  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  ASSERT_EQ(DueMs(timer), kNoon + 11000);
  TickAt(kNoon + 10100);
  EXPECT_EQ(DueMs(timer), kNoon + 11100);
  TickAt(kNoon + 11000);  // would have fired on the unrestarted schedule
  EXPECT_EQ(log.Count(), 0u);
  TickAt(kNoon + 11090);
  EXPECT_EQ(log.Count(), 1u);
  AsTimer(timer)->Stop();
}

TEST_F(TimerIdleStretchTest, ShortStretchWithoutTimersKeepsNewSchedules) {
  FireLog first;
  nvSmartPtr early = NewTimer();
  AsTimer(early)->Start(1000, &FireLog::Callback, &first, -1, nvSmartPtr());
  TickAt(kNoon + 100);
  AsTimer(early)->Stop();
  TickEvery100MsUntil(kNoon + 2000);

  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  TickAt(kNoon + 2100);
  EXPECT_EQ(DueMs(timer), kNoon + 3000);
  TickAt(kNoon + 3000);
  EXPECT_EQ(log.Count(), 1u);
  AsTimer(timer)->Stop();
}

// --- Callbacks that change timers during a tick -------------------------------------------

class TimerCallbackTest : public ManualTimerTest {
 protected:
  // A timer whose callback drops the last reference of its owner: the tick must keep the timer
  // alive until it is done with it. The keep-alive probe dies with the timer and so shows when.
  void ReleaseOwnLastReferenceDuringTick(bool stopFirst) {
    TrackedProbe keepAlive;
    nvSmartPtr owner = NewTimer();
    FireLog log;
    bool timerAliveAfterRelease = false;
    log.action = [&] {
      if (stopFirst) AsTimer(owner)->Stop();
      owner.Attach(nullptr);
      timerAliveAfterRelease = !keepAlive.destroyed;
    };
    AsTimer(owner)->Start(1000, &FireLog::Callback, &log, -1, keepAlive.pointer);
    keepAlive.pointer.Attach(nullptr);  // the timer holds the only reference now
    // Registered after it, so the tick still walks on after the release.
    FireLog laterLog;
    nvSmartPtr later = NewTimer();
    AsTimer(later)->Start(1000, &FireLog::Callback, &laterLog, -1, nvSmartPtr());
    ASSERT_FALSE(keepAlive.destroyed);

    TickAt(NowMs() + 1000);
    EXPECT_EQ(log.Count(), 1u);
    EXPECT_TRUE(timerAliveAfterRelease);
    EXPECT_TRUE(keepAlive.destroyed);
    EXPECT_EQ(laterLog.Count(), 1u);
    EXPECT_EQ(service_->TimerCount(), 1);  // only `later` is left
    AsTimer(later)->Stop();
    EXPECT_EQ(service_->TimerCount(), 0);
  }
};

TEST_F(TimerCallbackTest, TimeoutThatStopsItselfFiresOnce) {
  FireLog log;
  nvSmartPtr timeout = NewTimer();
  log.action = [&] { EXPECT_EQ(AsTimer(timeout)->Stop(), CP_S_OK); };
  AsTimer(timeout)->Start(1000, &FireLog::Callback, &log, 0x1000003, nvSmartPtr());

  TickEvery100MsUntil(kNoon + 5000);
  EXPECT_EQ(log.times, Times{kNoon + 1000});
  EXPECT_FALSE(AsTimer(timeout)->IsRunning());
  EXPECT_EQ(DueMs(timeout), 0);
  EXPECT_EQ(service_->TimerCount(), 0);
}

TEST_F(TimerCallbackTest, StoppingALaterTimerOfTheSameTickPreventsItsFiring) {
  FireLog stopperLog;
  FireLog victimLog;
  nvSmartPtr stopper = NewTimer();
  nvSmartPtr victim = NewTimer();
  stopperLog.action = [&] { AsTimer(victim)->Stop(); };
  AsTimer(stopper)->Start(1000, &FireLog::Callback, &stopperLog, -1, nvSmartPtr());
  AsTimer(victim)->Start(1000, &FireLog::Callback, &victimLog, -1, nvSmartPtr());

  TickAt(kNoon + 1000);
  EXPECT_EQ(stopperLog.Count(), 1u);
  EXPECT_EQ(victimLog.Count(), 0u);
  TickEvery100MsUntil(kNoon + 4000);
  EXPECT_EQ(stopperLog.Count(), 4u);
  EXPECT_EQ(victimLog.Count(), 0u);
  AsTimer(stopper)->Stop();
}

TEST_F(TimerCallbackTest, StoppingAnEarlierTimerOfTheSameTickComesTooLateForThisTick) {
  FireLog stopperLog;
  FireLog victimLog;
  nvSmartPtr stopper = NewTimer();
  nvSmartPtr victim = NewTimer();
  stopperLog.action = [&] { AsTimer(victim)->Stop(); };
  AsTimer(victim)->Start(1000, &FireLog::Callback, &victimLog, -1, nvSmartPtr());
  AsTimer(stopper)->Start(1000, &FireLog::Callback, &stopperLog, -1, nvSmartPtr());

  TickAt(kNoon + 1000);
  EXPECT_EQ(victimLog.Count(), 1u);
  EXPECT_EQ(stopperLog.Count(), 1u);
  TickEvery100MsUntil(kNoon + 3000);
  EXPECT_EQ(victimLog.Count(), 1u);
  AsTimer(stopper)->Stop();
}

TEST_F(TimerCallbackTest, CallbackMayStopAndReleaseItsOwnTimer) { ReleaseOwnLastReferenceDuringTick(true); }

TEST_F(TimerCallbackTest, CallbackMayReleaseItsOwnRunningTimer) { ReleaseOwnLastReferenceDuringTick(false); }

TEST_F(TimerCallbackTest, CallbackMayStopAndReleaseALaterTimerOfTheSameTick) {
  TrackedProbe victimKeepAlive;
  FireLog killerLog;
  FireLog victimLog;
  nvSmartPtr killer = NewTimer();
  nvSmartPtr victim = NewTimer();
  bool victimAliveAfterRelease = false;
  killerLog.action = [&] {
    AsTimer(victim)->Stop();
    victim.Attach(nullptr);
    victimAliveAfterRelease = !victimKeepAlive.destroyed;
  };
  AsTimer(killer)->Start(1000, &FireLog::Callback, &killerLog, -1, nvSmartPtr());
  AsTimer(victim)->Start(1000, &FireLog::Callback, &victimLog, -1, victimKeepAlive.pointer);
  victimKeepAlive.pointer.Attach(nullptr);

  TickAt(kNoon + 1000);
  EXPECT_EQ(killerLog.Count(), 1u);
  EXPECT_EQ(victimLog.Count(), 0u);
  EXPECT_TRUE(victimAliveAfterRelease);
  EXPECT_TRUE(victimKeepAlive.destroyed);
  EXPECT_EQ(service_->TimerCount(), 1);
  AsTimer(killer)->Stop();
}

TEST_F(TimerCallbackTest, TimerStartedByACallbackIsFirstCheckedAtTheNextTick) {
  FireLog starterLog;
  FireLog startedLog;
  nvSmartPtr starter = NewTimer();
  nvSmartPtr started = NewTimer();
  // Due 5 ms after the tick that starts it: within the early allowance of that very tick.
  starterLog.action = [&] { AsTimer(started)->Start(5, &FireLog::Callback, &startedLog, -1, nvSmartPtr()); };
  AsTimer(starter)->Start(1000, &FireLog::Callback, &starterLog, -1, nvSmartPtr());

  TickAt(kNoon + 1000);
  EXPECT_EQ(starterLog.Count(), 1u);
  EXPECT_EQ(startedLog.Count(), 0u);
  EXPECT_EQ(DueMs(started), kNoon + 1005);
  EXPECT_EQ(service_->TimerCount(), 2);
  TickAt(kNoon + 1100);
  EXPECT_EQ(startedLog.times, Times{kNoon + 1100});
  AsTimer(starter)->Stop();
  AsTimer(started)->Stop();
}

// --- Registration and lifetime ---------------------------------------------------------------

using TimerLifetimeTest = ManualTimerTest;

TEST_F(TimerLifetimeTest, StopOnANeverStartedTimerChangesNothing) {
  FireLog log;
  nvSmartPtr running = NewTimer();
  AsTimer(running)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  nvSmartPtr idle = NewTimer();

  EXPECT_EQ(AsTimer(idle)->Stop(), CP_S_OK);
  EXPECT_FALSE(AsTimer(idle)->IsRunning());
  EXPECT_EQ(DueMs(idle), 0);
  EXPECT_EQ(service_->TimerCount(), 1);
  TickAt(kNoon + 1000);
  EXPECT_EQ(log.Count(), 1u);
  AsTimer(running)->Stop();
}

TEST_F(TimerLifetimeTest, StoppedTimerCanBeStartedAgain) {
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  TickAt(kNoon + 1000);
  AsTimer(timer)->Stop();
  TickAt(kNoon + 2000);
  EXPECT_EQ(log.Count(), 1u);

  SetTime(kNoon + 2500);
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  EXPECT_EQ(service_->TimerCount(), 1);
  TickAt(kNoon + 3000);
  TickAt(kNoon + 3500);
  EXPECT_EQ(log.times, (Times{kNoon + 1000, kNoon + 3500}));
  AsTimer(timer)->Stop();
}

TEST_F(TimerLifetimeTest, SecondStartRegistersAgainAndStopRemovesOneEntry) {
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  EXPECT_EQ(service_->TimerCount(), 2);
  // Two entries, one timer: the first firing moves the due time past the second check.
  TickAt(kNoon + 1000);
  EXPECT_EQ(log.Count(), 1u);

  AsTimer(timer)->Stop();
  EXPECT_EQ(service_->TimerCount(), 1);
  TickAt(kNoon + 2000);
  EXPECT_EQ(log.Count(), 1u);
  timer.Attach(nullptr);
  EXPECT_EQ(service_->TimerCount(), 0);
}

TEST_F(TimerLifetimeTest, TimerReleasedWithoutStopLeavesNoEntryBehind) {
  FireLog log;
  {
    nvSmartPtr forgotten = NewTimer();
    AsTimer(forgotten)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
    nvSmartPtr twice = NewTimer();
    AsTimer(twice)->Start(500, &FireLog::Callback, &log, -1, nvSmartPtr());
    AsTimer(twice)->Start(500, &FireLog::Callback, &log, -1, nvSmartPtr());
    EXPECT_EQ(service_->TimerCount(), 3);
  }
  EXPECT_EQ(service_->TimerCount(), 0);
  // A dangling entry would be fired here (and reported by the address sanitizer).
  TickEvery100MsUntil(kNoon + 3000);
  EXPECT_EQ(log.Count(), 0u);
}

TEST_F(TimerLifetimeTest, KeepAliveIsHeldUntilTheTimerIsDestroyed) {
  TrackedProbe keepAlive;
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, keepAlive.pointer);
  keepAlive.pointer.Attach(nullptr);
  TickAt(kNoon + 1000);
  AsTimer(timer)->Stop();
  EXPECT_FALSE(keepAlive.destroyed);
  timer.Attach(nullptr);
  EXPECT_TRUE(keepAlive.destroyed);
}

TEST_F(TimerLifetimeTest, EveryTickCountsEvenWithoutTimers) {
  EXPECT_EQ(service_->TickCount(), 1);
  service_->Tick();
  service_->Tick();
  EXPECT_EQ(service_->TickCount(), 3);
  FireLog log;
  nvSmartPtr timer = NewTimer();
  AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());
  TickAt(kNoon + 1000);
  EXPECT_EQ(service_->TickCount(), 4);
  AsTimer(timer)->Stop();
}

TEST_F(TimerLifetimeTest, ServiceOwnsOneThreadTimer) { EXPECT_TRUE(service_->HasPlatformTimer()); }

// --- The real thread timer -----------------------------------------------------------------

// The loop thread stands in for the library thread: it owns the service and pumps its loop.
TEST(TimerThreadTest, ThreadTimerDrivesTheServiceFromTheOwningThreadsLoop) {
  platform::ManualClock clock(kNoon);
  platform::ScopedClock installed(clock);

  std::promise<platform::ThreadId> started;
  std::promise<void> finished;
  std::future<void> finishedFuture = finished.get_future();
  std::thread::id callbackThread;
  std::thread::id loopThread;
  size_t firings = 0;
  int ticks = 0;
  bool hadPlatformTimer = false;

  std::thread library([&] {
    loopThread = std::this_thread::get_id();
    platform::EnsureMessageQueue();
    started.set_value(platform::CurrentThreadId());
    cpCMutexPtr lock = cpCMutexPtr::Create(CLSID_cpCMutex);
    {
      cpCTimerService service(lock);
      cpCTimerService::SetInstance(&service);
      hadPlatformTimer = service.HasPlatformTimer();

      FireLog log;
      log.action = [&] {
        callbackThread = std::this_thread::get_id();
        if (log.Count() == 3) platform::PostQuit(0);
      };
      nvSmartPtr timer = NewTimer();
      AsTimer(timer)->Start(1000, &FireLog::Callback, &log, -1, nvSmartPtr());

      // Each real 100 ms tick moves the manual clock by half a period.
      int seen = service.TickCount();
      platform::Message message;
      while (platform::GetNextMessage(&message)) {
        platform::DispatchMessageToWindow(message);
        if (service.TickCount() != seen) {
          seen = service.TickCount();
          clock.Advance(500);
        }
      }
      ticks = seen - 1;
      firings = log.Count();
      AsTimer(timer)->Stop();
      cpCTimerService::SetInstance(nullptr);
    }
    finished.set_value();
  });

  const platform::ThreadId loopId = started.get_future().get();
  // Only a broken timer makes this wait run out; normally it ends after about 0.6 s.
  if (finishedFuture.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    platform::PostToThread(loopId, platform::kMsgQuit, 0, 0);
  }
  library.join();

  EXPECT_TRUE(hadPlatformTimer);
  EXPECT_EQ(firings, 3u);
  EXPECT_GE(ticks, 5);
  EXPECT_EQ(callbackThread, loopThread);
}

// A service destroyed from another thread while its thread still pumps: the thread timer
// cannot be stopped from there, so its late calls must find nothing to run.
TEST(TimerThreadTest, ServiceDestroyedFromAnotherThreadLeavesNoLiveProcedure) {
  platform::ManualClock clock(kNoon);
  platform::ScopedClock installed(clock);
  cpCMutexPtr lock = cpCMutexPtr::Create(CLSID_cpCMutex);
  ASSERT_TRUE(lock);

  std::promise<cpCTimerService*> created;
  std::promise<void> destroyed;
  std::future<void> destroyedFuture = destroyed.get_future();
  int timerMessagesAfterDestroy = 0;

  std::thread library([&] {
    platform::EnsureMessageQueue();
    // Keeps the loop moving whether or not the service's own timer is still there.
    uintptr_t pacer = platform::StartThreadTimer(
        20, [](void*) {}, nullptr);
    created.set_value(new cpCTimerService(lock));
    destroyedFuture.wait();
    const int64_t giveUp = platform::MonotonicMilliseconds() + 30000;
    platform::Message message;
    while (timerMessagesAfterDestroy < 10 && platform::MonotonicMilliseconds() < giveUp &&
           platform::GetNextMessage(&message)) {
      platform::DispatchMessageToWindow(message);
      if (message.message == platform::kMsgTimer) ++timerMessagesAfterDestroy;
    }
    platform::StopThreadTimer(pacer);
  });

  cpCTimerService* service = created.get_future().get();
  delete service;
  destroyed.set_value();
  library.join();
  EXPECT_EQ(timerMessagesAfterDestroy, 10);
}

}  // namespace
}  // namespace orba_test
