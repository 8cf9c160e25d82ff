#pragma once
// Folder trees built aside and moved into place: what unpacking an archive needs so that a failure
// never leaves a half-written folder behind. Failures are answered as the system's error number
// (0: success). Nothing here follows a symbolic link below the folders it is given.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Creates a new, empty folder (owner access only) beside `path`, in the same parent folder, so that
// renames between the two stay on one file system: "<parent>/.<name of path>.unpack-XXXXXX". The
// parent and every missing level above it are created first. `*created` receives the folder's path.
int MakeTemporaryDirectoryBeside(const std::string& path, std::string* created);

// Removes `path` and everything below it. Symbolic links are removed, never followed. Nothing there
// is success.
int RemoveTree(const std::string& path);

// A file written from the start, in pieces, for a folder built aside.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates the file, or empties a file already there, with exactly the permission bits `mode`
  // (the process's umask does not apply). A symbolic link at `path` is refused (ELOOP).
  int Create(const std::string& path, unsigned mode);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes all `length` bytes at the end.
  int Write(const void* data, size_t length);
  // Sets the file's modification time (and its access time to the same).
  int SetModificationTime(int64_t seconds, int64_t nanoseconds);
  // Closes the file; a failure of the close (a deferred write error) is answered too.
  int Close();

 private:
  int fd_ = -1;
};

// Moves every file of the tree `from` to the same place below `to`, creating `to` and the folders
// it lacks, and replacing files there. All or nothing: before anything moves, every place is
// checked (a folder of `from` may only meet a real folder, never a symbolic link or a file; a file
// may not meet a folder), and a move that fails half-way takes back what was moved, created or
// replaced. The files left in `from` afterwards are not the caller's: remove the tree.
int MoveTreeInto(const std::string& from, const std::string& to);

// Test seam: when set, MoveTreeInto asks `fault` before it moves each file (its path relative to
// the trees); a non-zero answer fails that move with that error number. Null removes it.
using MoveFault = std::function<int(const std::string& relative)>;
void SetMoveFaultForTesting(MoveFault fault);

// While it lives, the calling thread converts multibyte text as UTF-8, whatever locale the process
// runs in (a program that never sets one runs in "C", where non-ASCII names in archives cannot be
// converted at all). Other threads are not affected. Does nothing when no UTF-8 locale exists.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale();
  ~ScopedUtf8Locale();
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  void* previous_ = nullptr;
};

}  // namespace platform
