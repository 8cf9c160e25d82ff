#include "core/cpQoSBuffers.h"

#include <cstring>

std::unique_ptr<cpSendBlock> cpSendBlock::Copy(const char* bytes, int32_t length) {
  auto block = std::make_unique<cpSendBlock>();
  block->size = length > 0 ? length : 0;
  block->data = std::make_unique<char[]>(static_cast<size_t>(block->size));
  if (block->size > 0) std::memcpy(block->data.get(), bytes, static_cast<size_t>(block->size));
  return block;
}

void cpReceiveBuffer::Reserve() {
  if (data_) return;
  data_ = std::make_unique_for_overwrite<char[]>(kInitialCapacity);
  length_ = 0;
  capacity_ = kInitialCapacity;
}

void cpReceiveBuffer::Append(const char* bytes, int32_t count) {
  if (count <= 0) return;
  if (!data_) Reserve();
  int64_t needed = static_cast<int64_t>(length_) + count;
  if (needed > capacity_) {
    int64_t capacity = capacity_;
    while (capacity < needed) capacity *= 2;
    // Not zero-filled: the bytes below length_ are copied in, the rest is written before use.
    auto grown = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(capacity));
    std::memcpy(grown.get(), data_.get(), static_cast<size_t>(length_));
    data_ = std::move(grown);
    capacity_ = static_cast<int32_t>(capacity);
  }
  std::memcpy(data_.get() + length_, bytes, static_cast<size_t>(count));
  length_ += count;
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
