#include "engine/RangeSet.h"

#include <algorithm>
#include <iterator>

namespace engine {

void RangeSet::Add(int64_t begin, int64_t end) {
  if (begin >= end) return;
  // Received data mostly extends the last interval or starts a new one after it: no search.
  if (intervals_.empty() || begin > intervals_.back().end) {
    intervals_.push_back({begin, end});
    return;
  }
  if (begin >= intervals_.back().begin) {
    intervals_.back().end = std::max(intervals_.back().end, end);
    return;
  }
  // The intervals that overlap or touch [begin, end) are the run [first, last).
  const auto first = std::lower_bound(intervals_.begin(), intervals_.end(), begin,
                                      [](const Interval& i, int64_t value) { return i.end < value; });
  const auto last = std::upper_bound(first, intervals_.end(), end,
                                     [](int64_t value, const Interval& i) { return value < i.begin; });
  if (first == last) {
    intervals_.insert(first, {begin, end});
    return;
  }
  first->begin = std::min(first->begin, begin);
  first->end = std::max(std::prev(last)->end, end);
  intervals_.erase(std::next(first), last);
}

bool RangeSet::Contains(int64_t begin, int64_t end) const {
  if (begin >= end) return true;
  // Merged intervals never touch, so one interval must hold the whole range.
  const auto after = std::upper_bound(intervals_.begin(), intervals_.end(), begin,
                                      [](int64_t value, const Interval& i) { return value < i.begin; });
  return after != intervals_.begin() && std::prev(after)->end >= end;
}

int64_t RangeSet::CoveredBytes() const {
  int64_t total = 0;
  for (const Interval& i : intervals_) total += i.end - i.begin;
  return total;
}

int64_t RangeSet::CoveredWithin(int64_t begin, int64_t end) const {
  int64_t total = 0;
  if (begin >= end) return total;
  auto it = std::upper_bound(intervals_.begin(), intervals_.end(), begin,
                             [](int64_t value, const Interval& i) { return value < i.end; });
  for (; it != intervals_.end() && it->begin < end; ++it)
    total += std::min(it->end, end) - std::max(it->begin, begin);
  return total;
}

std::optional<RangeSet::Interval> RangeSet::FirstGap(int64_t from, int64_t limit) const {
  if (from >= limit) return std::nullopt;
  auto next = std::upper_bound(intervals_.begin(), intervals_.end(), from,
                               [](int64_t value, const Interval& i) { return value < i.begin; });
  // An interval holding `from` moves the start to its end; the one after it starts past that end.
  if (next != intervals_.begin() && std::prev(next)->end > from) from = std::prev(next)->end;
  if (from >= limit) return std::nullopt;
  const int64_t gapEnd = next == intervals_.end() ? limit : std::min(limit, next->begin);
  return Interval{from, gapEnd};
}

}  // namespace engine
