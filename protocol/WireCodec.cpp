#include "protocol/WireCodec.h"

#include <algorithm>
#include <cstring>

namespace engineproto {

namespace {

template <typename T>
void PutLittleEndian(std::string& out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

template <typename T>
T GetLittleEndian(const char* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    value |= static_cast<T>(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

}  // namespace

void WireWriter::U16(uint16_t value) { PutLittleEndian(bytes_, value); }
void WireWriter::U32(uint32_t value) { PutLittleEndian(bytes_, value); }
void WireWriter::U64(uint64_t value) { PutLittleEndian(bytes_, value); }

void WireWriter::Fixed(std::string_view text, size_t width) {
  if (width == 0) return;
  // Up to the first NUL: what a receiver would read back.
  text = text.substr(0, std::min({text.find('\0'), text.size(), width - 1}));
  bytes_.append(text);
  bytes_.append(width - text.size(), '\0');
}

void WireWriter::Text(std::string_view text) {
  bytes_.append(text.substr(0, text.find('\0')));
  bytes_.push_back('\0');
}

const char* WireReader::Take(size_t count) {
  if (!ok_ || count > payload_.size() - offset_) {
    ok_ = false;
    return nullptr;
  }
  const char* at = payload_.data() + offset_;
  offset_ += count;
  return at;
}

uint8_t WireReader::U8() {
  const char* at = Take(1);
  return at != nullptr ? static_cast<uint8_t>(*at) : 0;
}

uint16_t WireReader::U16() {
  const char* at = Take(2);
  return at != nullptr ? GetLittleEndian<uint16_t>(at) : 0;
}

uint32_t WireReader::U32() {
  const char* at = Take(4);
  return at != nullptr ? GetLittleEndian<uint32_t>(at) : 0;
}

uint64_t WireReader::U64() {
  const char* at = Take(8);
  return at != nullptr ? GetLittleEndian<uint64_t>(at) : 0;
}

std::string WireReader::Fixed(size_t width) {
  const char* at = Take(width);
  if (at == nullptr) return {};
  return std::string(at, strnlen(at, width));
}

std::string WireReader::Text() {
  if (!ok_) return {};
  size_t end = payload_.find('\0', offset_);
  if (end == std::string_view::npos) {
    ok_ = false;
    return {};
  }
  std::string text(payload_.substr(offset_, end - offset_));
  offset_ = end + 1;
  return text;
}

std::string WireReader::Raw(size_t count) {
  const char* at = Take(count);
  return at != nullptr ? std::string(at, count) : std::string();
}

void WireReader::Skip(size_t count) { Take(count); }

}  // namespace engineproto
