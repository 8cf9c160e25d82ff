#include "tools/devserver/DemoBanner.h"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tools/devserver/GifWriter.h"

namespace devserver {

namespace {

constexpr int kGradientColours = 64;
constexpr uint8_t kWhite = kGradientColours;
constexpr uint8_t kGold = kGradientColours + 1;
constexpr uint8_t kSky = kGradientColours + 2;
constexpr uint8_t kShadow = kGradientColours + 3;
constexpr int kFrames = 8;

// 5 x 7 letters, one string per row, '#' = ink.
struct Glyph {
  char letter;
  std::array<std::string_view, 7> rows;
};

constexpr std::array<Glyph, 7> kGlyphs = {{
    {'O', {" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'R', {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
    {'B', {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'A', {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'D', {"###  ", "#  # ", "#   #", "#   #", "#   #", "#  # ", "###  "}},
    {'E', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
    {'M', {"#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"}},
}};

class Canvas {
 public:
  Canvas() : pixels_(static_cast<size_t>(DemoBanner::kWidth) * DemoBanner::kHeight, 0) {}

  void Fill(int x, int y, int width, int height, uint8_t colour) {
    for (int row = y; row < y + height; ++row) {
      for (int column = x; column < x + width; ++column) Set(column, row, colour);
    }
  }

  // Text centred on the canvas, `scale` pixels per font dot, with an optional drop shadow.
  void Text(std::string_view text, int y, int scale, uint8_t colour, int shadowOffset) {
    const int advance = 6 * scale;
    int x = (DemoBanner::kWidth - (static_cast<int>(text.size()) * advance - scale)) / 2;
    for (char letter : text) {
      for (const Glyph& glyph : kGlyphs) {
        if (glyph.letter != letter) continue;
        if (shadowOffset > 0) DrawGlyph(glyph, x + shadowOffset, y + shadowOffset, scale, kShadow);
        DrawGlyph(glyph, x, y, scale, colour);
      }
      x += advance;
    }
  }

  const std::vector<uint8_t>& Pixels() const { return pixels_; }

 private:
  void Set(int x, int y, uint8_t colour) {
    if (x < 0 || y < 0 || x >= DemoBanner::kWidth || y >= DemoBanner::kHeight) return;
    pixels_[static_cast<size_t>(y) * DemoBanner::kWidth + static_cast<size_t>(x)] = colour;
  }

  void DrawGlyph(const Glyph& glyph, int x, int y, int scale, uint8_t colour) {
    for (int row = 0; row < 7; ++row) {
      for (int column = 0; column < 5; ++column) {
        if (glyph.rows[static_cast<size_t>(row)][static_cast<size_t>(column)] == '#') {
          Fill(x + column * scale, y + row * scale, scale, scale, colour);
        }
      }
    }
  }

  std::vector<uint8_t> pixels_;
};

std::vector<uint32_t> Palette() {
  std::vector<uint32_t> palette;
  // Night blue at the top to violet at the bottom.
  const int from[3] = {0x0b, 0x14, 0x30};
  const int to[3] = {0x4a, 0x1d, 0x6e};
  for (int i = 0; i < kGradientColours; ++i) {
    uint32_t colour = 0;
    for (int channel = 0; channel < 3; ++channel) {
      int value = from[channel] + (to[channel] - from[channel]) * i / (kGradientColours - 1);
      colour = (colour << 8) | static_cast<uint32_t>(value);
    }
    palette.push_back(colour);
  }
  palette.insert(palette.end(), {0xffffff, 0xf5c542, 0x7fd3ff, 0x050810});
  return palette;
}

std::vector<uint8_t> Frame(int frame) {
  Canvas canvas;
  for (int y = 0; y < DemoBanner::kHeight; ++y) {
    canvas.Fill(0, y, DemoBanner::kWidth, 1,
                static_cast<uint8_t>(y * kGradientColours / DemoBanner::kHeight));
  }
  canvas.Text("ORBA", 80, 14, kGold, 4);
  canvas.Text("DEMO", 220, 6, kWhite, 0);
  // A bar that fills up over the frames, so the animation is visible.
  const int barX = 40, barY = 330, barWidth = DemoBanner::kWidth - 80, barHeight = 20;
  canvas.Fill(barX - 2, barY - 2, barWidth + 4, barHeight + 4, kWhite);
  canvas.Fill(barX, barY, barWidth, barHeight, kShadow);
  canvas.Fill(barX, barY, barWidth * (frame + 1) / kFrames, barHeight, kSky);
  return canvas.Pixels();
}

}  // namespace

std::string DemoBanner::MakeGif() {
  GifWriter gif(kWidth, kHeight, Palette());
  for (int frame = 0; frame < kFrames; ++frame) gif.AddFrame(Frame(frame), frame + 1 == kFrames ? 100 : 25);
  return gif.Finish();
}

}  // namespace devserver
