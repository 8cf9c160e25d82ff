#include "net/nwBodyBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

nwBodyBuffer::nwBodyBuffer(nwBodyBuffer&& other) noexcept { *this = std::move(other); }

nwBodyBuffer& nwBodyBuffer::operator=(nwBodyBuffer&& other) noexcept {
  if (this != &other) {
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

bool nwBodyBuffer::Start(int64_t length) {
  Clear();
  if (length <= 0 || length > kMaxLength) return false;
  if (!Reserve(std::min(static_cast<size_t>(length), kFirstReservation))) return false;
  length_ = static_cast<size_t>(length);
  return true;
}

bool nwBodyBuffer::Append(const char* data, size_t size) {
  // Bytes past the announced length are not part of the body.
  size_t stored = std::min(size, length_ - size_);
  if (stored == 0) return true;
  size_t needed = size_ + stored;
  if (needed > capacity_ && !Reserve(std::min(length_, std::max(needed, 2 * capacity_)))) return false;
  std::memcpy(bytes_.get() + size_, data, stored);
  size_ = needed;
  return true;
}

void nwBodyBuffer::Clear() {
  bytes_.reset();
  size_ = 0;
  capacity_ = 0;
  length_ = 0;
}

bool nwBodyBuffer::Reserve(size_t capacity) {
  // Not value-initialised: only bytes that arrived are ever written or read.
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[capacity]);
  if (!bytes) return false;
  if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
  return true;
}
