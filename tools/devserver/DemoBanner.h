#pragma once
// The demo's banner: an animated GIF the size of the window's banner area, the same bytes on
// every run.

#include <string>

namespace devserver {

class DemoBanner {
 public:
  static constexpr int kWidth = 383;
  static constexpr int kHeight = 442;

  static std::string MakeGif();
};

}  // namespace devserver
