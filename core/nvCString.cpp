#include "core/nvCString.h"

#include <cstdlib>
#include <cstring>

namespace {

// Mid takes a larger count as a bad argument and answers the empty string, instead of cutting it.
constexpr uint32_t kMidMaxCount = 0x100000;

}  // namespace

nvCString::nvCString(const char* text) { Assign(text); }

nvCString::nvCString(char c) {
  const char text[2] = {c, '\0'};
  Assign(text);
}

nvCString::nvCString(const nvCString& other) { SetContent(other.GetBuffer(), other.length_); }

nvCString::nvCString(nvCString&& other) noexcept : length_(other.length_), area_(other.area_) {
  other.length_ = 0;
  other.area_.block = nullptr;
}

nvCString::~nvCString() { Empty(); }

nvCString& nvCString::operator=(const nvCString& other) {
  if (this != &other) SetContent(other.GetBuffer(), other.length_);
  return *this;
}

nvCString& nvCString::operator=(nvCString&& other) noexcept {
  if (this != &other) {
    Empty();
    length_ = other.length_;
    area_ = other.area_;
    other.length_ = 0;
    other.area_.block = nullptr;
  }
  return *this;
}

nvCString& nvCString::operator=(const char* text) {
  Assign(text);
  return *this;
}

void nvCString::Assign(const char* text) {
  SetContent(text, text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0);
}

void nvCString::SetContent(const char* source, uint32_t length) {
  if (source == nullptr || length == 0 || source[0] == '\0') {
    Empty();
    return;
  }
  if (length > kInlineMax) {
    if (HasBlock() && length_ >= length) {
      // The same bytes as zero-filling over length + 1 and copying, but the source may lie
      // inside this very block (assigning a tail of the string to itself).
      std::memmove(area_.block, source, length);
      area_.block[length] = '\0';
    } else {
      char* block = static_cast<char*>(std::calloc(length + 1, 1));
      if (block == nullptr) return;
      std::memcpy(block, source, length);
      // Freed only after the copy, in case the source was part of it.
      if (HasBlock()) std::free(area_.block);
      area_.block = block;
    }
  } else {
    char bytes[kInlineMax + 1] = {};
    std::memcpy(bytes, source, length);
    if (HasBlock()) std::free(area_.block);
    std::memcpy(area_.small, bytes, sizeof bytes);
  }
  length_ = length;
}

void nvCString::Append(const char* text) {
  if (text == nullptr) return;
  AppendBytes(text, static_cast<uint32_t>(std::strlen(text)));
}

void nvCString::Append(const nvCString& other) { AppendBytes(other.GetBuffer(), other.length_); }

void nvCString::AppendBytes(const char* source, uint32_t count) {
  const uint32_t newLength = length_ + count;
  if (newLength <= kInlineMax) {
    // memmove: the source may be this string's own bytes.
    std::memmove(area_.small + length_, source, count);
    area_.small[newLength] = '\0';
  } else {
    char* block = static_cast<char*>(std::calloc(newLength + 1, 1));
    if (block == nullptr) return;
    std::memcpy(block, GetBuffer(), length_);
    std::memcpy(block + length_, source, count);
    if (HasBlock()) std::free(area_.block);
    area_.block = block;
  }
  length_ = newLength;
}

nvCString nvCString::Mid(uint32_t start, uint32_t count) const {
  nvCString result;
  if (count > kMidMaxCount || start > length_) return result;
  if (count > length_ - start) count = length_ - start;
  result.SetContent(GetBuffer() + start, count);
  return result;
}

int32_t nvCString::Find(const char* needle, uint32_t start) const {
  // The empty string holds no bytes at all, so nothing is found in it.
  if (needle == nullptr || length_ == 0 || start > length_) return -1;
  const char* buffer = GetBuffer();
  const char* hit = std::strstr(buffer + start, needle);
  return hit != nullptr ? static_cast<int32_t>(hit - buffer) : -1;
}

void nvCString::MakeLower() {
  char* buffer = GetBuffer();
  for (uint32_t i = 0; i < length_; ++i) {
    if (buffer[i] >= 'A' && buffer[i] <= 'Z') buffer[i] = static_cast<char>(buffer[i] + ('a' - 'A'));
  }
}

int nvCString::Compare(const nvCString& other) const { return std::strcmp(GetBuffer(), other.GetBuffer()); }

const char* nvCString::GetBuffer() const { return HasBlock() ? area_.block : area_.small; }

char* nvCString::GetBuffer() { return HasBlock() ? area_.block : area_.small; }

void nvCString::Empty() {
  if (HasBlock()) std::free(area_.block);
  length_ = 0;
  area_.block = nullptr;
}
