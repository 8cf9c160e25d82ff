#pragma once
// A file written at any offset, for downloads fetched in pieces: opened without emptying it, its
// space reserved up front, each piece written where it belongs. Failures are answered as the
// system's error number (0: success).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class RandomAccessFile {
 public:
  RandomAccessFile() = default;
  ~RandomAccessFile();
  RandomAccessFile(RandomAccessFile&& other) noexcept;
  RandomAccessFile& operator=(RandomAccessFile&& other) noexcept;
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  // Opens `path` for reading and writing, creating it when missing; its bytes are kept. A symbolic
  // link there is refused (ELOOP): a download never writes through one to another place.
  int Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Reserves the disk space of a file of `size` bytes (the file grows to it), so that a full disk
  // shows at once rather than half-way. ENOSPC when the space is not there.
  int Reserve(int64_t size);
  // Writes all `length` bytes at `offset`.
  int WriteAt(const char* data, size_t length, int64_t offset);
  // Reads up to `length` bytes at `offset`; *got is how many were read (0 at the end).
  int ReadAt(char* data, size_t length, int64_t offset, size_t* got) const;
  int Truncate(int64_t size);
  // Flushes the file's bytes to the disk.
  int Sync();
  // The file's length on disk; -1 when not open.
  int64_t Size() const;
  void Close();

  // Test seam: when set, every WriteAt and Reserve first asks `fault` (path, offset, length); a
  // non-zero answer fails that call with that error number and writes nothing. Null removes it.
  using WriteFault = std::function<int(const std::string& path, int64_t offset, size_t length)>;
  static void SetWriteFaultForTesting(WriteFault fault);

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace platform
