#include "tools/devserver/GifWriter.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace devserver {

namespace {

constexpr int kMaxCodeBits = 12;
constexpr int kLastCode = (1 << kMaxCodeBits) - 1;

void PutUint16(std::string* out, int value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>((value >> 8) & 0xff));
}

// Variable-width codes, least significant bit first, as GIF packs them.
class BitPacker {
 public:
  void Write(int code, int bits) {
    buffer_ |= static_cast<uint32_t>(code) << count_;
    count_ += bits;
    while (count_ >= 8) {
      bytes_.push_back(static_cast<char>(buffer_ & 0xff));
      buffer_ >>= 8;
      count_ -= 8;
    }
  }
  std::string Finish() {
    if (count_ > 0) bytes_.push_back(static_cast<char>(buffer_ & 0xff));
    return std::move(bytes_);
  }

 private:
  uint32_t buffer_ = 0;
  int count_ = 0;
  std::string bytes_;
};

// GIF's LZW: a clear code first, the code width grows as the table fills, and the table starts
// over (with a clear code) when it is full.
std::string LzwCompress(const std::vector<uint8_t>& indices, int minCodeBits) {
  const int clear = 1 << minCodeBits;
  const int end = clear + 1;
  int bits = minCodeBits + 1;
  int next = end + 1;
  std::unordered_map<uint32_t, int> table;
  BitPacker packer;
  auto emit = [&](int code) {
    packer.Write(code, bits);
    // The decoder adds its entry one code later; it widens when its next free code needs a bit more.
    if (next >= (1 << bits) && bits < kMaxCodeBits) ++bits;
  };
  packer.Write(clear, bits);
  int prefix = -1;
  for (uint8_t index : indices) {
    if (prefix < 0) {
      prefix = index;
      continue;
    }
    uint32_t key = (static_cast<uint32_t>(prefix) << 8) | index;
    auto found = table.find(key);
    if (found != table.end()) {
      prefix = found->second;
      continue;
    }
    emit(prefix);
    prefix = index;
    if (next >= kLastCode) {
      packer.Write(clear, bits);
      table.clear();
      bits = minCodeBits + 1;
      next = end + 1;
    } else {
      table.emplace(key, next++);
    }
  }
  if (prefix >= 0) emit(prefix);
  emit(end);
  return packer.Finish();
}

}  // namespace

GifWriter::GifWriter(int width, int height, std::vector<uint32_t> palette)
    : width_(width), height_(height), colourBits_(1) {
  if (width <= 0 || height <= 0 || width > 0xffff || height > 0xffff || palette.size() < 2 ||
      palette.size() > 256) {
    throw std::invalid_argument("GifWriter: bad size or palette");
  }
  while ((1u << colourBits_) < palette.size()) ++colourBits_;
  palette.resize(size_t{1} << colourBits_, 0);
  out_ = "GIF89a";
  PutUint16(&out_, width_);
  PutUint16(&out_, height_);
  // Global colour table present, 8 bits per primary, table size.
  out_.push_back(static_cast<char>(0x80 | (7 << 4) | (colourBits_ - 1)));
  out_.push_back('\0');  // background colour index
  out_.push_back('\0');  // square pixels
  for (uint32_t colour : palette) {
    out_.push_back(static_cast<char>((colour >> 16) & 0xff));
    out_.push_back(static_cast<char>((colour >> 8) & 0xff));
    out_.push_back(static_cast<char>(colour & 0xff));
  }
  // Loop for ever.
  out_ += std::string("\x21\xff\x0bNETSCAPE2.0\x03\x01", 16);
  PutUint16(&out_, 0);
  out_.push_back('\0');
}

void GifWriter::AddFrame(const std::vector<uint8_t>& indices, int delayCentiseconds) {
  if (indices.size() != static_cast<size_t>(width_) * static_cast<size_t>(height_)) {
    throw std::invalid_argument("GifWriter: frame size");
  }
  // Graphic control: the frame replaces the previous one ("do not dispose"), then waits.
  out_ += std::string("\x21\xf9\x04\x04", 4);
  PutUint16(&out_, delayCentiseconds);
  out_ += std::string("\0\0", 2);
  // Image descriptor: the whole picture, no local colour table.
  out_.push_back('\x2c');
  PutUint16(&out_, 0);
  PutUint16(&out_, 0);
  PutUint16(&out_, width_);
  PutUint16(&out_, height_);
  out_.push_back('\0');
  int minCodeBits = colourBits_ < 2 ? 2 : colourBits_;
  out_.push_back(static_cast<char>(minCodeBits));
  std::string data = LzwCompress(indices, minCodeBits);
  for (size_t at = 0; at < data.size(); at += 255) {
    size_t length = std::min<size_t>(255, data.size() - at);
    out_.push_back(static_cast<char>(length));
    out_.append(data, at, length);
  }
  out_.push_back('\0');
}

std::string GifWriter::Finish() {
  out_.push_back('\x3b');
  return std::move(out_);
}

}  // namespace devserver
