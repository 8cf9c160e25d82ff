#include "core/cpQoSBuffers.h"

#include <algorithm>
#include <cstring>

std::unique_ptr<cpSendBlock> cpSendBlock::Copy(const char* bytes, int32_t length) {
  auto block = std::make_unique<cpSendBlock>();
  block->size = length > 0 ? length : 0;
  block->data = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(block->size));
  if (block->size > 0) std::memcpy(block->data.get(), bytes, static_cast<size_t>(block->size));
  return block;
}

char* cpReceiveBuffer::Prepare(int32_t count) {
  int64_t needed = static_cast<int64_t>(length_) + std::max(count, 0);
  if (!data_ || needed > capacity_) {
    int64_t capacity = data_ ? capacity_ : kInitialCapacity;
    while (capacity < needed) capacity *= 2;
    // Not zero-filled: the bytes below length_ are copied in, the rest is written before use.
    auto grown = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(capacity));
    if (length_ > 0) std::memcpy(grown.get(), data_.get(), static_cast<size_t>(length_));
    data_ = std::move(grown);
    capacity_ = static_cast<int32_t>(capacity);
  }
  return data_.get() + length_;
}

void cpReceiveBuffer::Commit(int32_t count) {
  if (count > 0) length_ += std::min(count, capacity_ - length_);
}

void cpReceiveBuffer::Append(const char* bytes, int32_t count) {
  if (count <= 0) return;
  std::memcpy(Prepare(count), bytes, static_cast<size_t>(count));
  Commit(count);
}

void cpReceiveBuffer::Consume(int32_t count) {
  if (count <= 0) return;
  if (count >= length_) {
    length_ = 0;
    return;
  }
  std::memmove(data_.get(), data_.get() + count, static_cast<size_t>(length_ - count));
  length_ -= count;
}

void cpReceiveBuffer::Free() {
  data_.reset();
  length_ = 0;
  capacity_ = 0;
}
