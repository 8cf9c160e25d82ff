#include "platform/FileSystem.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool PathExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDirectoryLevel(const std::string& path) {
  if (path.empty()) return false;
  if (mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && DirectoryExists(path);
}

bool RemoveFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

std::optional<int64_t> FileSize(const std::string& path) {
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<int64_t>(info.st_size);
}

std::optional<int64_t> FreeSpace(const std::string& path) {
  std::string probe = path.empty() ? std::string(".") : path;
  for (;;) {
    struct statvfs info {};
    if (statvfs(probe.c_str(), &info) == 0) {
      return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    // Step to the parent folder and measure there.
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    std::string::size_type slash = probe.find_last_of('/');
    if (slash == std::string::npos) {
      probe = ".";
    } else if (slash == 0) {
      probe = "/";
    } else {
      probe.resize(slash);
    }
    if (probe == "/" || probe == ".") {
      if (statvfs(probe.c_str(), &info) != 0) return std::nullopt;
      return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    }
  }
}

}  // namespace platform
