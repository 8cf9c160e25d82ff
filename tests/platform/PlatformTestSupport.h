#pragma once
// Small helpers shared by the platform tests: bounded waiting and descriptor counting.

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/Clock.h"

namespace platformtest {

// Polls `condition` until it holds or `timeoutMs` passed; true when it held.
inline bool WaitUntil(const std::function<bool()>& condition, int64_t timeoutMs = 5000) {
  int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (platform::MonotonicMilliseconds() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Open descriptors of this process (the directory handle used to count is not included).
inline int CountOpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return count - 1;
}

}  // namespace platformtest
