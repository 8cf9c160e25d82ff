#pragma once
// The one timer service of the library: a 100 ms thread timer on the library thread checks every
// started cpCTimer and fires those that are due, with the library lock held.

#include <cstdint>

#include "core/cpCMutex.h"
#include "core/cpTime.h"
#include "core/nvCPtrList.h"
#include "core/nvSmartPtr.h"

// The platform thread timer under the service: one record at a time, period always 100 ms.
struct cpTimerRecord;
using cpTimerProc = void (*)(void* userData);
cpStatus cpTimerCreate(uint32_t periodIgnored, cpTimerProc callback, void* userData, cpTimerRecord** out,
                       cpCMutexPtr lock);
cpStatus cpTimerDestroy(cpTimerRecord* record);

class cpCTimer;

class cpCTimerService {
 public:
  explicit cpCTimerService(cpCMutexPtr lock);
  ~cpCTimerService();
  cpCTimerService(const cpCTimerService&) = delete;
  cpCTimerService& operator=(const cpCTimerService&) = delete;

  // The process-wide instance (set by the runtime root), or null.
  static cpCTimerService* Instance();
  static void SetInstance(cpCTimerService* service);

  void Add(cpCTimer* timer, int32_t tag);
  // Removes the first entry naming the timer.
  void Remove(cpCTimer* timer);
  // Removes every entry naming the timer (it is going away).
  void RemoveAll(cpCTimer* timer);
  // One 100 ms step; the library lock is already held by the timer procedure.
  void Tick();

  bool HasPlatformTimer() const { return record_ != nullptr; }
  int32_t TickCount() const { return tickCounter_; }
  // Registered entries (a timer started twice counts twice).
  int32_t TimerCount() const { return entries_.GetCount(); }

 private:
  struct Entry {
    cpCTimer* timer;  // not add-ref'd: owners stop their timers before releasing them
    int32_t tag;
    int32_t references;
  };

  static void OnPlatformTimer(void* self);
  static void DropEntry(Entry* entry);

  nvCPtrList entries_;
  cpCMutexPtr lock_;
  cpTimerRecord* record_ = nullptr;
  cpPreciseTime lastTick_;
  int32_t tickCounter_ = 1;
};
