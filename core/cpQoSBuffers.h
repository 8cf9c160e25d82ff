#pragma once
// The byte buffers a connection and its I/O action share.

#include <cstdint>
#include <memory>

// One block of the send queue: a copy of the data and how much of it went out.
struct cpSendBlock {
  std::unique_ptr<char[]> data;
  int32_t offset = 0;
  int32_t size = 0;

  static std::unique_ptr<cpSendBlock> Copy(const char* bytes, int32_t length);
  bool Complete() const { return offset >= size; }
};

// Received bytes waiting for the layers; grows by doubling from 1024 bytes.
class cpReceiveBuffer {
 public:
  static constexpr int32_t kInitialCapacity = 1024;

  const char* Data() const { return data_.get(); }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }

  // Room for `count` more bytes after the content, for a read straight into the buffer; Commit
  // then adds the bytes the read wrote.
  char* Prepare(int32_t count);
  void Commit(int32_t count);
  void Append(const char* bytes, int32_t count);
  // Drops the first `count` bytes and moves the rest to the front.
  void Consume(int32_t count);
  void Free();

 private:
  std::unique_ptr<char[]> data_;
  int32_t length_ = 0;
  int32_t capacity_ = 0;
};
