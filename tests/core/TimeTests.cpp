// The library's time functions over the replaceable clock.

#include <gtest/gtest.h>

#include <cstdint>

#include "core/cpTime.h"
#include "platform/Clock.h"
#include "tests/support/ManualTimers.h"

namespace orba_test {
namespace {

constexpr int64_t kWrapSeconds = int64_t{1} << 32;

TEST(TimeTest, NowSecondsTruncatesTheMilliseconds) {
  platform::ManualClock clock(At(10, 0, 0, 999));
  platform::ScopedClock installed(clock);
  const uint32_t whole = static_cast<uint32_t>(At(10, 0, 0) / 1000);
  EXPECT_EQ(cpNowSeconds(), whole);
  clock.Set(At(10, 0, 1));
  EXPECT_EQ(cpNowSeconds(), whole + 1);
}

TEST(TimeTest, NowSecondsKeepsTheLow32BitsOfTheEpochSeconds) {
  platform::ManualClock clock((kWrapSeconds + 5) * 1000 + 750);
  platform::ScopedClock installed(clock);
  EXPECT_EQ(cpNowSeconds(), 5u);
  cpPreciseTime now;
  EXPECT_EQ(cpNowPrecise(&now), CP_S_OK);
  EXPECT_EQ(now.seconds, 5u);
  EXPECT_EQ(now.milliseconds, 750u);
}

TEST(TimeTest, NowPreciseSplitsSecondsAndMilliseconds) {
  platform::ManualClock clock(At(10, 0, 7, 42));
  platform::ScopedClock installed(clock);
  cpPreciseTime now;
  ASSERT_EQ(cpNowPrecise(&now), CP_S_OK);
  EXPECT_EQ(now.seconds, static_cast<uint32_t>(At(10, 0, 7) / 1000));
  EXPECT_EQ(now.milliseconds, 42u);
  EXPECT_EQ(cpToMilliseconds(now), At(10, 0, 7, 42));
}

TEST(TimeTest, ElapsedMsBorrowsAcrossSecondsAndGoesNegativeBackwards) {
  platform::ManualClock clock(At(10, 0, 10, 900));
  platform::ScopedClock installed(clock);
  cpPreciseTime since;
  cpNowPrecise(&since);
  EXPECT_EQ(cpElapsedMs(&since), 0);
  clock.Set(At(10, 0, 12, 100));
  EXPECT_EQ(cpElapsedMs(&since), 1200);
  clock.Set(At(10, 0, 9, 950));
  EXPECT_EQ(cpElapsedMs(&since), -950);
  clock.Set(At(10, 20, 10, 900));
  EXPECT_EQ(cpElapsedMs(&since), 20 * 60 * 1000);
}

TEST(TimeTest, ElapsedMsStaysSmallAcrossThe32BitSecondsWrap) {
  platform::ManualClock clock((kWrapSeconds - 1) * 1000 + 500);
  platform::ScopedClock installed(clock);
  cpPreciseTime since;
  cpNowPrecise(&since);
  ASSERT_EQ(since.seconds, 0xFFFFFFFFu);
  clock.Advance(1700);
  EXPECT_EQ(cpElapsedMs(&since), 1700);
}

}  // namespace
}  // namespace orba_test
