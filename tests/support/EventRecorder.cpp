#include "tests/support/EventRecorder.h"

#include <chrono>

#include "platform/Clock.h"

namespace testsupport {

EventRecorder::EventRecorder() = default;

EventRecorder::~EventRecorder() {
  if (window_ != 0) platform::DestroyMessageWindow(window_);
}

void EventRecorder::Callback(int32_t code, intptr_t lParam, void* userData) {
  static_cast<EventRecorder*>(userData)->Record(code, lParam, false);
}

DownloadLibWindow EventRecorder::Window() {
  if (window_ == 0) window_ = platform::CreateMessageWindow(&EventRecorder::WindowProc, this);
  return reinterpret_cast<DownloadLibWindow>(window_);
}

intptr_t EventRecorder::WindowProc(void* context, platform::WindowHandle /*window*/, uint32_t message,
                                   uintptr_t wParam, intptr_t lParam) {
  if (message == WM_DOWNLOADLIB_EVENT) {
    static_cast<EventRecorder*>(context)->Record(static_cast<int32_t>(wParam), lParam, true);
  }
  return 0;
}

void EventRecorder::Record(int32_t code, intptr_t lParam, bool viaWindow) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(RecordedEvent{code, lParam, viaWindow, std::this_thread::get_id()});
  }
  changed_.notify_all();
}

void EventRecorder::Pump() {
  platform::Message message;
  while (platform::PeekNextMessage(&message)) platform::DispatchMessageToWindow(message);
}

std::vector<RecordedEvent> EventRecorder::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<int32_t> EventRecorder::Codes(bool viaWindow) const {
  std::lock_guard lock(mutex_);
  std::vector<int32_t> codes;
  for (const RecordedEvent& event : events_) {
    if (event.viaWindow == viaWindow) codes.push_back(event.code);
  }
  return codes;
}

int EventRecorder::Count(int32_t code, bool viaWindow) const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const RecordedEvent& event : events_) {
    if (event.code == code && event.viaWindow == viaWindow) ++count;
  }
  return count;
}

bool EventRecorder::WaitFor(int32_t code, int count, int timeoutMs, bool viaWindow) {
  int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (window_ != 0) Pump();
    std::unique_lock lock(mutex_);
    int seen = 0;
    for (const RecordedEvent& event : events_) {
      if (event.code == code && event.viaWindow == viaWindow) ++seen;
    }
    if (seen >= count) return true;
    int64_t now = platform::MonotonicMilliseconds();
    if (now >= deadline) return false;
    // Short slices so that a window's posts get pumped too.
    changed_.wait_for(lock,
                      std::chrono::milliseconds(window_ != 0 ? 10 : std::min<int64_t>(deadline - now, 50)));
  }
}

void EventRecorder::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace testsupport
