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
bool RemoveFile(const std::string& path);
std::optional<int64_t> FileSize(const std::string& path);
// Bytes free for an unprivileged user on the file system that holds `path`; a path that does not
// exist yet is measured at its nearest existing ancestor.
std::optional<int64_t> FreeSpace(const std::string& path);

}  // namespace platform
