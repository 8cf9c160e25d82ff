#pragma once
// Files and folders. Paths are native ('/'-separated) UTF-8 text.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

bool PathExists(const std::string& path);
bool FileExists(const std::string& path);       // a regular file
bool DirectoryExists(const std::string& path);  // a folder
// Creates one folder level (the parent must exist). True when the folder exists afterwards.
bool CreateDirectoryLevel(const std::string& path);
// Creates the folder and every missing folder above it. 0, or the error number of the level that
// failed (EEXIST when something that is not a folder is in the way).
int CreateDirectories(const std::string& path);
bool RemoveFile(const std::string& path);
// Renames `from` to `to`, replacing `to` in one step. 0 or the error number.
int RenameReplacing(const std::string& from, const std::string& to);
// Replaces the file at `path` by `bytes` so that a reader (or a restart after a crash) finds the
// old bytes or the new ones, never a mixture: written to a temporary file beside it, flushed to the
// disk, renamed over it. 0 or the error number.
int WriteFileAtomically(const std::string& path, const std::string& bytes);
// The whole file, when it is a regular file of at most `maxBytes` bytes.
std::optional<std::string> ReadSmallFile(const std::string& path, int64_t maxBytes);
std::optional<int64_t> FileSize(const std::string& path);
// Bytes free for an unprivileged user on the file system that holds `path`; a path that does not
// exist yet is measured at its nearest existing ancestor.
std::optional<int64_t> FreeSpace(const std::string& path);

}  // namespace platform
