#include "pipeline/EngineSpeedWindow.h"

#include <cstddef>

void EngineSpeedWindow::Add(int64_t time, int32_t value) {
  position_ = (position_ + 1) % static_cast<int>(samples_.size());
  samples_[static_cast<size_t>(position_)] = Sample{time, value};
}

int32_t EngineSpeedWindow::Average() const {
  if (position_ < 0) return 0;
  const int64_t newest = samples_[static_cast<size_t>(position_)].time;
  int64_t sum = 0;
  int64_t count = 0;
  for (const Sample& sample : samples_) {
    if (sample.time == 0 || sample.time < newest - 10) continue;
    sum += sample.value;
    ++count;
  }
  return count == 0 ? 0 : static_cast<int32_t>(sum / count);
}
