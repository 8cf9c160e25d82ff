#include "engine/StragglerWatch.h"

#include <algorithm>
#include <utility>

namespace engine {

namespace {

// Rates are capped far above any link, so sums of two and multiples of 16 cannot overflow.
constexpr int64_t kRateCap = int64_t{1} << 56;

// Twice the median of `sorted` without the element at `skip` (twice, so an even count needs no
// division); the caller checks there are at least two elements.
int64_t TwiceMedianWithout(const std::vector<int64_t>& sorted, size_t skip) {
  const size_t count = sorted.size() - 1;
  // The k-th of the others is the k-th of all when k < skip, else the one after it.
  auto other = [&](size_t k) { return sorted[k < skip ? k : k + 1]; };
  if (count % 2 == 1) return 2 * other(count / 2);
  return other(count / 2 - 1) + other(count / 2);
}

}  // namespace

std::vector<int> StragglerWatch::Tick(const std::vector<Sample>& samples) {
  std::map<int, int64_t> rates;
  for (const Sample& sample : samples) {
    int64_t& rate = rates[sample.id];
    rate = std::min(kRateCap, rate + std::clamp<int64_t>(sample.bytesThisSecond, 0, kRateCap));
  }
  std::vector<int64_t> sorted;
  sorted.reserve(rates.size());
  for (const auto& entry : rates) sorted.push_back(entry.second);
  std::sort(sorted.begin(), sorted.end());

  std::map<int, Counters> next;
  std::vector<int> cut;
  for (const auto& [id, rate] : rates) {
    Counters counters;
    if (const auto known = counters_.find(id); known != counters_.end()) counters = known->second;
    counters.silentTicks = rate == 0 ? counters.silentTicks + 1 : 0;
    bool slow = false;
    if (sorted.size() >= 2) {
      const auto at = std::lower_bound(sorted.begin(), sorted.end(), rate);
      // rate < median / 8, that is 16 * rate < twice the median.
      slow = 16 * rate < TwiceMedianWithout(sorted, static_cast<size_t>(at - sorted.begin()));
    }
    counters.slowTicks = slow ? counters.slowTicks + 1 : 0;
    if (counters.slowTicks >= kSlowSeconds || counters.silentTicks >= kSilentSeconds) {
      cut.push_back(id);
      counters = {};
    }
    next.emplace(id, counters);
  }
  counters_ = std::move(next);
  return cut;
}

}  // namespace engine
