#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tests/support/WaitUntil.h"

namespace {

int64_t SystemNow() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST(ClockTest, TheSystemClockIsInUseByDefault) {
  platform::InstallClock(nullptr);
  EXPECT_LT(std::llabs(platform::CurrentClock().NowMilliseconds() - SystemNow()), 5000);
  EXPECT_LT(std::llabs(platform::SystemClock().NowMilliseconds() - SystemNow()), 5000);
}

TEST(ClockTest, ManualClockStartsWhereToldAndMovesOnlyWhenTold) {
  platform::ManualClock standard;
  EXPECT_EQ(standard.NowMilliseconds(), 1'700'000'000'000);
  platform::ManualClock clock(5000);
  EXPECT_EQ(clock.NowMilliseconds(), 5000);
  EXPECT_EQ(clock.NowMilliseconds(), 5000);
  clock.Advance(250);
  EXPECT_EQ(clock.NowMilliseconds(), 5250);
  clock.Advance(-1000);  // a clock may be set back, as a wall clock can
  EXPECT_EQ(clock.NowMilliseconds(), 4250);
  clock.Set(123);
  EXPECT_EQ(clock.NowMilliseconds(), 123);
  clock.Advance(0);
  EXPECT_EQ(clock.NowMilliseconds(), 123);
}

TEST(ClockTest, ManualClockCanBeAdvancedFromSeveralThreads) {
  platform::ManualClock clock(0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&clock] {
      for (int step = 0; step < 1000; ++step) clock.Advance(1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(clock.NowMilliseconds(), 4000);
}

TEST(ClockTest, ScopedClockInstallsAndRestores) {
  platform::InstallClock(nullptr);
  platform::ManualClock clock(42);
  {
    platform::ScopedClock scoped(clock);
    EXPECT_EQ(&platform::CurrentClock(), &clock);
    EXPECT_EQ(platform::CurrentClock().NowMilliseconds(), 42);
    clock.Advance(8);
    EXPECT_EQ(platform::CurrentClock().NowMilliseconds(), 50);
  }
  EXPECT_NE(&platform::CurrentClock(), &clock);
  EXPECT_LT(std::llabs(platform::CurrentClock().NowMilliseconds() - SystemNow()), 5000);
}

TEST(ClockTest, NestedScopedClocksRestoreInTurn) {
  platform::InstallClock(nullptr);
  const platform::Clock* system = &platform::CurrentClock();
  platform::ManualClock outer(1);
  platform::ManualClock inner(2);
  {
    platform::ScopedClock first(outer);
    {
      platform::ScopedClock second(inner);
      EXPECT_EQ(platform::CurrentClock().NowMilliseconds(), 2);
    }
    EXPECT_EQ(&platform::CurrentClock(), &outer);
  }
  EXPECT_EQ(&platform::CurrentClock(), system);
}

TEST(ClockTest, InstallClockAndNullRestoresTheSystemClock) {
  platform::ManualClock clock(7);
  platform::InstallClock(&clock);
  EXPECT_EQ(platform::CurrentClock().NowMilliseconds(), 7);
  platform::InstallClock(nullptr);
  EXPECT_LT(std::llabs(platform::CurrentClock().NowMilliseconds() - SystemNow()), 5000);
}

TEST(ClockTest, InstalledClockIsSeenByOtherThreads) {
  platform::ManualClock clock(99);
  platform::ScopedClock scoped(clock);
  int64_t seen = 0;
  std::thread([&seen] { seen = platform::CurrentClock().NowMilliseconds(); }).join();
  EXPECT_EQ(seen, 99);
}

TEST(ClockTest, MonotonicClockIgnoresAnInstalledClockAndNeverGoesBack) {
  platform::ManualClock clock(0);
  platform::ScopedClock scoped(clock);
  int64_t first = platform::MonotonicMilliseconds();
  EXPECT_GT(first, 0);
  int64_t previous = first;
  for (int i = 0; i < 1000; ++i) {
    int64_t now = platform::MonotonicMilliseconds();
    EXPECT_GE(now, previous);
    previous = now;
  }
  // It moves on with real time.
  EXPECT_TRUE(testsupport::WaitUntil([first] { return platform::MonotonicMilliseconds() > first; }));
}

}  // namespace
