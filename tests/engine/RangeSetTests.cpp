#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/RangeSet.h"

namespace {

// Names each case of a table after its `name`.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

using engine::RangeSet;
using Intervals = std::vector<RangeSet::Interval>;

struct AddCase {
  const char* name;
  Intervals adds;
  Intervals expected;
};

class RangeSetAddTest : public ::testing::TestWithParam<AddCase> {};

TEST_P(RangeSetAddTest, KeepsIntervalsSortedAndMerged) {
  RangeSet set;
  for (const auto& add : GetParam().adds) set.Add(add.begin, add.end);
  EXPECT_EQ(set.Intervals(), GetParam().expected);
}

const AddCase kAddCases[] = {
    {"EmptyAndInvertedIgnored", {{5, 5}, {9, 3}}, {}},
    {"ExtendsLast", {{0, 10}, {10, 20}, {15, 30}}, {{0, 30}}},
    {"GapKept", {{0, 10}, {11, 20}}, {{0, 10}, {11, 20}}},
    {"InsertedBefore", {{20, 30}, {0, 10}}, {{0, 10}, {20, 30}}},
    {"TouchesFront", {{20, 30}, {10, 20}}, {{10, 30}}},
    {"BridgesSeveral", {{0, 2}, {4, 6}, {8, 10}, {12, 14}, {1, 9}}, {{0, 10}, {12, 14}}},
    {"InsideOne", {{0, 100}, {200, 300}, {10, 20}}, {{0, 100}, {200, 300}}},
    {"CoversAll", {{10, 20}, {30, 40}, {0, 50}}, {{0, 50}}},
    {"BetweenWithoutTouching", {{0, 10}, {30, 40}, {15, 20}}, {{0, 10}, {15, 20}, {30, 40}}},
};

INSTANTIATE_TEST_SUITE_P(Table, RangeSetAddTest, ::testing::ValuesIn(kAddCases), CaseName());

// Every query against a plain byte map, after random adds of every shape.
TEST(RangeSetTest, AgreesWithAByteMap) {
  constexpr int kBytes = 120;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> at(0, kBytes);
  for (int round = 0; round < 200; ++round) {
    RangeSet set;
    std::vector<bool> covered(kBytes, false);
    for (int add = 0; add < 6; ++add) {
      const int begin = at(random), end = at(random);
      set.Add(begin, end);
      for (int i = begin; i < end; ++i) covered[static_cast<size_t>(i)] = true;
    }
    Intervals expected;
    for (int i = 0; i < kBytes; ++i) {
      if (!covered[static_cast<size_t>(i)]) continue;
      if (!expected.empty() && expected.back().end == i)
        ++expected.back().end;
      else
        expected.push_back({i, i + 1});
    }
    ASSERT_EQ(set.Intervals(), expected);
    int64_t total = 0;
    for (bool b : covered) total += b ? 1 : 0;
    EXPECT_EQ(set.CoveredBytes(), total);
    for (int query = 0; query < 20; ++query) {
      const int begin = at(random), end = at(random);
      int64_t within = 0;
      std::optional<RangeSet::Interval> gap;
      for (int i = begin; i < end; ++i) {
        const bool in = covered[static_cast<size_t>(i)];
        within += in ? 1 : 0;
        if (!in && !gap)
          gap = RangeSet::Interval{i, i + 1};
        else if (!in && gap && gap->end == i)
          gap->end = i + 1;
      }
      EXPECT_EQ(set.Contains(begin, end), within == std::max(end - begin, 0)) << begin << " " << end;
      EXPECT_EQ(set.CoveredWithin(begin, end), within) << begin << " " << end;
      EXPECT_EQ(set.FirstGap(begin, end), gap) << begin << " " << end;
    }
  }
}

TEST(RangeSetTest, ClearAndEquality) {
  RangeSet a, b;
  a.Add(0, 10);
  b.Add(5, 10);
  b.Add(0, 5);
  EXPECT_EQ(a, b);
  b.Add(20, 30);
  EXPECT_NE(a, b);
  b.Clear();
  EXPECT_TRUE(b.Intervals().empty());
  EXPECT_TRUE(b.Contains(3, 3));
  EXPECT_FALSE(b.Contains(3, 4));
  EXPECT_EQ(b.FirstGap(3, 9), (RangeSet::Interval{3, 9}));
}

}  // namespace
