#pragma once
// The engine's log, engine.log in its folder. It never grows past its cap: when a line would pass
// it, the log is moved to engine.log.old (replacing the one before) and starts afresh.

#include <cstdint>
#include <string>

#include "platform/RandomAccessFile.h"

namespace engine {

class EngineLog {
 public:
  static constexpr int64_t kCapBytes = 1 << 20;

  // Opens <folder>/engine.log for appending; a log that cannot be opened is silently off.
  void Open(const std::string& folder);
  void Write(const std::string& line);
  const std::string& Path() const { return path_; }

 private:
  platform::RandomAccessFile file_;
  std::string path_;
  int64_t end_ = 0;
};

}  // namespace engine
