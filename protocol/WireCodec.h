#pragma once
// Little-endian field writer and bounds-checked field reader for the binary messages. The layout
// never depends on the compiler's struct layout.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engineproto {

class WireWriter {
 public:
  void U8(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void U16(uint16_t value);
  void U32(uint32_t value);
  void U64(uint64_t value);
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void I64(int64_t value) { U64(static_cast<uint64_t>(value)); }
  // A fixed field of `width` bytes: the text cut to width - 1 bytes (so the field always holds a
  // NUL), then zeros.
  void Fixed(std::string_view text, size_t width);
  // A text followed by its NUL.
  void Text(std::string_view text);
  void Raw(std::string_view bytes) { bytes_.append(bytes); }
  void Zeros(size_t count) { bytes_.append(count, '\0'); }
  // Bytes nobody reads: sent as zeros. Pad keeps the offsets of the fields after it; Tail ends a
  // message, and a receiver does not need it.
  void Pad(size_t count) { Zeros(count); }
  void Tail(size_t count) { Zeros(count); }

  std::string Take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Every read checks that the field lies inside the payload; after the first read that would run
// past it, the reader is failed and every later read gives zero or empty.
class WireReader {
 public:
  explicit WireReader(std::string_view payload) : payload_(payload) {}

  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int64_t I64() { return static_cast<int64_t>(U64()); }
  // A fixed field of `width` bytes, up to its first NUL.
  std::string Fixed(size_t width);
  // A text up to its NUL; a text without its NUL inside the payload fails the reader.
  std::string Text();
  std::string Raw(size_t count);
  void Skip(size_t count);

  // The same fields read into their places, so one field list serves both directions.
  void U8(uint8_t& value) { value = U8(); }
  void I32(int32_t& value) { value = I32(); }
  void I64(int64_t& value) { value = I64(); }
  void Fixed(std::string& text, size_t width) { text = Fixed(width); }
  void Text(std::string& text) { text = Text(); }
  void Pad(size_t count) { Skip(count); }
  void Tail(size_t /*count*/) {}

  bool Ok() const { return ok_; }
  size_t Offset() const { return offset_; }

 private:
  // The next `count` bytes, or null (and the reader failed) when they run past the payload.
  const char* Take(size_t count);

  std::string_view payload_;
  size_t offset_ = 0;
  bool ok_ = true;
};

}  // namespace engineproto
