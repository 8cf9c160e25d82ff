#include "platform/RandomAccessFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex g_faultMutex;
RandomAccessFile::WriteFault g_fault;

int AskFault(const std::string& path, int64_t offset, size_t length) {
  std::lock_guard lock(g_faultMutex);
  return g_fault ? g_fault(path, offset, length) : 0;
}

}  // namespace

void RandomAccessFile::SetWriteFaultForTesting(WriteFault fault) {
  std::lock_guard lock(g_faultMutex);
  g_fault = std::move(fault);
}

RandomAccessFile::~RandomAccessFile() { Close(); }

RandomAccessFile::RandomAccessFile(RandomAccessFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

RandomAccessFile& RandomAccessFile::operator=(RandomAccessFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

int RandomAccessFile::Open(const std::string& path) {
  Close();
  if (path.empty()) return ENOENT;
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  fd_ = fd;
  path_ = path;
  return 0;
}

int RandomAccessFile::Reserve(int64_t size) {
  if (fd_ < 0) return EBADF;
  if (size <= 0) return 0;
  if (int injected = AskFault(path_, 0, static_cast<size_t>(size)); injected != 0) return injected;
  int error = posix_fallocate(fd_, 0, static_cast<off_t>(size));
  // File systems without reservation still get the length, so later writes land inside the file.
  if (error == EOPNOTSUPP || error == EINVAL) {
    if (Size() < size && ftruncate(fd_, static_cast<off_t>(size)) != 0) return errno;
    return 0;
  }
  return error;
}

int RandomAccessFile::WriteAt(const char* data, size_t length, int64_t offset) {
  if (fd_ < 0) return EBADF;
  if (length == 0) return 0;
  if (data == nullptr || offset < 0) return EINVAL;
  if (int injected = AskFault(path_, offset, length); injected != 0) return injected;
  size_t written = 0;
  while (written < length) {
    ssize_t n = pwrite(fd_, data + written, length - written,
                       static_cast<off_t>(offset + static_cast<int64_t>(written)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    written += static_cast<size_t>(n);
  }
  return 0;
}

int RandomAccessFile::ReadAt(char* data, size_t length, int64_t offset, size_t* got) const {
  *got = 0;
  if (fd_ < 0) return EBADF;
  if (offset < 0) return EINVAL;
  while (*got < length) {
    ssize_t n =
        pread(fd_, data + *got, length - *got, static_cast<off_t>(offset + static_cast<int64_t>(*got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return 0;
}

int RandomAccessFile::Truncate(int64_t size) {
  if (fd_ < 0) return EBADF;
  return ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int RandomAccessFile::Sync() {
  if (fd_ < 0) return EBADF;
  return fdatasync(fd_) == 0 ? 0 : errno;
}

int64_t RandomAccessFile::Size() const {
  if (fd_ < 0) return -1;
  struct stat info {};
  if (fstat(fd_, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

void RandomAccessFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace platform
