#include "platform/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "tests/platform/PlatformTestSupport.h"

namespace {

using platform::DispatchMessageToWindow;
using platform::GetNextMessage;
using platform::Message;
using platform::MonotonicMilliseconds;
using platform::PostToThread;
using platform::PostToWindow;
using platform::ThreadId;
using platform::WindowHandle;
using testsupport::WaitUntil;

constexpr uint32_t kMsgTest = platform::kMsgUser + 7;

// Each test runs its loop on a thread of its own, so no queue state leaks between tests.
template <typename Body>
void OnFreshThread(Body&& body) {
  std::thread thread(std::forward<Body>(body));
  thread.join();
}

// Runs the calling thread's loop until done() holds or timeoutMs passed. A watchdog timer keeps
// a broken post from hanging the test in GetNextMessage.
bool PumpUntil(const std::function<bool()>& done, int64_t timeoutMs = 5000) {
  struct Watchdog {
    int64_t deadline;
    bool expired = false;
  } watchdog{MonotonicMilliseconds() + timeoutMs};
  uintptr_t timer = platform::StartThreadTimer(
      20,
      [](void* context) {
        auto* dog = static_cast<Watchdog*>(context);
        if (MonotonicMilliseconds() > dog->deadline) dog->expired = true;
      },
      &watchdog);
  Message message;
  while (!done() && !watchdog.expired) {
    if (!GetNextMessage(&message)) break;
    DispatchMessageToWindow(message);
  }
  platform::StopThreadTimer(timer);
  return done();
}

// Records what a window procedure received.
struct Recorder {
  std::thread::id owner = std::this_thread::get_id();
  std::vector<Message> messages;
  bool wrongThread = false;
  intptr_t answer = 0;
};

intptr_t RecordingProc(void* context, WindowHandle window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) {
  auto* recorder = static_cast<Recorder*>(context);
  if (std::this_thread::get_id() != recorder->owner) recorder->wrongThread = true;
  recorder->messages.push_back(Message{window, message, wParam, lParam});
  return recorder->answer;
}

TEST(MessageLoopTest, CreateWindowNeedsAProcedureAndHookedWindowNeedsAHook) {
  OnFreshThread([] {
    EXPECT_EQ(platform::CreateMessageWindow(nullptr, nullptr), 0u);
    EXPECT_EQ(platform::CreateHookedWindow(platform::PostHook()), 0u);
    EXPECT_FALSE(platform::IsMessageWindow(0));
    EXPECT_FALSE(PostToWindow(0, kMsgTest, 0, 0));
    EXPECT_FALSE(platform::DestroyMessageWindow(0));
  });
}

TEST(MessageLoopTest, DispatchRunsTheProcedureWithTheMessageAndReturnsItsAnswer) {
  OnFreshThread([] {
    Recorder recorder;
    recorder.answer = 42;
    WindowHandle window = platform::CreateMessageWindow(&RecordingProc, &recorder);
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(platform::IsMessageWindow(window));
    ASSERT_TRUE(PostToWindow(window, kMsgTest, 11, -22));
    Message message;
    ASSERT_TRUE(GetNextMessage(&message));
    EXPECT_EQ(message.window, window);
    EXPECT_EQ(message.message, kMsgTest);
    EXPECT_EQ(message.wParam, 11u);
    EXPECT_EQ(message.lParam, -22);
    // Nothing runs before the loop dispatches.
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(DispatchMessageToWindow(message), 42);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].wParam, 11u);
    EXPECT_EQ(recorder.messages[0].lParam, -22);
    EXPECT_TRUE(platform::DestroyMessageWindow(window));
  });
}

TEST(MessageLoopTest, WindowHandlesAreNotReusedAfterDestruction) {
  OnFreshThread([] {
    Recorder recorder;
    WindowHandle first = platform::CreateMessageWindow(&RecordingProc, &recorder);
    ASSERT_TRUE(platform::DestroyMessageWindow(first));
    WindowHandle second = platform::CreateMessageWindow(&RecordingProc, &recorder);
    EXPECT_NE(first, second);
    EXPECT_FALSE(PostToWindow(first, kMsgTest, 0, 0));
    platform::DestroyMessageWindow(second);
  });
}

constexpr int kPosters = 4;
constexpr int kPerPoster = 2000;

TEST(MessageLoopTest, PostsFromSeveralThreadsAllArriveInPostingOrderPerPoster) {
  OnFreshThread([] {
    Recorder recorder;
    WindowHandle window = platform::CreateMessageWindow(&RecordingProc, &recorder);
    ASSERT_NE(window, 0u);
    std::atomic<int> failedPosts{0};
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster) {
      posters.emplace_back([window, poster, &failedPosts] {
        for (int sequence = 0; sequence < kPerPoster; ++sequence) {
          if (!PostToWindow(window, kMsgTest, static_cast<uintptr_t>(poster), sequence)) ++failedPosts;
        }
      });
    }
    bool all = PumpUntil([&] { return recorder.messages.size() >= size_t{kPosters} * kPerPoster; }, 20000);
    for (std::thread& poster : posters) poster.join();
    EXPECT_TRUE(all);
    EXPECT_EQ(failedPosts.load(), 0);
    EXPECT_FALSE(recorder.wrongThread);
    std::vector<intptr_t> next(kPosters, 0);
    for (const Message& message : recorder.messages) {
      ASSERT_EQ(message.window, window);
      ASSERT_LT(message.wParam, static_cast<uintptr_t>(kPosters));
      EXPECT_EQ(message.lParam, next[message.wParam]) << "poster " << message.wParam;
      next[message.wParam] = message.lParam + 1;
    }
    for (int poster = 0; poster < kPosters; ++poster) EXPECT_EQ(next[poster], kPerPoster);
    platform::DestroyMessageWindow(window);
  });
}

TEST(MessageLoopTest, MessagesOfSeveralWindowsAndTheThreadKeepOneOrder) {
  OnFreshThread([] {
    Recorder first;
    Recorder second;
    WindowHandle a = platform::CreateMessageWindow(&RecordingProc, &first);
    WindowHandle b = platform::CreateMessageWindow(&RecordingProc, &second);
    ThreadId self = platform::CurrentThreadId();
    ASSERT_TRUE(PostToWindow(a, kMsgTest, 1, 0));
    ASSERT_TRUE(PostToThread(self, kMsgTest, 2, 0));
    ASSERT_TRUE(PostToWindow(b, kMsgTest, 3, 0));
    ASSERT_TRUE(PostToWindow(a, kMsgTest, 4, 0));
    std::vector<std::pair<WindowHandle, uintptr_t>> seen;
    Message message;
    while (platform::PeekNextMessage(&message)) seen.emplace_back(message.window, message.wParam);
    std::vector<std::pair<WindowHandle, uintptr_t>> expected{{a, 1}, {0, 2}, {b, 3}, {a, 4}};
    EXPECT_EQ(seen, expected);
    platform::DestroyMessageWindow(a);
    platform::DestroyMessageWindow(b);
  });
}

TEST(MessageLoopTest, PostToDestroyedWindowFailsAndItsQueuedMessagesAreDroppedAtDispatch) {
  OnFreshThread([] {
    Recorder recorder;
    WindowHandle window = platform::CreateMessageWindow(&RecordingProc, &recorder);
    ASSERT_TRUE(PostToWindow(window, kMsgTest, 1, 0));
    ASSERT_TRUE(PostToWindow(window, kMsgTest, 2, 0));
    ASSERT_TRUE(platform::DestroyMessageWindow(window));
    EXPECT_FALSE(platform::IsMessageWindow(window));
    EXPECT_FALSE(PostToWindow(window, kMsgTest, 3, 0));
    EXPECT_FALSE(platform::DestroyMessageWindow(window));

    int queued = 0;
    Message message;
    while (platform::PeekNextMessage(&message)) {
      ++queued;
      EXPECT_EQ(message.window, window);
      EXPECT_EQ(DispatchMessageToWindow(message), 0);
    }
    EXPECT_EQ(queued, 2);
    EXPECT_TRUE(recorder.messages.empty());
  });
}

TEST(MessageLoopTest, WindowDestroyedByItsOwnProcedureGetsNoFurtherMessages) {
  struct Context {
    WindowHandle window = 0;
    int calls = 0;
  };
  OnFreshThread([] {
    Context context;
    context.window = platform::CreateMessageWindow(
        [](void* raw, WindowHandle window, uint32_t, uintptr_t, intptr_t) -> intptr_t {
          auto* self = static_cast<Context*>(raw);
          ++self->calls;
          platform::DestroyMessageWindow(window);
          return 0;
        },
        &context);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostToWindow(context.window, kMsgTest, 0, 0));
    Message message;
    while (platform::PeekNextMessage(&message)) DispatchMessageToWindow(message);
    EXPECT_EQ(context.calls, 1);
  });
}

TEST(MessageLoopTest, EndingThreadDestroysItsWindowsAndClosesItsQueue) {
  WindowHandle window = 0;
  ThreadId thread = 0;
  Recorder recorder;
  OnFreshThread([&] {
    recorder.owner = std::this_thread::get_id();
    window = platform::CreateMessageWindow(&RecordingProc, &recorder);
    thread = platform::CurrentThreadId();
    EXPECT_TRUE(PostToWindow(window, kMsgTest, 0, 0));
  });
  ASSERT_NE(window, 0u);
  EXPECT_FALSE(platform::IsMessageWindow(window));
  EXPECT_FALSE(PostToWindow(window, kMsgTest, 0, 0));
  EXPECT_FALSE(PostToThread(thread, kMsgTest, 0, 0));
  EXPECT_FALSE(platform::DestroyMessageWindow(window));
  EXPECT_TRUE(recorder.messages.empty());
}

TEST(MessageLoopTest, EndedThreadsLeaveNoDescriptorsBehind) {
  auto oneThread = [] {
    OnFreshThread([] {
      Recorder recorder;
      platform::EnsureMessageQueue();
      WindowHandle window = platform::CreateMessageWindow(&RecordingProc, &recorder);
      EXPECT_TRUE(PostToWindow(window, kMsgTest, 0, 0));
      EXPECT_TRUE(PostToThread(platform::CurrentThreadId(), kMsgTest, 0, 0));
      platform::StartThreadTimer(
          1000, [](void*) {}, nullptr);
    });
  };
  oneThread();  // whatever the runtime opens once (sanitizers) is open before counting
  int before = platformtest::CountOpenDescriptors();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 50; ++i) oneThread();
  EXPECT_LE(platformtest::CountOpenDescriptors(), before);
}

TEST(MessageLoopTest, PostToThreadNeedsAQueueAndEnsureMessageQueueMakesOne) {
  EXPECT_FALSE(PostToThread(0, kMsgTest, 0, 0));
  std::promise<ThreadId> idKnown;
  std::promise<void> makeQueue;
  std::promise<void> queueMade;
  std::promise<void> posted;
  std::promise<Message> received;
  std::thread worker([&] {
    idKnown.set_value(platform::CurrentThreadId());
    makeQueue.get_future().wait();
    platform::EnsureMessageQueue();
    queueMade.set_value();
    posted.get_future().wait();
    Message message;
    GetNextMessage(&message);
    received.set_value(message);
  });
  ThreadId id = idKnown.get_future().get();
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, platform::CurrentThreadId());
  EXPECT_FALSE(PostToThread(id, kMsgTest, 1, 2));
  makeQueue.set_value();
  queueMade.get_future().wait();
  EXPECT_TRUE(PostToThread(id, kMsgTest, 5, 6));
  posted.set_value();
  Message message = received.get_future().get();
  worker.join();
  EXPECT_EQ(message.window, 0u);
  EXPECT_EQ(message.message, kMsgTest);
  EXPECT_EQ(message.wParam, 5u);
  EXPECT_EQ(message.lParam, 6);
}

TEST(MessageLoopTest, ThreadIdsAreStablePerThreadAndDistinctAcrossThreads) {
  ThreadId mine = platform::CurrentThreadId();
  EXPECT_EQ(mine, platform::CurrentThreadId());
  ThreadId other = 0;
  OnFreshThread([&] { other = platform::CurrentThreadId(); });
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

TEST(MessageLoopTest, PostQuitEndsTheLoopOnlyAfterTheMessagesAlreadyQueued) {
  OnFreshThread([] {
    ThreadId self = platform::CurrentThreadId();
    platform::EnsureMessageQueue();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostToThread(self, kMsgTest, static_cast<uintptr_t>(i), 0));
    platform::PostQuit(7);
    Message message;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(GetNextMessage(&message));
      EXPECT_EQ(message.message, kMsgTest);
      EXPECT_EQ(message.wParam, static_cast<uintptr_t>(i));
    }
    EXPECT_FALSE(GetNextMessage(&message));
    EXPECT_EQ(message.message, platform::kMsgQuit);
    EXPECT_EQ(message.wParam, 7u);
    // The quit request is used up: the queue is empty again.
    EXPECT_FALSE(platform::PeekNextMessage(&message));
  });
}

TEST(MessageLoopTest, MessagesPostedAfterPostQuitStillComeFirst) {
  OnFreshThread([] {
    ThreadId self = platform::CurrentThreadId();
    platform::PostQuit(1);
    ASSERT_TRUE(PostToThread(self, kMsgTest, 9, 0));
    Message message;
    ASSERT_TRUE(GetNextMessage(&message));
    EXPECT_EQ(message.wParam, 9u);
    EXPECT_FALSE(GetNextMessage(&message));
  });
}

TEST(MessageLoopTest, PostedQuitMessageMakesGetNextMessageReturnFalse) {
  OnFreshThread([] {
    platform::EnsureMessageQueue();
    ThreadId self = platform::CurrentThreadId();
    ASSERT_TRUE(PostToThread(self, kMsgTest, 0, 0));
    ASSERT_TRUE(PostToThread(self, platform::kMsgQuit, 3, 0));
    Message message;
    EXPECT_TRUE(GetNextMessage(&message));
    EXPECT_FALSE(GetNextMessage(&message));
    EXPECT_EQ(message.message, platform::kMsgQuit);
    EXPECT_EQ(message.wParam, 3u);
  });
}

TEST(MessageLoopTest, QuitPostedFromAnotherThreadWakesABlockedLoop) {
  std::promise<ThreadId> ready;
  std::atomic<bool> ended{false};
  std::thread loop([&] {
    platform::EnsureMessageQueue();
    ready.set_value(platform::CurrentThreadId());
    Message message;
    while (GetNextMessage(&message)) DispatchMessageToWindow(message);
    ended = true;
  });
  ThreadId id = ready.get_future().get();
  ASSERT_TRUE(PostToThread(id, platform::kMsgQuit, 0, 0));
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }));
  loop.join();
}

TEST(MessageLoopTest, PeekNextMessageDoesNotBlock) {
  OnFreshThread([] {
    platform::EnsureMessageQueue();
    // A timer far in the future must not make Peek wait for it: a Peek that waited would return
    // the timer's message (an hour later, long after the test's time-out).
    uintptr_t timer = platform::StartThreadTimer(
        3'600'000, [](void*) {}, nullptr);
    ASSERT_NE(timer, 0u);
    Message message;
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    ASSERT_TRUE(PostToThread(platform::CurrentThreadId(), kMsgTest, 4, 0));
    ASSERT_TRUE(platform::PeekNextMessage(&message));
    EXPECT_EQ(message.wParam, 4u);
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    platform::StopThreadTimer(timer);
  });
}

TEST(MessageLoopTest, PeekNextMessageOnAThreadWithoutPostsReturnsFalse) {
  OnFreshThread([] {
    Message message;
    EXPECT_FALSE(platform::PeekNextMessage(&message));
  });
}

// ---- Hooked windows ----

TEST(HookedWindowTest, HookRunsAtOnceOnThePostingThread) {
  std::mutex mutex;
  std::vector<std::pair<std::thread::id, Message>> calls;
  WindowHandle window = platform::CreateHookedWindow([&](const Message& message) {
    std::lock_guard lock(mutex);
    calls.emplace_back(std::this_thread::get_id(), message);
  });
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(platform::IsMessageWindow(window));
  std::thread::id posterId;
  OnFreshThread([&] {
    posterId = std::this_thread::get_id();
    EXPECT_TRUE(PostToWindow(window, kMsgTest, 8, 9));
    // Called before PostToWindow returned, without any loop on this thread.
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls.size(), 1u);
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first, posterId);
  EXPECT_EQ(calls[0].second.window, window);
  EXPECT_EQ(calls[0].second.message, kMsgTest);
  EXPECT_EQ(calls[0].second.wParam, 8u);
  EXPECT_EQ(calls[0].second.lParam, 9);
  EXPECT_TRUE(platform::DestroyMessageWindow(window));
  EXPECT_FALSE(PostToWindow(window, kMsgTest, 0, 0));
  EXPECT_EQ(calls.size(), 1u);
}

TEST(HookedWindowTest, HookIsNeverCalledAfterDestroyReturnsEvenWithConcurrentPosters) {
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    // State the hook writes without atomics: correct only if no call overlaps or follows the
    // destruction (sanitizers report it otherwise).
    struct Payload {
      int calls = 0;
    };
    auto* payload = new Payload;
    std::atomic<bool> destroyed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    WindowHandle window = platform::CreateHookedWindow([&, payload](const Message&) {
      if (destroyed.load()) ++lateCalls;
      ++payload->calls;
      ++calls;
    });
    ASSERT_NE(window, 0u);
    std::vector<std::thread> posters;
    for (int i = 0; i < 3; ++i) {
      posters.emplace_back([window] {
        while (PostToWindow(window, kMsgTest, 0, 0)) {
        }
      });
    }
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 50; }));
    ASSERT_TRUE(platform::DestroyMessageWindow(window));
    destroyed = true;
    int callsAtDestroy = payload->calls;
    delete payload;
    for (std::thread& poster : posters) poster.join();
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_EQ(calls.load(), callsAtDestroy);
  }
}

TEST(HookedWindowTest, DestroyingTheWindowFromInsideItsOwnHookDoesNotDeadlock) {
  struct State {
    std::atomic<WindowHandle> window{0};
    std::atomic<int> calls{0};
    std::atomic<bool> destroyedInside{false};
    std::atomic<bool> finished{false};
  };
  auto state = std::make_shared<State>();
  state->window = platform::CreateHookedWindow([state](const Message&) {
    ++state->calls;
    if (platform::DestroyMessageWindow(state->window.load())) state->destroyedInside = true;
  });
  ASSERT_NE(state->window.load(), 0u);
  // Detached: a deadlock fails the test instead of hanging it.
  std::thread([state] {
    std::vector<std::thread> posters;
    for (int i = 0; i < 3; ++i) {
      posters.emplace_back([state] {
        while (PostToWindow(state->window.load(), kMsgTest, 0, 0)) {
        }
      });
    }
    for (std::thread& poster : posters) poster.join();
    state->finished = true;
  }).detach();
  ASSERT_TRUE(WaitUntil([&] { return state->finished.load(); }, 10000)) << "posting deadlocked";
  EXPECT_TRUE(state->destroyedInside.load());
  EXPECT_EQ(state->calls.load(), 1);
  EXPECT_FALSE(platform::IsMessageWindow(state->window.load()));
}

TEST(HookedWindowTest, HookedWindowIsNotDispatchedThroughTheLoop) {
  OnFreshThread([] {
    std::atomic<int> calls{0};
    WindowHandle window = platform::CreateHookedWindow([&](const Message&) { ++calls; });
    ASSERT_TRUE(PostToWindow(window, kMsgTest, 0, 0));
    EXPECT_EQ(calls.load(), 1);
    Message message;
    EXPECT_FALSE(platform::PeekNextMessage(&message));
    EXPECT_EQ(DispatchMessageToWindow(Message{window, kMsgTest, 0, 0}), 0);
    EXPECT_EQ(calls.load(), 1);
    platform::DestroyMessageWindow(window);
  });
}

TEST(HookedWindowTest, HookedWindowOutlivesTheThreadThatCreatedIt) {
  WindowHandle window = 0;
  std::atomic<int> calls{0};
  OnFreshThread([&] { window = platform::CreateHookedWindow([&](const Message&) { ++calls; }); });
  EXPECT_TRUE(PostToWindow(window, kMsgTest, 0, 0));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(platform::DestroyMessageWindow(window));
}

// ---- Thread timers ----

struct TimerCounter {
  std::thread::id owner = std::this_thread::get_id();
  int fired = 0;
  bool wrongThread = false;
};

void CountTimer(void* context) {
  auto* counter = static_cast<TimerCounter*>(context);
  if (std::this_thread::get_id() != counter->owner) counter->wrongThread = true;
  ++counter->fired;
}

TEST(ThreadTimerTest, StartRejectsAZeroPeriodOrNoProcedure) {
  OnFreshThread([] {
    EXPECT_EQ(platform::StartThreadTimer(0, &CountTimer, nullptr), 0u);
    EXPECT_EQ(platform::StartThreadTimer(10, nullptr, nullptr), 0u);
    EXPECT_FALSE(platform::StopThreadTimer(0));
    EXPECT_FALSE(platform::StopThreadTimer(123456789));
  });
}

TEST(ThreadTimerTest, FiresRepeatedlyOnTheOwningThreadThroughDispatch) {
  OnFreshThread([] {
    TimerCounter counter;
    uintptr_t timer = platform::StartThreadTimer(10, &CountTimer, &counter);
    ASSERT_NE(timer, 0u);
    Message message;
    int timerMessages = 0;
    int64_t deadline = MonotonicMilliseconds() + 5000;
    while (counter.fired < 5 && MonotonicMilliseconds() < deadline) {
      ASSERT_TRUE(GetNextMessage(&message));
      ASSERT_EQ(message.message, platform::kMsgTimer);
      EXPECT_EQ(message.window, 0u);
      EXPECT_EQ(message.wParam, timer);
      ++timerMessages;
      // The procedure runs inside dispatch, not when the message is taken.
      EXPECT_EQ(counter.fired, timerMessages - 1);
      DispatchMessageToWindow(message);
      EXPECT_EQ(counter.fired, timerMessages);
    }
    EXPECT_EQ(counter.fired, 5);
    EXPECT_FALSE(counter.wrongThread);
    EXPECT_TRUE(platform::StopThreadTimer(timer));
  });
}

TEST(ThreadTimerTest, StopThreadTimerStopsIt) {
  OnFreshThread([] {
    TimerCounter counter;
    uintptr_t timer = platform::StartThreadTimer(5, &CountTimer, &counter);
    ASSERT_TRUE(PumpUntil([&] { return counter.fired >= 2; }));
    ASSERT_TRUE(platform::StopThreadTimer(timer));
    EXPECT_FALSE(platform::StopThreadTimer(timer));
    int firedAtStop = counter.fired;
    // A second timer keeps the loop turning for well over ten periods of the stopped one.
    TimerCounter witness;
    uintptr_t other = platform::StartThreadTimer(5, &CountTimer, &witness);
    ASSERT_TRUE(PumpUntil([&] { return witness.fired >= 15; }));
    platform::StopThreadTimer(other);
    EXPECT_EQ(counter.fired, firedAtStop);
  });
}

TEST(ThreadTimerTest, TimerMessageTakenBeforeStopIsNotRunByDispatch) {
  OnFreshThread([] {
    TimerCounter counter;
    uintptr_t timer = platform::StartThreadTimer(5, &CountTimer, &counter);
    Message message;
    ASSERT_TRUE(GetNextMessage(&message));
    ASSERT_EQ(message.message, platform::kMsgTimer);
    ASSERT_TRUE(platform::StopThreadTimer(timer));
    DispatchMessageToWindow(message);
    EXPECT_EQ(counter.fired, 0);
  });
}

TEST(ThreadTimerTest, TimerCanStopItselfFromItsProcedure) {
  struct OneShot {
    uintptr_t timer = 0;
    int fired = 0;
  };
  OnFreshThread([] {
    OneShot shot;
    shot.timer = platform::StartThreadTimer(
        5,
        [](void* context) {
          auto* self = static_cast<OneShot*>(context);
          ++self->fired;
          platform::StopThreadTimer(self->timer);
        },
        &shot);
    TimerCounter witness;
    uintptr_t other = platform::StartThreadTimer(5, &CountTimer, &witness);
    ASSERT_TRUE(PumpUntil([&] { return witness.fired >= 10; }));
    platform::StopThreadTimer(other);
    EXPECT_EQ(shot.fired, 1);
  });
}

TEST(ThreadTimerTest, TimerOfAnotherThreadCannotBeStoppedOrFiredHere) {
  uintptr_t timer = 0;
  TimerCounter counter;
  std::promise<void> started;
  std::promise<void> checked;
  std::thread owner([&] {
    counter.owner = std::this_thread::get_id();
    timer = platform::StartThreadTimer(10000, &CountTimer, &counter);
    started.set_value();
    checked.get_future().wait();
    EXPECT_TRUE(platform::StopThreadTimer(timer));
  });
  started.get_future().wait();
  EXPECT_FALSE(platform::StopThreadTimer(timer));
  OnFreshThread([&] {
    platform::EnsureMessageQueue();
    DispatchMessageToWindow(Message{0, platform::kMsgTimer, timer, 0});
  });
  checked.set_value();
  owner.join();
  EXPECT_EQ(counter.fired, 0);
}

TEST(ThreadTimerTest, ContinuousSelfPostsDoNotStarveTheTimer) {
  struct Stream {
    WindowHandle window = 0;
    int handled = 0;
  };
  OnFreshThread([] {
    Stream stream;
    // Every message handled posts the next, so the queue is never empty.
    stream.window = platform::CreateMessageWindow(
        [](void* raw, WindowHandle window, uint32_t, uintptr_t, intptr_t) -> intptr_t {
          auto* self = static_cast<Stream*>(raw);
          ++self->handled;
          PostToWindow(window, kMsgTest, 0, 0);
          return 0;
        },
        &stream);
    ASSERT_TRUE(PostToWindow(stream.window, kMsgTest, 0, 0));
    ASSERT_TRUE(PostToWindow(stream.window, kMsgTest, 0, 0));
    TimerCounter counter;
    uintptr_t timer = platform::StartThreadTimer(10, &CountTimer, &counter);
    Message message;
    int64_t deadline = MonotonicMilliseconds() + 5000;
    while (counter.fired < 5 && MonotonicMilliseconds() < deadline) {
      ASSERT_TRUE(GetNextMessage(&message));
      DispatchMessageToWindow(message);
    }
    EXPECT_EQ(counter.fired, 5);
    EXPECT_GT(stream.handled, 0);
    platform::StopThreadTimer(timer);
    platform::DestroyMessageWindow(stream.window);
  });
}

TEST(ThreadTimerTest, TheSoonestTimerDecidesHowLongTheLoopWaits) {
  OnFreshThread([] {
    TimerCounter counter;
    // The long timer started first must not hold the wait past the short one started after it:
    // held, the wait would outlast the test's time-out (an hour).
    uintptr_t slow = platform::StartThreadTimer(3'600'000, &CountTimer, &counter);
    TimerCounter quick;
    uintptr_t fast = platform::StartThreadTimer(10, &CountTimer, &quick);
    Message message;
    ASSERT_TRUE(GetNextMessage(&message));
    EXPECT_EQ(message.wParam, fast);
    platform::StopThreadTimer(slow);
    platform::StopThreadTimer(fast);
  });
}

}  // namespace
