#pragma once
// One open file for writing a download: created or emptied on open, read and write access, each
// write appended at the end. Failures are answered as the system's error number (0: success).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Creates the file, or empties the existing one, and opens it for reading and writing; a file
  // already open here is closed first. Returns 0 or the error number.
  int OpenAlways(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Writes all of `length` bytes at the end, or none of them: a failed write leaves the file as it
  // was, so the file never holds a partial chunk. Returns 0 or the error number.
  int Append(const char* data, size_t length);
  // The position where the next write lands (the length of the file as written through here).
  int64_t End() const { return end_; }
  // The length of the file on disk; -1 when not open or unknown.
  int64_t Size() const;
  void Close();

  // Test seam: when set, every Append first asks `fault` (path, position, length); a non-zero
  // answer fails that write with that error number and writes nothing. Null removes it.
  using WriteFault = std::function<int(const std::string& path, int64_t position, size_t length)>;
  static void SetWriteFaultForTesting(WriteFault fault);

 private:
  int fd_ = -1;
  int64_t end_ = 0;
  std::string path_;
};

}  // namespace platform
