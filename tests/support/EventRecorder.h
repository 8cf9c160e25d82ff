#pragma once
// Records the library's events as they arrive through the callback and through a notify window.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "library/DownloadLib.h"
#include "platform/MessageLoop.h"

namespace testsupport {

struct RecordedEvent {
  int32_t code;
  intptr_t lParam;
  bool viaWindow;
  std::thread::id thread;
};

class EventRecorder {
 public:
  EventRecorder();
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // The callback to register; its user data is this recorder.
  static void Callback(int32_t code, intptr_t lParam, void* userData);
  void* UserData() { return this; }
  // A window of the calling thread whose posted events are recorded by Pump().
  DownloadLibWindow Window();
  // Dispatches the calling thread's queued messages (the window's events among them).
  void Pump();

  std::vector<RecordedEvent> Events() const;
  std::vector<int32_t> Codes(bool viaWindow) const;
  int Count(int32_t code, bool viaWindow) const;
  // Waits (pumping the window when it has one) until `count` events of `code` arrived by either
  // route, or until `timeoutMs` of real time passed. True when they arrived.
  bool WaitFor(int32_t code, int count, int timeoutMs, bool viaWindow = false);
  void Clear();

 private:
  static intptr_t WindowProc(void* context, platform::WindowHandle window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam);
  void Record(int32_t code, intptr_t lParam, bool viaWindow);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  platform::WindowHandle window_ = 0;
};

}  // namespace testsupport
