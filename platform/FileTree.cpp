#include "platform/FileTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"

namespace platform {

namespace {

std::mutex g_faultMutex;
MoveFault g_fault;

int AskFault(const std::string& relative) {
  std::lock_guard lock(g_faultMutex);
  return g_fault ? g_fault(relative) : 0;
}

// The name of a temporary folder stays well below the system's limit of a name.
constexpr size_t kMaxNameInTemporary = 64;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// "a/b/c" -> "a/b" and "c"; "c" -> "" and "c".
std::pair<std::string, std::string> SplitLast(const std::string& relative) {
  std::string::size_type slash = relative.find_last_of('/');
  if (slash == std::string::npos) return {std::string(), relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

// A descriptor that closes itself.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

int OpenFolder(int at, const char* name, Descriptor* out) {
  int fd = -1;
  do {
    fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *out = Descriptor(fd);
  return 0;
}

// Opens the folder `relative` below `root` one level at a time, never through a symbolic link
// (ELOOP or ENOTDIR when a level is one).
int OpenBelow(int root, const std::string& relative, Descriptor* out) {
  Descriptor current;
  int error = OpenFolder(root, ".", &current);
  std::string::size_type from = 0;
  while (error == 0 && from < relative.size()) {
    std::string::size_type slash = relative.find('/', from);
    if (slash == std::string::npos) slash = relative.size();
    std::string level = relative.substr(from, slash - from);
    from = slash + 1;
    if (level.empty()) continue;
    Descriptor next;
    error = OpenFolder(current.Get(), level.c_str(), &next);
    current = std::move(next);
  }
  if (error == 0) *out = std::move(current);
  return error;
}

struct Step {
  std::string relative;
  bool folder;
};

// Every folder and file below `at`, each folder before what it holds, in name order.
int ListTree(int at, const std::string& prefix, std::vector<Step>& steps) {
  Descriptor self;
  if (int error = OpenFolder(at, ".", &self); error != 0) return error;
  int listingFd = fcntl(self.Get(), F_DUPFD_CLOEXEC, 0);
  if (listingFd < 0) return errno;
  DIR* dir = fdopendir(listingFd);  // owns listingFd from here on
  if (dir == nullptr) {
    int error = errno;
    close(listingFd);
    return error;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  int readError = errno;
  closedir(dir);
  if (readError != 0) return readError;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct stat info {};
    if (fstatat(self.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (S_ISDIR(info.st_mode)) {
      steps.push_back({relative, true});
      Descriptor child;
      if (int error = OpenFolder(self.Get(), name.c_str(), &child); error != 0) return error;
      if (int error = ListTree(child.Get(), relative, steps); error != 0) return error;
    } else if (S_ISREG(info.st_mode)) {
      steps.push_back({relative, false});
    } else {
      return ELOOP;  // a tree built aside holds folders and files only
    }
  }
  return 0;
}

// Whether `step` may be placed below `to`: nothing there yet, a real folder for a folder, anything
// but a folder for a file.
int CheckPlace(int to, const Step& step) {
  auto [parent, name] = SplitLast(step.relative);
  Descriptor folder;
  int error = OpenBelow(to, parent, &folder);
  if (error == ENOENT) return 0;  // created on the way
  if (error != 0) return error;
  struct stat info {};
  if (fstatat(folder.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : errno;
  if (step.folder) {
    if (S_ISDIR(info.st_mode)) return 0;
    return S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
  }
  return S_ISDIR(info.st_mode) ? EISDIR : 0;
}

enum class Done { kCreatedFolder, kMoved, kExchanged, kReplaced };

struct Record {
  Done what;
  std::string relative;
};

int MoveFile(int from, int to, const std::string& relative, std::vector<Record>& journal) {
  if (int injected = AskFault(relative); injected != 0) return injected;
  auto [parent, name] = SplitLast(relative);
  Descriptor source;
  Descriptor target;
  if (int error = OpenBelow(from, parent, &source); error != 0) return error;
  if (int error = OpenBelow(to, parent, &target); error != 0) return error;
  struct stat info {};
  bool exists = fstatat(target.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return errno;
  if (exists && S_ISDIR(info.st_mode)) return EISDIR;
  if (exists) {
    // Swapped, the old file waits in the tree aside and can be put back.
    if (renameat2(source.Get(), name.c_str(), target.Get(), name.c_str(), RENAME_EXCHANGE) == 0) {
      journal.push_back({Done::kExchanged, relative});
      return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  }
  if (renameat(source.Get(), name.c_str(), target.Get(), name.c_str()) != 0) return errno;
  journal.push_back({exists ? Done::kReplaced : Done::kMoved, relative});
  return 0;
}

int PlaceFolder(int to, const std::string& relative, std::vector<Record>& journal) {
  auto [parent, name] = SplitLast(relative);
  Descriptor target;
  if (int error = OpenBelow(to, parent, &target); error != 0) return error;
  if (mkdirat(target.Get(), name.c_str(), 0755) == 0) {
    journal.push_back({Done::kCreatedFolder, relative});
    return 0;
  }
  if (errno != EEXIST) return errno;
  struct stat info {};
  if (fstatat(target.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return 0;
  return S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
}

// Takes back what the journal records, newest first. Best effort: a replaced file on a file system
// that cannot swap two names is gone.
void Undo(int from, int to, const std::vector<Record>& journal) {
  for (auto record = journal.rbegin(); record != journal.rend(); ++record) {
    auto [parent, name] = SplitLast(record->relative);
    Descriptor target;
    if (OpenBelow(to, parent, &target) != 0) continue;
    switch (record->what) {
      case Done::kCreatedFolder:
        unlinkat(target.Get(), name.c_str(), AT_REMOVEDIR);
        break;
      case Done::kMoved:
        unlinkat(target.Get(), name.c_str(), 0);
        break;
      case Done::kExchanged: {
        Descriptor source;
        if (OpenBelow(from, parent, &source) == 0) {
          renameat2(source.Get(), name.c_str(), target.Get(), name.c_str(), RENAME_EXCHANGE);
        }
        break;
      }
      case Done::kReplaced:
        break;
    }
  }
}

}  // namespace

int MakeTemporaryDirectoryBeside(const std::string& path, std::string* created) {
  std::string target = WithoutTrailingSlashes(path);
  if (target.empty() || target == "/") return EINVAL;
  std::string::size_type slash = target.find_last_of('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name == "." || name == "..") return EINVAL;
  if (parent != "." && parent != "/") {
    if (int error = CreateDirectories(parent); error != 0) return error;
  }
  std::string pattern = (parent == "/" ? std::string("/") : parent + "/") + "." +
                        name.substr(0, kMaxNameInTemporary) + ".unpack-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return errno;
  *created = buffer.data();
  return 0;
}

int RemoveTree(const std::string& path) {
  if (path.empty()) return EINVAL;
  std::error_code error;
  std::filesystem::remove_all(path, error);
  return error.value();
}

NewFile::~NewFile() { Close(); }

int NewFile::Create(const std::string& path, unsigned mode) {
  Close();
  if (path.empty()) return ENOENT;
  int fd = -1;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  fd_ = fd;
  if (fchmod(fd_, static_cast<mode_t>(mode & 07777)) != 0) {
    int error = errno;
    Close();
    return error;
  }
  return 0;
}

int NewFile::Write(const void* data, size_t length) {
  if (fd_ < 0) return EBADF;
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < length) {
    ssize_t n = write(fd_, bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    written += static_cast<size_t>(n);
  }
  return 0;
}

int NewFile::SetModificationTime(int64_t seconds, int64_t nanoseconds) {
  if (fd_ < 0) return EBADF;
  if (nanoseconds < 0 || nanoseconds > 999999999) nanoseconds = 0;
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = static_cast<long>(nanoseconds);
  times[1] = times[0];
  return futimens(fd_, times) == 0 ? 0 : errno;
}

int NewFile::Close() {
  if (fd_ < 0) return 0;
  int result = close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return result == EINTR ? 0 : result;
}

int MoveTreeInto(const std::string& from, const std::string& to) {
  std::string source = WithoutTrailingSlashes(from);
  std::string target = WithoutTrailingSlashes(to);
  if (source.empty() || target.empty()) return EINVAL;

  Descriptor fromFolder;
  if (int error = OpenFolder(AT_FDCWD, source.c_str(), &fromFolder); error != 0) return error;
  std::vector<Step> steps;
  if (int error = ListTree(fromFolder.Get(), std::string(), steps); error != 0) return error;

  // Check every place before anything moves.
  struct stat fromInfo {};
  if (fstat(fromFolder.Get(), &fromInfo) != 0) return errno;
  struct stat toInfo {};
  bool targetExists = stat(target.c_str(), &toInfo) == 0;
  if (!targetExists && errno != ENOENT) return errno;
  if (targetExists) {
    if (!S_ISDIR(toInfo.st_mode)) return ENOTDIR;
    if (toInfo.st_dev != fromInfo.st_dev) return EXDEV;
    // The target folder itself may be reached through a link; only what is below it may not.
    int fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    Descriptor toFolder(fd);
    for (const Step& step : steps) {
      if (int error = CheckPlace(toFolder.Get(), step); error != 0) return error;
    }
  }

  bool createdTarget = false;
  if (!targetExists) {
    auto [parent, name] = SplitLast(target);
    if (!parent.empty()) {
      if (int error = CreateDirectories(parent); error != 0) return error;
    }
    if (mkdir(target.c_str(), 0755) != 0) return errno;
    createdTarget = true;
  }
  int fd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    if (createdTarget) rmdir(target.c_str());
    return error;
  }
  Descriptor toFolder(fd);

  std::vector<Record> journal;
  int error = 0;
  for (const Step& step : steps) {
    error = step.folder ? PlaceFolder(toFolder.Get(), step.relative, journal)
                        : MoveFile(fromFolder.Get(), toFolder.Get(), step.relative, journal);
    if (error != 0) break;
  }
  if (error != 0) {
    Undo(fromFolder.Get(), toFolder.Get(), journal);
    toFolder.Reset();
    if (createdTarget) rmdir(target.c_str());
  }
  return error;
}

void SetMoveFaultForTesting(MoveFault fault) {
  std::lock_guard lock(g_faultMutex);
  g_fault = std::move(fault);
}

namespace {

// Made once and kept for the life of the process: threads may hold it at any time.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t made = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) return made;
    }
    return static_cast<locale_t>(nullptr);
  }();
  return locale;
}

}  // namespace

ScopedUtf8Locale::ScopedUtf8Locale() {
  if (locale_t utf8 = Utf8Locale()) previous_ = uselocale(utf8);
}

ScopedUtf8Locale::~ScopedUtf8Locale() {
  if (previous_ != nullptr) uselocale(static_cast<locale_t>(previous_));
}

}  // namespace platform
