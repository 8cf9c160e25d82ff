#pragma once
// Where the library's events go: a notify window (message WM_DOWNLOADLIB_EVENT posted to it) and
// a callback, each optional and used independently.

#include <cstdint>

#include "pipeline/DownloadLibTypes.h"

struct EventTarget {
  DownloadLibWindow window = nullptr;
  DownloadLibCallback callback = nullptr;
  void* userData = nullptr;

  // Posts to the window (when set), then calls the callback (when set).
  void Raise(int32_t code, intptr_t lParam) const;
  bool Post(int32_t code, intptr_t lParam) const;
  void Call(int32_t code, intptr_t lParam) const;
};
