// Deferred release, on the manual clock: objects handed over are let go 3 to 7 seconds later.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "core/cpCTimerService.h"
#include "core/nvCGarbageCollector.h"
#include "tests/support/ManualTimers.h"

namespace orba_test {
namespace {

class GarbageCollectorTest : public ManualTimerTest {
 protected:
  // Calls the collector's own 3000 ms step at `milliseconds`.
  static void CollectAt(nvCGarbageCollector& collector, platform::ManualClock& clock, int64_t milliseconds) {
    clock.Set(milliseconds);
    collector.OnTick();
  }
};

TEST_F(GarbageCollectorTest, ReleasesAtTheFirstTickPastTheHandOverSecondPlusThree) {
  TrackedProbe probe;  // declared first: it must outlive the collector that may hold it
  nvCGarbageCollector collector;
  SetTime(At(10, 0, 0, 900));
  collector.DeferRelease(std::move(probe.pointer));
  EXPECT_EQ(collector.PendingCount(), 1);

  for (int64_t t : {At(10, 0, 3, 500), At(10, 0, 3, 999)}) {
    CollectAt(collector, clock_, t);
    EXPECT_FALSE(probe.destroyed) << t - At(10, 0, 0);
  }
  CollectAt(collector, clock_, At(10, 0, 4));
  EXPECT_TRUE(probe.destroyed);
  EXPECT_EQ(collector.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, HoldsTheLastReferenceOnceTheCallerLetsGo) {
  TrackedProbe probe;
  nvCGarbageCollector collector;
  auto* object = nvCast<Probe>(probe.pointer.Get());
  collector.DeferRelease(probe.pointer);
  EXPECT_EQ(object->RefCount(), 2);
  probe.pointer.Attach(nullptr);
  EXPECT_FALSE(probe.destroyed);
  EXPECT_EQ(object->RefCount(), 1);
  EXPECT_EQ(collector.PendingCount(), 1);
}

TEST_F(GarbageCollectorTest, EmptyPointerIsNotQueued) {
  nvCGarbageCollector collector;
  collector.DeferRelease(nvSmartPtr());
  EXPECT_EQ(collector.PendingCount(), 0);
  CollectAt(collector, clock_, NowMs() + 10'000);
  EXPECT_EQ(collector.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, EntriesBehindAHeadThatIsNotDueWait) {
  TrackedProbe head;
  TrackedProbe behind;
  nvCGarbageCollector collector;
  SetTime(At(10, 0, 10));
  collector.DeferRelease(std::move(head.pointer));
  // The clock went back: the second entry is older than the head.
  SetTime(At(10, 0, 0));
  collector.DeferRelease(std::move(behind.pointer));

  CollectAt(collector, clock_, At(10, 0, 5));
  EXPECT_FALSE(head.destroyed);
  EXPECT_FALSE(behind.destroyed);
  EXPECT_EQ(collector.PendingCount(), 2);

  CollectAt(collector, clock_, At(10, 0, 14));
  EXPECT_TRUE(head.destroyed);
  EXPECT_TRUE(behind.destroyed);
  EXPECT_EQ(collector.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, ObjectHandingAnotherOverWhileReleasedIsQueuedBehind) {
  TrackedProbe handedOnRelease;
  TrackedProbe sameSecond;
  bool firstDestroyed = false;
  nvCGarbageCollector collector;
  nvSmartPtr first(new Probe([&collector, &firstDestroyed, held = handedOnRelease.pointer] {
    firstDestroyed = true;
    collector.DeferRelease(held);
  }));
  handedOnRelease.pointer.Attach(nullptr);

  SetTime(At(10, 0, 0, 200));
  collector.DeferRelease(std::move(first));
  collector.DeferRelease(std::move(sameSecond.pointer));

  CollectAt(collector, clock_, At(10, 0, 4));
  EXPECT_TRUE(firstDestroyed);
  EXPECT_TRUE(sameSecond.destroyed);  // the walk went on past the hand-over
  EXPECT_FALSE(handedOnRelease.destroyed);
  EXPECT_EQ(collector.PendingCount(), 1);

  CollectAt(collector, clock_, At(10, 0, 7));
  EXPECT_FALSE(handedOnRelease.destroyed);
  CollectAt(collector, clock_, At(10, 0, 8));
  EXPECT_TRUE(handedOnRelease.destroyed);
  EXPECT_EQ(collector.PendingCount(), 0);
}

TEST_F(GarbageCollectorTest, ShutdownReleasesEverythingAndStopsItsTimer) {
  TrackedProbe a;
  TrackedProbe b;
  TrackedProbe handedDuringShutdown;
  nvCGarbageCollector collector;
  EXPECT_EQ(service_->TimerCount(), 1);
  nvSmartPtr c(
      new Probe([&collector, held = handedDuringShutdown.pointer] { collector.DeferRelease(held); }));
  handedDuringShutdown.pointer.Attach(nullptr);
  collector.DeferRelease(std::move(a.pointer));
  SetTime(NowMs() + 2000);
  collector.DeferRelease(std::move(c));
  collector.DeferRelease(std::move(b.pointer));

  EXPECT_EQ(collector.Shutdown(), CP_S_OK);
  EXPECT_TRUE(a.destroyed);
  EXPECT_TRUE(b.destroyed);
  EXPECT_TRUE(handedDuringShutdown.destroyed);
  EXPECT_EQ(collector.PendingCount(), 0);
  EXPECT_EQ(service_->TimerCount(), 0);
}

TEST_F(GarbageCollectorTest, ProcessWideInstanceLivesUntilDestroyed) {
  nvCGarbageCollector* collector = nvCGarbageCollector::Instance();
  ASSERT_NE(collector, nullptr);
  EXPECT_EQ(nvCGarbageCollector::Instance(), collector);
  EXPECT_EQ(service_->TimerCount(), 1);
  TrackedProbe probe;
  collector->DeferRelease(std::move(probe.pointer));

  nvCGarbageCollector::DestroyInstance();
  EXPECT_TRUE(probe.destroyed);
  EXPECT_EQ(service_->TimerCount(), 0);
}

// --- Driven by the timer service ---------------------------------------------------------

struct ServiceCase {
  const char* name;
  int64_t collectorCreatedAt;
  int64_t firstServiceTick;  // then every 100 ms
  int64_t releasedAt;
};

void PrintTo(const ServiceCase& c, std::ostream* out) { *out << c.name; }

class GarbageCollectorServiceTest : public ManualTimerTest,
                                    public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(GarbageCollectorServiceTest, ObjectHandedOverAtTenOClockPointNineIsReleasedOnItsTimersTick) {
  const ServiceCase& c = GetParam();
  const int64_t handOver = At(10, 0, 0, 900);
  SetTime(c.collectorCreatedAt);
  TrackedProbe probe;
  nvCGarbageCollector collector;

  bool handedOver = false;
  for (int64_t t = c.firstServiceTick; t <= At(10, 0, 12) && !probe.destroyed; t += 100) {
    if (!handedOver && t >= handOver) {
      SetTime(handOver);
      collector.DeferRelease(std::move(probe.pointer));
      handedOver = true;
    }
    TickAt(t);
  }
  EXPECT_TRUE(probe.destroyed);
  EXPECT_EQ(probe.destroyedAt, c.releasedAt);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, GarbageCollectorServiceTest,
    ::testing::Values(
        // Its ticks at 03.5 (second 3: kept) and 06.5.
        ServiceCase{"TickAtThreePointFiveKeepsIt", At(10, 0, 0, 500), At(10, 0, 0), At(10, 0, 6, 500)},
        ServiceCase{"TickAtFourReleasesIt", At(9, 59, 58), At(10, 0, 0), At(10, 0, 4)},
        // Due 04.005, fired 5 ms early by the 04.000 tick: already second 4.
        ServiceCase{"EarlyTickInsideSecondFourReleasesIt", At(10, 0, 1, 5), At(10, 0, 0), At(10, 0, 4)},
        // Due 03.995, fired early at 03.990: still second 3, so the next one (06.990) releases.
        ServiceCase{"EarlyTickInsideSecondThreeKeepsIt", At(10, 0, 0, 995), At(10, 0, 0, 90),
                    At(10, 0, 6, 990)}),
    [](const ::testing::TestParamInfo<ServiceCase>& param) { return std::string(param.param.name); });

using GarbageCollectorDelayTest = ManualTimerTest;

// With the collector stepping every 3 s at any phase, an object handed over at any moment goes
// more than 3 and less than 7 seconds later.
TEST_F(GarbageCollectorDelayTest, ReleaseComesBetweenThreeAndSevenSecondsLater) {
  const int64_t base = At(10, 0, 0);
  for (int64_t phase = 0; phase < 3000; phase += 97) {
    for (int64_t offset = 0; offset < 3000; offset += 131) {
      SCOPED_TRACE("phase " + std::to_string(phase) + " hand-over " + std::to_string(offset));
      TrackedProbe probe;
      nvCGarbageCollector collector;
      const int64_t handOver = base + offset;
      SetTime(handOver);
      collector.DeferRelease(std::move(probe.pointer));
      int64_t tick = base + phase;
      while (tick <= handOver) tick += 3000;
      for (; !probe.destroyed && tick < handOver + 10'000; tick += 3000) {
        SetTime(tick);
        collector.OnTick();
      }
      ASSERT_TRUE(probe.destroyed);
      EXPECT_GT(probe.destroyedAt - handOver, 3000);
      EXPECT_LT(probe.destroyedAt - handOver, 7000);
    }
  }
}

// The same through the collector's own timer and 100 ms service ticks, which add at most one
// tick plus the 10 ms early allowance to its 3 s step.
TEST_F(GarbageCollectorDelayTest, ReleaseThroughTheServiceComesBetweenThreeAndSevenSecondsLater) {
  const int64_t base = At(10, 0, 0, 37);
  for (int64_t created = 0; created < 3000; created += 173) {
    for (int64_t offset = 0; offset < 3000; offset += 211) {
      SCOPED_TRACE("created " + std::to_string(created) + " hand-over " + std::to_string(offset));
      // Each case starts without tick history, so no clock jump is seen between cases.
      ReplaceService();
      SetTime(base + created);
      TrackedProbe probe;
      nvCGarbageCollector collector;
      const int64_t handOver = base + created + offset;
      int64_t tick = base + created;
      for (; tick < handOver; tick += 100) TickAt(tick);
      SetTime(handOver);
      collector.DeferRelease(std::move(probe.pointer));
      for (; !probe.destroyed && tick < handOver + 10'000; tick += 100) TickAt(tick);
      ASSERT_TRUE(probe.destroyed);
      EXPECT_GT(probe.destroyedAt - handOver, 3000);
      EXPECT_LT(probe.destroyedAt - handOver, 7110);
    }
  }
}

}  // namespace
}  // namespace orba_test
