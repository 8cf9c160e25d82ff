#pragma once
// Per-thread message queues and window handles, the way the library's parts expect them of a
// windowing system: a window belongs to the thread that created it and its procedure runs there;
// posting queues a message for that thread, in order; a thread runs its loop with
// GetNextMessage/DispatchMessageToWindow. Each queue waits on one epoll set with an eventfd for
// wake-ups, so readiness of descriptors (sockets) joins the same wait.

#include <cstdint>
#include <functional>

namespace platform {

using WindowHandle = uintptr_t;  // 0 never names a window
using ThreadId = uint64_t;       // 0 never names a thread

enum : uint32_t {
  kMsgQuit = 0x0012,
  kMsgTimer = 0x0113,
  kMsgUser = 0x0400,
};

struct Message {
  WindowHandle window = 0;
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// Window procedure: runs on the window's thread, inside DispatchMessageToWindow.
using WindowProc = intptr_t (*)(void* context, WindowHandle window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam);
// Post hook: runs on the posting thread, for hosts with an event loop of their own.
using PostHook = std::function<void(const Message&)>;
using TimerProc = void (*)(void* context);

ThreadId CurrentThreadId();

// Creates the calling thread's queue if it has none yet, so that posts to the thread succeed.
void EnsureMessageQueue();

// A window owned by the calling thread; its messages are dispatched to proc(context, ...).
WindowHandle CreateMessageWindow(WindowProc proc, void* context);
// A window whose posted messages are handed to hook at once, on the posting thread. The hook is
// never running any more once DestroyMessageWindow returned (unless called from inside the hook).
WindowHandle CreateHookedWindow(PostHook hook);
bool DestroyMessageWindow(WindowHandle window);
bool IsMessageWindow(WindowHandle window);

// Queue a message for the window's thread (false when the window does not exist).
bool PostToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Queue a window-less message for a thread (false when the thread has no queue).
bool PostToThread(ThreadId thread, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Ask the calling thread's loop to end: GetNextMessage returns false once the queue is empty.
void PostQuit(int exitCode);

// Waits for the next message of the calling thread. Returns false for the quit message.
bool GetNextMessage(Message* out);
// Takes the next message if one is ready now; false when there is none.
bool PeekNextMessage(Message* out);
// Runs the window procedure of the message's window, or the timer procedure of a timer message.
intptr_t DispatchMessageToWindow(const Message& message);

// A periodic timer of the calling thread: its messages (kMsgTimer, wParam = id) come out of the
// thread's loop and DispatchMessageToWindow calls proc(context). Returns 0 on failure.
uintptr_t StartThreadTimer(uint32_t periodMs, TimerProc proc, void* context);
bool StopThreadTimer(uintptr_t timerId);

}  // namespace platform
