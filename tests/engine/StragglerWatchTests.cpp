#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/StragglerWatch.h"

namespace {

// Names each case of a table after its `name`.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

using engine::StragglerWatch;
using Ids = std::vector<int>;

// Ticks `count` times with the same samples; returns what each tick cut.
std::vector<Ids> TickTimes(StragglerWatch& watch, const std::vector<StragglerWatch::Sample>& samples,
                           int count) {
  std::vector<Ids> cuts;
  for (int i = 0; i < count; ++i) cuts.push_back(watch.Tick(samples));
  return cuts;
}

struct SlowCase {
  const char* name;
  std::vector<StragglerWatch::Sample> samples;
  Ids cutOnFifthTick;
};

class StragglerSlowTest : public ::testing::TestWithParam<SlowCase> {};

TEST_P(StragglerSlowTest, CutsOnlyOnTheFifthSlowTick) {
  StragglerWatch watch;
  const auto cuts = TickTimes(watch, GetParam().samples, StragglerWatch::kSlowSeconds);
  for (int i = 0; i + 1 < StragglerWatch::kSlowSeconds; ++i) EXPECT_EQ(cuts[static_cast<size_t>(i)], Ids{});
  EXPECT_EQ(cuts.back(), GetParam().cutOnFifthTick);
}

const SlowCase kSlowCases[] = {
    {"BelowAnEighth", {{1, 124}, {2, 1000}, {3, 1000}}, {1}},
    {"AtAnEighthIsNotSlow", {{1, 125}, {2, 1000}, {3, 1000}}, {}},
    // The median of the others: 800 and 1200 give 1000; with itself counted it would be 800.
    {"EvenOthersAverageTheMiddle", {{1, 124}, {2, 800}, {3, 1200}}, {1}},
    {"OthersOnlyInTheMedian", {{1, 110}, {2, 100}, {3, 1000}, {4, 1000}}, {1, 2}},
    {"SingleTransferNeverSlow", {{1, 1}}, {}},
    {"ZeroMedianNobodySlow", {{1, 1}, {2, 0}, {3, 0}}, {2, 3}},
    {"SilentWithOthers", {{1, 0}, {2, 1000}}, {1}},
    {"SilentAlone", {{7, 0}}, {7}},
};

INSTANTIATE_TEST_SUITE_P(Table, StragglerSlowTest, ::testing::ValuesIn(kSlowCases), CaseName());

const std::vector<StragglerWatch::Sample> kSlow = {{1, 10}, {2, 1000}, {3, 1000}};
const std::vector<StragglerWatch::Sample> kFast = {{1, 1000}, {2, 1000}, {3, 1000}};
const std::vector<StragglerWatch::Sample> kWithoutOne = {{2, 1000}, {3, 1000}};

TEST(StragglerWatchTest, AGoodTickStartsAgain) {
  StragglerWatch watch;
  TickTimes(watch, kSlow, 4);
  EXPECT_EQ(watch.Tick(kFast), Ids{});
  EXPECT_EQ(TickTimes(watch, kSlow, 4), std::vector<Ids>(4));
  EXPECT_EQ(watch.Tick(kSlow), Ids{1});
}

TEST(StragglerWatchTest, AbsenceAndForgetStartAgain) {
  StragglerWatch watch;
  TickTimes(watch, kSlow, 4);
  watch.Tick(kWithoutOne);
  EXPECT_EQ(TickTimes(watch, kSlow, 4), std::vector<Ids>(4));
  watch.Forget(1);
  EXPECT_EQ(TickTimes(watch, kSlow, 4), std::vector<Ids>(4));
  EXPECT_EQ(watch.Tick(kSlow), Ids{1});
}

TEST(StragglerWatchTest, AReportedTransferKeptIsReportedAgainLater) {
  StragglerWatch watch;
  TickTimes(watch, kSlow, 5);
  EXPECT_EQ(TickTimes(watch, kSlow, 4), std::vector<Ids>(4));
  EXPECT_EQ(watch.Tick(kSlow), Ids{1});
}

TEST(StragglerWatchTest, SilenceBrokenByOneByte) {
  StragglerWatch watch;
  TickTimes(watch, {{1, 0}}, 4);
  watch.Tick({{1, 1}});
  EXPECT_EQ(TickTimes(watch, {{1, 0}}, 4), std::vector<Ids>(4));
  EXPECT_EQ(watch.Tick({{1, 0}}), Ids{1});
}

}  // namespace
