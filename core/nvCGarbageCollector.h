#pragma once
// Deferred release: takes over a reference and lets it go 3 to 7 seconds later on the library
// thread, so that a connection can be let go from inside its own callback.

#include <cstdint>

#include "core/cpCTimer.h"
#include "core/nvCPtrList.h"
#include "core/nvSmartPtr.h"

class nvCGarbageCollector {
 public:
  nvCGarbageCollector();
  virtual ~nvCGarbageCollector();
  nvCGarbageCollector(const nvCGarbageCollector&) = delete;
  nvCGarbageCollector& operator=(const nvCGarbageCollector&) = delete;

  virtual cpStatus Init();
  virtual cpStatus Shutdown();

  // The process-wide collector, created on first use.
  static nvCGarbageCollector* Instance();
  // Destroys the process-wide collector (at library end), releasing what it still holds.
  static void DestroyInstance();

  void DeferRelease(nvSmartPtr object);
  // The 3000 ms step: releases the entries whose time has passed, oldest first.
  void OnTick();

  int32_t PendingCount() const { return pending_ != nullptr ? pending_->GetCount() : 0; }

 private:
  struct Pending {
    nvSmartPtr object;
    uint32_t releaseTime;  // whole seconds
  };

  static void TimerCallback(void* self);

  cpCTimerPtr timer_;
  nvCPtrList* pending_ = nullptr;
};
