#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex g_faultMutex;
File::WriteFault g_fault;

int AskFault(const std::string& path, int64_t position, size_t length) {
  std::lock_guard lock(g_faultMutex);
  return g_fault ? g_fault(path, position, length) : 0;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), end_(std::exchange(other.end_, 0)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    end_ = std::exchange(other.end_, 0);
    path_ = std::move(other.path_);
  }
  return *this;
}

int File::OpenAlways(const std::string& path) {
  Close();
  if (path.empty()) return ENOENT;
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int error = errno;
    close(fd);
    return error;
  }
  fd_ = fd;
  end_ = static_cast<int64_t>(end);
  path_ = path;
  return 0;
}

int File::Append(const char* data, size_t length) {
  if (fd_ < 0) return EBADF;
  if (length == 0) return 0;
  if (data == nullptr) return EFAULT;
  if (int injected = AskFault(path_, end_, length); injected != 0) return injected;
  size_t written = 0;
  while (written < length) {
    ssize_t n = pwrite(fd_, data + written, length - written,
                       static_cast<off_t>(end_ + static_cast<int64_t>(written)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = n < 0 ? errno : ENOSPC;
      // All or nothing: cut back what this call managed to write.
      if (written > 0 && ftruncate(fd_, static_cast<off_t>(end_)) != 0) end_ += static_cast<int64_t>(written);
      return error;
    }
    written += static_cast<size_t>(n);
  }
  end_ += static_cast<int64_t>(length);
  return 0;
}

int64_t File::Size() const {
  if (fd_ < 0) return -1;
  struct stat info {};
  if (fstat(fd_, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

void File::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  end_ = 0;
  path_.clear();
}

void File::SetWriteFaultForTesting(WriteFault fault) {
  std::lock_guard lock(g_faultMutex);
  g_fault = std::move(fault);
}

}  // namespace platform
