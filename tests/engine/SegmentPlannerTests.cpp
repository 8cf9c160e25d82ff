#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/RangeSet.h"
#include "engine/SegmentPlanner.h"

namespace {

// Names each case of a table after its `name`.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

using engine::ActiveSegment;
using engine::Plan;
using engine::PlanKind;
using engine::RangeSet;

constexpr int64_t M = engine::kMinSplit;

struct PlanCase {
  const char* name;
  int64_t size;
  std::vector<RangeSet::Interval> done;
  std::vector<ActiveSegment> active;
  int64_t ideal;
  Plan expected;
};

class PlanNextTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanNextTest, PlansTheNextRange) {
  const PlanCase& c = GetParam();
  RangeSet done;
  for (const auto& interval : c.done) done.Add(interval.begin, interval.end);
  const Plan plan = engine::PlanNext(c.size, done, c.active, c.ideal);
  EXPECT_EQ(static_cast<int>(plan.kind), static_cast<int>(c.expected.kind));
  EXPECT_EQ(plan.begin, c.expected.begin);
  EXPECT_EQ(plan.end, c.expected.end);
  EXPECT_EQ(plan.victim, c.expected.victim);
  EXPECT_EQ(plan.victimNewEnd, c.expected.victimNewEnd);
}

const PlanCase kPlanCases[] = {
    {"FreshFromStart", 10 * M, {}, {}, 4 * M, {PlanKind::kFresh, 0, 4 * M}},
    {"FreshWholeSmallFile", 100, {}, {}, M, {PlanKind::kFresh, 0, 100}},
    {"FreshStopsAtDone", 10 * M, {{3 * M, 10 * M}}, {}, 4 * M, {PlanKind::kFresh, 0, 3 * M}},
    {"FreshStopsAtActive", 10 * M, {}, {{1, 2 * M, 3 * M, 0, false}}, 4 * M, {PlanKind::kFresh, 0, 2 * M}},
    {"FreshFillsDoneHole",
     8 * M,
     {{0, M}, {3 * M, 8 * M}},
     {{1, M, 2 * M, 0, false}},
     4 * M,
     {PlanKind::kFresh, 2 * M, 3 * M}},
    // Bytes before an active position that are not done were passed over: free work.
    {"FreshBehindAPosition",
     8 * M,
     {{0, M}},
     {{1, 2 * M, 8 * M, 0, false}},
     4 * M,
     {PlanKind::kFresh, M, 2 * M}},
    {"SplitsTheLargest",
     8 * M,
     {{0, M}},
     {{1, M, 4 * M, 0, false}, {2, 4 * M, 8 * M, 0, false}},
     4 * M,
     {PlanKind::kSplit, 6 * M, 8 * M, 2, 6 * M}},
    {"SplitsExactlyTwoMinimums", 2 * M, {}, {{1, 0, 2 * M, 0, false}}, M, {PlanKind::kSplit, M, 2 * M, 1, M}},
    {"SplitsOddRemainderLow",
     2 * M + 1,
     {},
     {{1, 0, 2 * M + 1, 0, false}},
     M,
     {PlanKind::kSplit, M, 2 * M + 1, 1, M}},
    {"RacesBelowTwoMinimums",
     2 * M - 1,
     {},
     {{1, 0, 2 * M - 1, 9, false}},
     M,
     {PlanKind::kRace, 0, 2 * M - 1, 1}},
    // Done bytes inside an active range are not its work: 3 MiB of range, 1.5 MiB to fetch.
    {"DoneInsideRangeIsNoWork",
     3 * M,
     {{3 * M / 2, 3 * M}},
     {{1, 0, 3 * M, 9, false}},
     M,
     {PlanKind::kRace, 0, 3 * M, 1}},
    {"SplitCountsOnlyWork",
     5 * M,
     {{4 * M, 5 * M}},
     {{1, 0, 5 * M, 9, false}},
     M,
     {PlanKind::kSplit, 2 * M, 5 * M, 1, 2 * M}},
    {"RacesTheLongestToFinish",
     3 * M,
     {},
     {{1, 0, 2 * M - 10, 1000, false}, {2, 2 * M - 10, 3 * M, 100, false}},
     M,
     {PlanKind::kRace, 2 * M - 10, 3 * M, 2}},
    {"UnknownRateCountsAsOne",
     3 * M - 1,
     {},
     {{1, 0, M, 0, false}, {2, M, 3 * M - 1, 1000, false}},
     M,
     {PlanKind::kRace, 0, M, 1}},
    {"NeverRacesARacer",
     3 * M,
     {},
     {{1, 0, 2 * M - 10, 1000, false}, {2, 2 * M - 10, 3 * M, 100, true}},
     M,
     {PlanKind::kRace, 0, 2 * M - 10, 1}},
    {"NothingWhenAllRacing", 2 * M, {}, {{1, 0, M, 1, true}, {2, M, 2 * M, 1, true}}, M, {}},
    {"NothingWhenFinishedButActive", M, {{0, M}}, {{1, M, M, 0, false}}, M, {}},
    {"NothingWhenAllDone", 10 * M, {{0, 10 * M}}, {}, M, {}},
};

INSTANTIATE_TEST_SUITE_P(Table, PlanNextTest, ::testing::ValuesIn(kPlanCases), CaseName());

struct IdealCase {
  int64_t size;
  int connections;
  int64_t expected;
};

class IdealSegmentTest : public ::testing::TestWithParam<IdealCase> {};

TEST_P(IdealSegmentTest, SharesRoundUpAboveTheFloor) {
  EXPECT_EQ(engine::IdealSegment(GetParam().size, GetParam().connections), GetParam().expected);
}

const IdealCase kIdealCases[] = {
    {100 * M, 8, 25 * M / 2},
    {3 * M + 1, 3, M + 1},
    {10 * M, 32, M},
    {9 * M, 0, 9 * M},
    {-5, 4, M},
    {0, 4, M},
};

INSTANTIATE_TEST_SUITE_P(Table, IdealSegmentTest, ::testing::ValuesIn(kIdealCases));

}  // namespace
