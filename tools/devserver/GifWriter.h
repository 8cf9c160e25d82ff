#pragma once
// An animated GIF (GIF89a, looping) from frames of palette indices, LZW-compressed. Enough for
// the demo's banner; no transparency, every frame covers the whole picture.
//
//   GifWriter gif(383, 442, palette);
//   gif.AddFrame(pixels, 20);          // width * height indices, shown for 0.20 s
//   std::string bytes = gif.Finish();

#include <cstdint>
#include <string>
#include <vector>

namespace devserver {

class GifWriter {
 public:
  // `palette`: 0xRRGGBB colours, 2 to 256 of them (padded with black to a power of two).
  GifWriter(int width, int height, std::vector<uint32_t> palette);

  // `indices`: width * height palette indices, row by row.
  void AddFrame(const std::vector<uint8_t>& indices, int delayCentiseconds);
  // The whole file; the writer is spent afterwards.
  std::string Finish();

 private:
  int width_;
  int height_;
  int colourBits_;  // the palette holds 2^colourBits_ entries
  std::string out_;
};

}  // namespace devserver
