#pragma once
// The last ten speed samples the engine reported, averaged over its last ten seconds.

#include <array>
#include <cstdint>

class EngineSpeedWindow {
 public:
  void Add(int64_t time, int32_t value);
  void Clear() { *this = EngineSpeedWindow(); }
  // The integer mean of the samples whose time is set and at most 10 s before the newest one;
  // 0 when none qualifies.
  int32_t Average() const;

 private:
  struct Sample {
    int64_t time = 0;
    int32_t value = 0;
  };
  std::array<Sample, 10> samples_{};
  int position_ = -1;
};
