#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

int CreateDirectories(const std::string& path) {
  if (path.empty()) return ENOENT;
  if (DirectoryExists(path)) return 0;
  std::string::size_type from = path.front() == '/' ? 1 : 0;
  for (;;) {
    std::string::size_type slash = path.find('/', from);
    std::string level = path.substr(0, slash);
    if (!level.empty() && mkdir(level.c_str(), 0755) != 0 && !(errno == EEXIST && DirectoryExists(level))) {
      return errno == EEXIST ? EEXIST : errno;
    }
    if (slash == std::string::npos || slash + 1 >= path.size()) return 0;
    from = slash + 1;
  }
}

bool RemoveFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

int RenameReplacing(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return ENOENT;
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int WriteFileAtomically(const std::string& path, const std::string& bytes) {
  if (path.empty()) return ENOENT;
  std::string temporary = path + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  size_t written = 0;
  int error = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<size_t>(n);
  }
  if (error == 0 && fdatasync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0) error = RenameReplacing(temporary, path);
  if (error != 0) unlink(temporary.c_str());
  return error;
}

std::optional<std::string> ReadSmallFile(const std::string& path, int64_t maxBytes) {
  std::optional<int64_t> size = FileSize(path);
  if (!size || *size > maxBytes) return std::nullopt;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || static_cast<int64_t>(bytes.size()) + n > maxBytes) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return bytes;
}

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
