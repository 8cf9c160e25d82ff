#pragma once
// Whether a thread of this process sleeps in a wait, read from /proc: a test that must show that
// a thread is held (by a lock, an empty queue) waits until it sleeps there instead of waiting a
// while and hoping it got that far.

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace testsupport {

// The kernel's id of the calling thread, for ThreadState.
inline pid_t CurrentThreadTid() { return gettid(); }

// State letter of a thread of this process ('S' while it sleeps in a wait, '?' once it ended).
inline char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::string::size_type paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : '?';
}

}  // namespace testsupport
