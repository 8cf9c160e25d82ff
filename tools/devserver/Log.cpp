#include "tools/devserver/Log.h"

#include <cstdio>
#include <mutex>

namespace devserver {

void LogLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fprintf(stderr, "orba-devserver: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace devserver
