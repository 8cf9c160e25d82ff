#pragma once
// Picks the transfers worth cutting, so their connections can fetch again elsewhere: one far
// slower than its peers for several seconds, or one that has received nothing for several seconds.

#include <cstdint>
#include <map>
#include <vector>

namespace engine {

class StragglerWatch {
 public:
  static constexpr int kSlowSeconds = 5;
  static constexpr int kSilentSeconds = 5;

  struct Sample {
    int id;
    int64_t bytesThisSecond;
  };

  // Called once a second with every active transfer's bytes of that second; returns the ids to cut
  // now. Slow: below one eighth of the median of the OTHER transfers of the tick for kSlowSeconds
  // consecutive ticks (a tick without other transfers, or whose median is 0, is not slow). Silent:
  // nothing for kSilentSeconds consecutive ticks. An id reported starts counting afresh (so a
  // transfer the caller keeps is reported again only after as many ticks). Ids absent from a tick
  // are forgotten; samples of one id in a tick add up.
  std::vector<int> Tick(const std::vector<Sample>& samples);
  void Forget(int id) { counters_.erase(id); }

 private:
  struct Counters {
    int slowTicks = 0;
    int silentTicks = 0;
  };
  std::map<int, Counters> counters_;
};

}  // namespace engine
