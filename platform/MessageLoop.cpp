#include "platform/MessageLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

#include "platform/Clock.h"
#include "platform/detail/ThreadQueue.h"

namespace platform {
namespace {

struct WindowEntry {
  detail::ThreadQueue* owner = nullptr;  // null for hooked windows
  WindowProc proc = nullptr;
  void* context = nullptr;
  PostHook hook;
  std::recursive_mutex hookMutex;  // held while the hook runs
  bool alive = true;               // guarded by hookMutex
};

// Which queues and windows exist. Lock order: registry, then a queue's own mutex.
struct Registry {
  std::mutex mutex;
  std::unordered_map<ThreadId, detail::ThreadQueue*> queues;
  std::unordered_map<WindowHandle, std::shared_ptr<WindowEntry>> windows;
  WindowHandle nextWindow = 0x1000;
};

Registry& TheRegistry() {
  // Never destroyed: threads may still post while the process exits.
  static Registry* registry = new Registry;
  return *registry;
}

std::atomic<ThreadId> g_nextThreadId{1};
std::atomic<uintptr_t> g_nextTimerId{1};

thread_local ThreadId t_threadId = 0;
// Holds the thread's queue; at thread exit the queue retires (its windows go, posts fail) but
// stays alive while sockets still watched in its epoll set refer to it.
struct QueueHolder {
  std::shared_ptr<detail::ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) queue->Retire();
  }
};
thread_local QueueHolder t_queue;

constexpr uint64_t kWakeMarker = UINT64_MAX;
constexpr int kUnusablePollMs = 10;

}  // namespace

ThreadId CurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
  return t_threadId;
}

namespace detail {

ThreadQueue& CurrentQueue() {
  if (!t_queue.queue) {
    t_queue.queue = std::make_shared<ThreadQueue>(CurrentThreadId());
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.queues[t_queue.queue->Id()] = t_queue.queue.get();
  }
  return *t_queue.queue;
}

ThreadQueue* CurrentQueueIfAny() { return t_queue.queue.get(); }

std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle window) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.windows.find(window);
  if (it == registry.windows.end() || it->second->owner == nullptr) return nullptr;
  return it->second->owner->shared_from_this();
}

ThreadQueue::ThreadQueue(ThreadId id) : id_(id) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  eventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epollFd_ >= 0 && eventFd_ >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeMarker;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &event) == 0) return;
  }
  // Half a set-up would sleep through posts; without both the queue polls (see WaitForEvents).
  if (eventFd_ >= 0) close(eventFd_);
  if (epollFd_ >= 0) close(epollFd_);
  eventFd_ = -1;
  epollFd_ = -1;
}

ThreadQueue::~ThreadQueue() {
  Retire();
  if (eventFd_ >= 0) close(eventFd_);
  if (epollFd_ >= 0) close(epollFd_);
}

void ThreadQueue::Retire() {
  // The thread is ending: its windows go with it, and nobody can post to it any more.
  Registry& registry = TheRegistry();
  std::vector<std::shared_ptr<WindowEntry>> owned;
  {
    std::lock_guard lock(registry.mutex);
    registry.queues.erase(id_);
    for (auto it = registry.windows.begin(); it != registry.windows.end();) {
      if (it->second->owner == this) {
        owned.push_back(it->second);
        it = registry.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void ThreadQueue::Wake() {
  if (eventFd_ < 0) return;
  uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can go wrong here.
  [[maybe_unused]] ssize_t written = write(eventFd_, &one, sizeof one);
}

void ThreadQueue::Push(const Message& message) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(message);
  }
  Wake();
}

void ThreadQueue::RequestQuit(int exitCode) {
  {
    std::lock_guard lock(mutex_);
    quitRequested_ = true;
    quitCode_ = exitCode;
  }
  Wake();
}

bool ThreadQueue::TakeDueTimer(int64_t now, Message* out) {
  std::lock_guard lock(mutex_);
  for (Timer& timer : timers_) {
    if (now < timer.due) continue;
    // One message per take; periods missed meanwhile are skipped, not queued.
    timer.due += timer.periodMs;
    if (timer.due <= now) timer.due = now + timer.periodMs;
    *out = Message{0, kMsgTimer, timer.id, 0};
    return true;
  }
  return false;
}

int ThreadQueue::TimeoutToNextTimer(int64_t now) {
  std::lock_guard lock(mutex_);
  if (timers_.empty()) return -1;
  int64_t next = INT64_MAX;
  for (const Timer& timer : timers_) next = std::min(next, timer.due);
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, INT_MAX));
}

void ThreadQueue::WaitForEvents(int timeoutMs) {
  if (!Usable()) {
    // No epoll set or eventfd (descriptors ran out): poll the queue instead of spinning on it.
    int sleepMs = timeoutMs < 0 ? kUnusablePollMs : std::min(timeoutMs, kUnusablePollMs);
    if (sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    return;
  }
  epoll_event events[32];
  int count = epoll_wait(epollFd_, events, 32, timeoutMs);
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeMarker) {
      uint64_t value;
      while (read(eventFd_, &value, sizeof value) > 0) {
      }
      continue;
    }
    int fd = static_cast<int>(events[i].data.u64);
    std::lock_guard lock(watchMutex_);
    auto it = watchers_.find(fd);
    if (it != watchers_.end()) it->second->OnFdReady(events[i].events);
  }
}

bool ThreadQueue::Next(Message* out, bool wait) {
  bool polled = false;
  for (;;) {
    int64_t now = MonotonicMilliseconds();
    // A due timer goes first, so a stream of posts can neither starve nor slow it.
    if (TakeDueTimer(now, out)) return true;
    {
      std::lock_guard lock(mutex_);
      if (!posted_.empty()) {
        *out = posted_.front();
        posted_.pop_front();
        return true;
      }
      if (quitRequested_) {
        quitRequested_ = false;
        *out = Message{0, kMsgQuit, static_cast<uintptr_t>(quitCode_), 0};
        return true;
      }
    }
    if (!wait && polled) return false;
    WaitForEvents(wait ? TimeoutToNextTimer(now) : 0);
    polled = true;
  }
}

uintptr_t ThreadQueue::StartTimer(uint32_t periodMs, TimerProc proc, void* context) {
  if (proc == nullptr || periodMs == 0) return 0;
  uintptr_t id = g_nextTimerId.fetch_add(1);
  {
    std::lock_guard lock(mutex_);
    timers_.push_back(Timer{id, periodMs, proc, context, MonotonicMilliseconds() + periodMs});
  }
  Wake();  // the wait in progress may have to end sooner
  return id;
}

bool ThreadQueue::StopTimer(uintptr_t timerId) {
  std::lock_guard lock(mutex_);
  auto it =
      std::find_if(timers_.begin(), timers_.end(), [timerId](const Timer& t) { return t.id == timerId; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  return true;
}

bool ThreadQueue::FireTimer(uintptr_t timerId) {
  TimerProc proc = nullptr;
  void* context = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (const Timer& timer : timers_) {
      if (timer.id == timerId) {
        proc = timer.proc;
        context = timer.context;
        break;
      }
    }
  }
  if (proc == nullptr) return false;
  proc(context);
  return true;
}

bool ThreadQueue::Watch(int fd, uint32_t epollEvents, FdWatcher* watcher) {
  if (!Usable() || fd < 0 || watcher == nullptr) return false;
  std::lock_guard lock(watchMutex_);
  epoll_event event{};
  event.events = epollEvents;
  event.data.u64 = static_cast<uint64_t>(fd);
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) return false;
  watchers_[fd] = watcher;
  return true;
}

bool ThreadQueue::Rewatch(int fd, uint32_t epollEvents) {
  std::lock_guard lock(watchMutex_);
  if (watchers_.find(fd) == watchers_.end()) return false;
  epoll_event event{};
  event.events = epollEvents;
  event.data.u64 = static_cast<uint64_t>(fd);
  return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) == 0;
}

void ThreadQueue::Unwatch(int fd) {
  std::lock_guard lock(watchMutex_);
  if (watchers_.erase(fd) > 0) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

}  // namespace detail

void EnsureMessageQueue() { detail::CurrentQueue(); }

WindowHandle CreateMessageWindow(WindowProc proc, void* context) {
  if (proc == nullptr) return 0;
  auto entry = std::make_shared<WindowEntry>();
  entry->owner = &detail::CurrentQueue();
  entry->proc = proc;
  entry->context = context;
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  WindowHandle handle = registry.nextWindow++;
  registry.windows.emplace(handle, std::move(entry));
  return handle;
}

WindowHandle CreateHookedWindow(PostHook hook) {
  if (!hook) return 0;
  auto entry = std::make_shared<WindowEntry>();
  entry->hook = std::move(hook);
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  WindowHandle handle = registry.nextWindow++;
  registry.windows.emplace(handle, std::move(entry));
  return handle;
}

bool DestroyMessageWindow(WindowHandle window) {
  std::shared_ptr<WindowEntry> entry;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end()) return false;
    entry = std::move(it->second);
    registry.windows.erase(it);
  }
  // Waits for a hook call in progress on another thread.
  std::lock_guard hookLock(entry->hookMutex);
  entry->alive = false;
  return true;
}

bool IsMessageWindow(WindowHandle window) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  return registry.windows.count(window) != 0;
}

bool PostToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::shared_ptr<WindowEntry> hooked;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end()) return false;
    if (it->second->owner != nullptr) {
      // Pushed under the registry lock, so the owning queue cannot be gone meanwhile.
      it->second->owner->Push(Message{window, message, wParam, lParam});
      return true;
    }
    hooked = it->second;
  }
  std::lock_guard hookLock(hooked->hookMutex);
  if (!hooked->alive) return false;
  hooked->hook(Message{window, message, wParam, lParam});
  return true;
}

bool PostToThread(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.queues.find(thread);
  if (it == registry.queues.end()) return false;
  it->second->Push(Message{0, message, wParam, lParam});
  return true;
}

void PostQuit(int exitCode) { detail::CurrentQueue().RequestQuit(exitCode); }

bool GetNextMessage(Message* out) {
  detail::CurrentQueue().Next(out, true);
  return out->message != kMsgQuit;
}

bool PeekNextMessage(Message* out) { return detail::CurrentQueue().Next(out, false); }

intptr_t DispatchMessageToWindow(const Message& message) {
  if (message.window == 0) {
    if (message.message == kMsgTimer) {
      if (detail::ThreadQueue* queue = detail::CurrentQueueIfAny()) queue->FireTimer(message.wParam);
    }
    return 0;
  }
  WindowProc proc = nullptr;
  void* context = nullptr;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.windows.find(message.window);
    if (it == registry.windows.end() || it->second->owner == nullptr) return 0;
    proc = it->second->proc;
    context = it->second->context;
  }
  return proc(context, message.window, message.message, message.wParam, message.lParam);
}

uintptr_t StartThreadTimer(uint32_t periodMs, TimerProc proc, void* context) {
  return detail::CurrentQueue().StartTimer(periodMs, proc, context);
}

bool StopThreadTimer(uintptr_t timerId) {
  detail::ThreadQueue* queue = detail::CurrentQueueIfAny();
  return queue != nullptr && queue->StopTimer(timerId);
}

}  // namespace platform
