#pragma once
// The queue behind one thread's message loop. Private to platform/: the socket code of this
// layer registers descriptors here so that their readiness wakes the same wait.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/MessageLoop.h"

namespace platform::detail {

// Receives readiness of a watched descriptor, on the queue's thread, inside its wait.
class FdWatcher {
 public:
  virtual void OnFdReady(uint32_t epollEvents) = 0;

 protected:
  ~FdWatcher() = default;
};

class ThreadQueue : public std::enable_shared_from_this<ThreadQueue> {
 public:
  explicit ThreadQueue(ThreadId id);
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  ThreadId Id() const { return id_; }
  bool Usable() const { return epollFd_ >= 0 && eventFd_ >= 0; }

  // At the end of the owning thread: its windows go and posts to it fail from now on.
  void Retire();

  // Any thread.
  void Push(const Message& message);
  void RequestQuit(int exitCode);

  // Owning thread only. `wait` false: poll once without blocking.
  bool Next(Message* out, bool wait);

  uintptr_t StartTimer(uint32_t periodMs, TimerProc proc, void* context);
  bool StopTimer(uintptr_t timerId);
  // Runs the timer's procedure; false when the timer is gone.
  bool FireTimer(uintptr_t timerId);

  // Any thread. The watcher is called on the owning thread; Unwatch waits for a call in progress
  // (unless it runs inside that call) so the watcher may be destroyed right after it.
  bool Watch(int fd, uint32_t epollEvents, FdWatcher* watcher);
  bool Rewatch(int fd, uint32_t epollEvents);
  void Unwatch(int fd);
  // Held while a watcher runs; callers that keep state shared with a watcher take it too.
  std::recursive_mutex& WatchLock() { return watchMutex_; }

 private:
  struct Timer {
    uintptr_t id;
    int64_t periodMs;
    TimerProc proc;
    void* context;
    int64_t due;
  };

  bool TakeDueTimer(int64_t now, Message* out);
  int TimeoutToNextTimer(int64_t now);
  void WaitForEvents(int timeoutMs);
  void Wake();

  const ThreadId id_;
  int epollFd_ = -1;
  int eventFd_ = -1;

  std::mutex mutex_;  // posted_, quit, timers_
  std::deque<Message> posted_;
  bool quitRequested_ = false;
  int quitCode_ = 0;
  std::vector<Timer> timers_;

  std::recursive_mutex watchMutex_;  // held while a watcher runs
  std::unordered_map<int, FdWatcher*> watchers_;
};

// The calling thread's queue, created on first use.
ThreadQueue& CurrentQueue();
// The calling thread's queue, or null when it has none.
ThreadQueue* CurrentQueueIfAny();
// The queue of the thread that owns `window` (null for none, or for a hooked window).
std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle window);

}  // namespace platform::detail
