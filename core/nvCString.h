#pragma once
// A compact byte string: up to 3 bytes live inside the object, longer content in a heap block
// sized for it. There is no spare capacity, so every append to a heap string reallocates.

#include <cstdint>

class nvCString {
 public:
  nvCString() = default;
  // A null text gives the empty string.
  nvCString(const char* text);
  // A one-character string ('\0' gives the empty string).
  explicit nvCString(char c);
  nvCString(const nvCString& other);
  nvCString(nvCString&& other) noexcept;
  virtual ~nvCString();

  nvCString& operator=(const nvCString& other);
  nvCString& operator=(nvCString&& other) noexcept;
  // Goes through Assign, so that a heap block large enough is reused.
  nvCString& operator=(const char* text);

  // A null or empty text empties the string.
  void Assign(const char* text);
  // A null text changes nothing.
  void Append(const char* text);
  void Append(const nvCString& other);

  // `count` bytes from `start`, cut at the end; empty when start is past the end or count is
  // above 1,048,576.
  nvCString Mid(uint32_t start, uint32_t count) const;
  // Offset of the first `needle` at or after `start`, or -1.
  int32_t Find(const char* needle, uint32_t start) const;
  // ASCII A-Z only; every other byte stays.
  void MakeLower();
  // The strcmp result of the two byte strings.
  int Compare(const nvCString& other) const;

  uint32_t GetLength() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }
  const char* GetBuffer() const;
  char* GetBuffer();
  void Empty();

 private:
  static constexpr uint32_t kInlineMax = 3;  // bytes kept in the object, plus the NUL

  void SetContent(const char* source, uint32_t length);
  void AppendBytes(const char* source, uint32_t count);
  bool HasBlock() const { return length_ > kInlineMax && area_.block != nullptr; }

  uint32_t length_ = 0;
  // Content of up to 3 bytes with its NUL, or the heap block. Empty: a null block.
  union {
    char small[kInlineMax + 1];
    char* block;
  } area_{.block = nullptr};
};
