#pragma once
// Small helpers shared by the platform tests: waiting and descriptor counting.

#include <dirent.h>

#include "tests/support/WaitUntil.h"

namespace platformtest {

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
