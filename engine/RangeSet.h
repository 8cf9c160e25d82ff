#pragma once
// The byte ranges of a file that are written, as sorted, disjoint half-open intervals. Touching or
// overlapping intervals are merged, so two sets holding the same bytes are equal.

#include <cstdint>
#include <optional>
#include <vector>

namespace engine {

class RangeSet {
 public:
  struct Interval {
    int64_t begin;
    int64_t end;
    bool operator==(const Interval&) const = default;
  };

  // Adds [begin, end); an empty or inverted interval adds nothing.
  void Add(int64_t begin, int64_t end);
  void Clear() { intervals_.clear(); }

  // Whether every byte of [begin, end) is in the set (an empty interval always is).
  bool Contains(int64_t begin, int64_t end) const;
  int64_t CoveredBytes() const;
  // The bytes of [begin, end) that are in the set.
  int64_t CoveredWithin(int64_t begin, int64_t end) const;
  // The first maximal interval inside [from, limit) with none of its bytes in the set.
  std::optional<Interval> FirstGap(int64_t from, int64_t limit) const;

  bool Empty() const { return intervals_.empty(); }
  const std::vector<Interval>& Intervals() const { return intervals_; }

  bool operator==(const RangeSet&) const = default;

 private:
  std::vector<Interval> intervals_;
};

}  // namespace engine
