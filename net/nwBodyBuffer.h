#pragma once
// The body of an in-memory download. Memory follows the bytes that really arrived: a bounded first
// reservation, then geometric growth, never beyond the announced length, and nothing zero-filled,
// so a server that announces a large body and then trickles holds little.

#include <cstddef>
#include <cstdint>
#include <memory>

class nwBodyBuffer {
 public:
  // A larger body is not an in-memory resource: refused before anything is allocated.
  static constexpr int64_t kMaxLength = 256LL * 1024 * 1024;
  static constexpr size_t kFirstReservation = 64 * 1024;

  nwBodyBuffer() = default;
  // A moved-from buffer is empty.
  nwBodyBuffer(nwBodyBuffer&& other) noexcept;
  nwBodyBuffer& operator=(nwBodyBuffer&& other) noexcept;

  // Starts a new body of `length` announced bytes, dropping the previous one. False for a length
  // that is not positive or above kMaxLength, or when memory ran out; the buffer is then empty.
  bool Start(int64_t length);
  // Stores what fits of `data` below the announced length. False when memory ran out.
  bool Append(const char* data, size_t size);

  bool Started() const { return length_ > 0; }
  bool Complete() const { return Started() && size_ == length_; }
  const char* Data() const { return bytes_.get(); }
  int64_t Size() const { return static_cast<int64_t>(size_); }
  // Memory held now.
  size_t Capacity() const { return capacity_; }

 private:
  void Clear();
  bool Reserve(size_t capacity);

  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t length_ = 0;
};
