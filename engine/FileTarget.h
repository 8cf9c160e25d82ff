#pragma once
// Where a file of a job goes on disk, and which of its URLs the engine can serve. Names come from
// the library's file list and must never lead outside their folder.

#include <string>
#include <vector>

namespace engine {

struct FileTarget {
  std::string path;   // <folder>/<name>; empty when refused
  std::string error;  // why the name or folder was refused
};

// `folder` is absolute, with or without a trailing separator ('/' or '\'); `fileName` is one plain
// name: no separators, no "." or "..", no control characters, short enough for its partial file.
FileTarget ResolveTarget(const std::string& folder, const std::string& fileName);

// One alternative of a file's URL field ("u1|u2|...").
struct MirrorUrl {
  std::string url;
  std::string server;   // scheme://host:port in lower case: what the connection limits count
  bool served = false;  // http or https with a host
};

std::vector<MirrorUrl> SplitMirrors(const std::string& urlField);

}  // namespace engine
