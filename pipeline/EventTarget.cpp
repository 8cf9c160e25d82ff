#include "pipeline/EventTarget.h"

#include "platform/MessageLoop.h"

void EventTarget::Raise(int32_t code, intptr_t lParam) const {
  // A window's post hook runs the host at once, and the host may delete the object this target
  // belongs to: the callback is taken from a copy.
  const EventTarget target = *this;
  target.Post(code, lParam);
  target.Call(code, lParam);
}

bool EventTarget::Post(int32_t code, intptr_t lParam) const {
  if (window == nullptr) return false;
  return platform::PostToWindow(reinterpret_cast<platform::WindowHandle>(window), WM_DOWNLOADLIB_EVENT,
                                static_cast<uintptr_t>(code), lParam);
}

void EventTarget::Call(int32_t code, intptr_t lParam) const {
  if (callback != nullptr) callback(code, lParam, userData);
}
