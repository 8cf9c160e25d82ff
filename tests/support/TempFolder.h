#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it at the end.

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's path, without a trailing '/'.
  const std::string& Path() const { return path_; }
  // Path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// The whole file, byte for byte; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
// `size` bytes of a fixed pseudo-random pattern: the same seed gives the same bytes.
std::string PatternedBytes(size_t size, uint32_t seed);
void WriteFileText(const std::string& path, const std::string& content);

}  // namespace testsupport
