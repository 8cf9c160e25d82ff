#include "platform/detail/ThreadQueue.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "tests/platform/PlatformTestSupport.h"
#include "tests/support/ThreadState.h"

namespace {

using platform::Message;
using platform::ThreadId;
using platform::detail::FdWatcher;
using platform::detail::ThreadQueue;
using testsupport::ThreadState;
using testsupport::WaitUntil;

constexpr uint32_t kMsgReady = platform::kMsgUser + 21;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool Send(char byte = 'x') const { return ::write(write, &byte, 1) == 1; }
};

void Drain(int fd) {
  char buffer[256];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Drains the pipe, notes the thread it ran on and tells the loop with a posted message.
class PipeWatcher final : public FdWatcher {
 public:
  PipeWatcher(int fd, std::thread::id owner, ThreadId target) : fd_(fd), owner_(owner), target_(target) {}
  void OnFdReady(uint32_t events) override {
    if (std::this_thread::get_id() != owner_) wrongThread = true;
    lastEvents = events;
    Drain(fd_);
    ++calls;
    platform::PostToThread(target_, kMsgReady, 0, 0);
  }

  std::atomic<int> calls{0};
  std::atomic<bool> wrongThread{false};
  std::atomic<uint32_t> lastEvents{0};

 private:
  int fd_;
  std::thread::id owner_;
  ThreadId target_;
};

// A thread that runs its loop until it gets the quit message.
class LoopThread {
 public:
  LoopThread() {
    std::promise<void> ready;
    std::future<void> readyFuture = ready.get_future();
    thread_ = std::thread([this, &ready] {
      queue_ = &platform::detail::CurrentQueue();
      id_ = platform::CurrentThreadId();
      tid_ = gettid();
      threadId_ = std::this_thread::get_id();
      ready.set_value();
      Message message;
      while (platform::GetNextMessage(&message)) {
        if (message.message == kMsgReady) ++readyMessages;
        platform::DispatchMessageToWindow(message);
      }
    });
    readyFuture.wait();
  }
  ~LoopThread() {
    platform::PostToThread(id_, platform::kMsgQuit, 0, 0);
    thread_.join();
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  ThreadQueue& Queue() { return *queue_; }
  ThreadId Id() const { return id_; }
  std::thread::id StdId() const { return threadId_; }
  // Waits (bounded) until the loop sleeps in its wait.
  void WaitUntilBlocked() const {
    WaitUntil([this] { return ThreadState(tid_) == 'S'; }, 2000);
  }

  std::atomic<int> readyMessages{0};

 private:
  std::thread thread_;
  ThreadQueue* queue_ = nullptr;
  ThreadId id_ = 0;
  pid_t tid_ = 0;
  std::thread::id threadId_;
};

TEST(ThreadQueueTest, WatchedPipeWakesTheWaitAndRunsTheWatcherOnTheOwningThread) {
  Pipe pipe;
  ASSERT_GE(pipe.read, 0);
  LoopThread loop;
  PipeWatcher watcher(pipe.read, loop.StdId(), loop.Id());
  loop.WaitUntilBlocked();
  // Registered from this thread while the owner already waits.
  ASSERT_TRUE(loop.Queue().Watch(pipe.read, EPOLLIN, &watcher));
  loop.WaitUntilBlocked();
  ASSERT_TRUE(pipe.Send());
  ASSERT_TRUE(WaitUntil([&] { return watcher.calls.load() >= 1 && loop.readyMessages.load() >= 1; }));
  EXPECT_TRUE(watcher.lastEvents.load() & EPOLLIN);
  loop.WaitUntilBlocked();
  ASSERT_TRUE(pipe.Send());
  ASSERT_TRUE(WaitUntil([&] { return watcher.calls.load() >= 2 && loop.readyMessages.load() >= 2; }));
  EXPECT_FALSE(watcher.wrongThread.load());
  loop.Queue().Unwatch(pipe.read);
  int callsAtUnwatch = watcher.calls.load();
  ASSERT_TRUE(pipe.Send());
  // The loop handles a message after the byte, so an unwanted call would have happened by then.
  int before = loop.readyMessages.load();
  ASSERT_TRUE(platform::PostToThread(loop.Id(), kMsgReady, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return loop.readyMessages.load() > before; }));
  EXPECT_EQ(watcher.calls.load(), callsAtUnwatch);
}

TEST(ThreadQueueTest, UnwatchFromAnotherThreadWhileTheWatcherRunsIsSafe) {
  // The watcher keeps unsynchronised state and is deleted right after Unwatch returns:
  // sanitizers report any call that overlaps or follows Unwatch.
  class CountingWatcher final : public FdWatcher {
   public:
    explicit CountingWatcher(int fd) : fd_(fd) {}
    void OnFdReady(uint32_t) override {
      Drain(fd_);
      ++plainCalls_;
      calls = plainCalls_;
      // Stay inside the call for a while, so Unwatch usually arrives during one.
      auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
      while (std::chrono::steady_clock::now() < until) {
      }
      ++plainCalls_;
    }
    std::atomic<int> calls{0};

   private:
    int fd_;
    int plainCalls_ = 0;
  };

  LoopThread loop;
  for (int round = 0; round < 20; ++round) {
    Pipe pipe;
    ASSERT_GE(pipe.read, 0);
    auto* watcher = new CountingWatcher(pipe.read);
    ASSERT_TRUE(loop.Queue().Watch(pipe.read, EPOLLIN, watcher));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      while (!stop.load()) pipe.Send();
    });
    ASSERT_TRUE(WaitUntil([&] { return watcher->calls.load() >= 5; }));
    loop.Queue().Unwatch(pipe.read);
    delete watcher;
    stop = true;
    writer.join();
  }
}

TEST(ThreadQueueTest, WatcherMayUnwatchItselfFromInsideTheCall) {
  class SelfRemovingWatcher final : public FdWatcher {
   public:
    SelfRemovingWatcher(ThreadQueue& queue, int fd) : queue_(queue), fd_(fd) {}
    void OnFdReady(uint32_t) override {
      ++calls;
      queue_.Unwatch(fd_);
      platform::PostToThread(platform::CurrentThreadId(), kMsgReady, 0, 0);
    }
    int calls = 0;

   private:
    ThreadQueue& queue_;
    int fd_;
  };

  std::thread([] {
    Pipe pipe;
    ThreadQueue& queue = platform::detail::CurrentQueue();
    SelfRemovingWatcher watcher(queue, pipe.read);
    ASSERT_TRUE(queue.Watch(pipe.read, EPOLLIN, &watcher));
    ASSERT_TRUE(pipe.Send());
    Message message;
    ASSERT_TRUE(platform::GetNextMessage(&message));
    EXPECT_EQ(message.message, kMsgReady);
    EXPECT_EQ(watcher.calls, 1);
    // Still readable, but no longer watched.
    ASSERT_TRUE(pipe.Send());
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    EXPECT_EQ(watcher.calls, 1);
  }).join();
}

TEST(ThreadQueueTest, WatchRejectsBadArgumentsAndRewatchChangesTheEvents) {
  std::thread([] {
    Pipe pipe;
    ThreadQueue& queue = platform::detail::CurrentQueue();
    ASSERT_TRUE(queue.Usable());
    PipeWatcher watcher(pipe.write, std::this_thread::get_id(), platform::CurrentThreadId());
    EXPECT_FALSE(queue.Watch(-1, EPOLLIN, &watcher));
    EXPECT_FALSE(queue.Watch(pipe.write, EPOLLOUT, nullptr));
    EXPECT_FALSE(queue.Rewatch(pipe.write, EPOLLOUT));

    // Watched for nothing: a writable pipe end is not reported.
    ASSERT_TRUE(queue.Watch(pipe.write, 0, &watcher));
    EXPECT_FALSE(queue.Watch(pipe.write, EPOLLOUT, &watcher));
    Message message;
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    EXPECT_EQ(watcher.calls.load(), 0);

    ASSERT_TRUE(queue.Rewatch(pipe.write, EPOLLOUT));
    ASSERT_TRUE(platform::PeekNextMessage(&message));
    EXPECT_EQ(message.message, kMsgReady);
    EXPECT_GE(watcher.calls.load(), 1);
    EXPECT_TRUE(watcher.lastEvents.load() & EPOLLOUT);
    queue.Unwatch(pipe.write);
    queue.Unwatch(pipe.write);  // a second time does nothing
    EXPECT_FALSE(queue.Rewatch(pipe.write, EPOLLOUT));
  }).join();
}

int64_t ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Uses up every descriptor number below a lowered limit and gives them all back at the end.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lower = saved_;
    lower.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &lower);
    for (;;) {
      int fd = dup(STDIN_FILENO);
      if (fd < 0) break;
      fillers_.push_back(fd);
    }
  }
  ~DescriptorsExhausted() {
    for (int fd : fillers_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsExhausted(const DescriptorsExhausted&) = delete;
  DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> fillers_;
};

TEST(ThreadQueueTest, QueueWithoutDescriptorsStillDeliversPostsAndTimersWithoutSpinning) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' own checks open descriptors (a pipe to probe memory) and misreport when none
  // are left.
  GTEST_SKIP() << "descriptor exhaustion confuses the sanitizer runtime";
#endif
  std::promise<void> exhaustedSignal;
  std::promise<ThreadId> blocked;
  std::promise<void> done;
  std::promise<void> restored;
  bool usable = true;
  int64_t timerWaitMs = 0;
  int64_t timerCpuMs = 0;
  int64_t postWaitCpuMs = 0;
  bool gotTimer = false;
  bool gotPost = false;
  // The thread starts before the descriptors run out and ends after they are back: sanitizer
  // runtimes may need some at thread start and end.
  std::thread worker([&] {
    exhaustedSignal.get_future().wait();
    ThreadQueue& queue = platform::detail::CurrentQueue();
    usable = queue.Usable();
    uintptr_t timer = platform::StartThreadTimer(
        150, [](void*) {}, nullptr);
    int64_t wallStart = platform::MonotonicMilliseconds();
    int64_t cpuStart = ThreadCpuMilliseconds();
    Message message;
    gotTimer = platform::GetNextMessage(&message) && message.message == platform::kMsgTimer;
    timerCpuMs = ThreadCpuMilliseconds() - cpuStart;
    timerWaitMs = platform::MonotonicMilliseconds() - wallStart;
    platform::StopThreadTimer(timer);

    blocked.set_value(platform::CurrentThreadId());
    cpuStart = ThreadCpuMilliseconds();
    gotPost = platform::GetNextMessage(&message) && message.message == kMsgReady;
    postWaitCpuMs = ThreadCpuMilliseconds() - cpuStart;
    done.set_value();
    restored.get_future().wait();
  });
  {
    std::future<ThreadId> blockedFuture = blocked.get_future();
    std::future<void> doneFuture = done.get_future();
    DescriptorsExhausted exhausted;
    exhaustedSignal.set_value();
    ThreadId id = blockedFuture.get();
    // Let the worker wait a while before the post arrives.
    int64_t until = platform::MonotonicMilliseconds() + 150;
    WaitUntil([&] { return platform::MonotonicMilliseconds() >= until; });
    EXPECT_TRUE(platform::PostToThread(id, kMsgReady, 0, 0));
    doneFuture.wait();
  }
  restored.set_value();
  worker.join();
  if (usable) GTEST_SKIP() << "the queue found descriptors despite the lowered limit";
  EXPECT_TRUE(gotTimer);
  EXPECT_GE(timerWaitMs, 100);
  EXPECT_LT(timerCpuMs, 75);
  EXPECT_TRUE(gotPost);
  EXPECT_LT(postWaitCpuMs, 75);
}

}  // namespace
