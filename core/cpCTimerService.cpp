#include "core/cpCTimerService.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "core/cpCMutex.h"
#include "core/cpCTimer.h"
#include "platform/MessageLoop.h"

namespace {

cpCTimerService* g_service = nullptr;

constexpr uint32_t kThreadTimerPeriodMs = 100;
constexpr int64_t kClockJumpMs = 2999;
constexpr int32_t kEarlyAllowanceMs = 10;

}  // namespace

struct cpTimerRecord {
  uintptr_t platformTimer = 0;
  cpTimerProc callback = nullptr;
  void* userData = nullptr;
  nvSmartPtr lock;
};

namespace {

// Runs on the thread that created the record, from its message loop.
void TimerProcedure(void* context) {
  auto* record = static_cast<cpTimerRecord*>(context);
  cpMutexGuard guard(record->lock.As<cpCMutex>());
  if (record->callback != nullptr) record->callback(record->userData);
}

}  // namespace

cpStatus cpTimerCreate(uint32_t /*periodIgnored*/, cpTimerProc callback, void* userData,
                       cpTimerRecord** out, nvSmartPtr lock) {
  if (out == nullptr) return CP_E_FAIL;
  auto* record = new cpTimerRecord;
  record->callback = callback;
  record->userData = userData;
  record->lock = std::move(lock);
  record->platformTimer = platform::StartThreadTimer(kThreadTimerPeriodMs, &TimerProcedure, record);
  if (record->platformTimer == 0) {
    delete record;
    *out = nullptr;
    return CP_E_FAIL;
  }
  *out = record;
  return CP_S_OK;
}

cpStatus cpTimerDestroy(cpTimerRecord* record) {
  if (record == nullptr) return CP_S_OK;
  platform::StopThreadTimer(record->platformTimer);
  delete record;
  return CP_S_OK;
}

cpCTimerService* cpCTimerService::Instance() { return g_service; }

void cpCTimerService::SetInstance(cpCTimerService* service) { g_service = service; }

cpCTimerService::cpCTimerService(nvSmartPtr lock) {
  cpTimerCreate(kThreadTimerPeriodMs, &cpCTimerService::OnPlatformTimer, this, &record_, lock);
  lock_ = std::move(lock);
}

cpCTimerService::~cpCTimerService() {
  cpMutexGuard guard(lock_.As<cpCMutex>());
  cpTimerDestroy(record_);
  record_ = nullptr;
  for (int32_t i = entries_.GetCount() - 1; i >= 0; --i) {
    DropEntry(static_cast<Entry*>(entries_.RemoveAt(i)));
  }
  tickCounter_ = 1;
}

void cpCTimerService::OnPlatformTimer(void* self) { static_cast<cpCTimerService*>(self)->Tick(); }

void cpCTimerService::DropEntry(Entry* entry) {
  if (entry != nullptr && --entry->references == 0) delete entry;
}

void cpCTimerService::Add(cpCTimer* timer, int32_t tag) {
  auto* entry = new Entry{timer, tag, 1};
  cpMutexGuard guard(lock_.As<cpCMutex>());
  entries_.AddTail(entry);
}

void cpCTimerService::Remove(cpCTimer* timer) {
  cpMutexGuard guard(lock_.As<cpCMutex>());
  for (int32_t i = 0; i < entries_.GetCount(); ++i) {
    auto* entry = static_cast<Entry*>(entries_.GetAt(i));
    if (entry->timer == timer) {
      entries_.RemoveAt(i);
      DropEntry(entry);
      return;
    }
  }
}

void cpCTimerService::Tick() {
  ++tickCounter_;
  if (entries_.GetCount() == 0) return;

  std::vector<Entry*> snapshot;
  cpPreciseTime now;
  {
    cpMutexGuard guard(lock_.As<cpCMutex>());
    if (record_ == nullptr || entries_.GetCount() == 0) return;
    cpNowPrecise(&now);
    bool jumped = (lastTick_.seconds != 0 || lastTick_.milliseconds != 0) &&
                  std::llabs(cpToMilliseconds(now) - cpToMilliseconds(lastTick_)) > kClockJumpMs;
    lastTick_ = now;
    snapshot.reserve(static_cast<size_t>(entries_.GetCount()));
    for (int32_t i = 0; i < entries_.GetCount(); ++i) {
      auto* entry = static_cast<Entry*>(entries_.GetAt(i));
      entry->timer->AddRef();
      if (jumped) entry->timer->Reschedule(true);
      ++entry->references;
      snapshot.push_back(entry);
    }
  }

  for (Entry* entry : snapshot) {
    const cpPreciseTime& due = entry->timer->Due();
    bool isDue = now.seconds > due.seconds ||
                 (now.seconds == due.seconds && now.milliseconds + kEarlyAllowanceMs >= due.milliseconds);
    // Once per tick at most: a late timer catches up over the following ticks.
    if (isDue) entry->timer->Fire();
  }

  for (Entry* entry : snapshot) {
    entry->timer->Release();
    DropEntry(entry);
  }
}
