#include "core/cpCTimerService.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
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
  uintptr_t generation = 0;  // what the thread timer's calls carry to name this record
};

namespace {

// The one live record, the lock its procedure takes and the live count. A thread timer cannot be
// stopped from another thread, so a record destroyed from there leaves calls behind on the
// library thread; they carry the record's generation, not its address, and find it gone.
std::mutex g_recordMutex;
cpTimerRecord* g_currentRecord = nullptr;
cpCMutexPtr g_procedureLock;
uintptr_t g_lastGeneration = 0;
std::atomic<int32_t> g_liveCount{0};

// Whether `generation` still names the current record; called with g_recordMutex held.
bool IsCurrent(uintptr_t generation) {
  return g_currentRecord != nullptr && g_currentRecord->generation == generation;
}

// Runs on the thread that created the record, from its message loop.
void TimerProcedure(void* context) {
  const auto generation = reinterpret_cast<uintptr_t>(context);
  cpCMutex* lock = nullptr;
  {
    std::lock_guard guard(g_recordMutex);
    if (!IsCurrent(generation)) return;
    lock = g_procedureLock.Get();
  }
  cpMutexGuard libraryLock(lock);
  cpTimerProc callback = nullptr;
  void* userData = nullptr;
  {
    // Checked again under the library lock, which the record's destruction also holds.
    std::lock_guard guard(g_recordMutex);
    if (g_liveCount.load() == 0 || !IsCurrent(generation)) return;
    callback = g_currentRecord->callback;
    userData = g_currentRecord->userData;
  }
  if (callback != nullptr) callback(userData);
}

}  // namespace

cpStatus cpTimerCreate(uint32_t /*periodIgnored*/, cpTimerProc callback, void* userData, cpTimerRecord** out,
                       cpCMutexPtr lock) {
  if (out == nullptr) return CP_E_FAIL;
  auto* record = new cpTimerRecord;
  record->callback = callback;
  record->userData = userData;
  {
    std::lock_guard guard(g_recordMutex);
    record->generation = ++g_lastGeneration;
    g_currentRecord = record;
    g_procedureLock = std::move(lock);
  }
  record->platformTimer = platform::StartThreadTimer(kThreadTimerPeriodMs, &TimerProcedure,
                                                     reinterpret_cast<void*>(record->generation));
  if (record->platformTimer == 0) {
    cpCMutexPtr dropped;
    {
      std::lock_guard guard(g_recordMutex);
      if (g_currentRecord == record) {
        g_currentRecord = nullptr;
        dropped = std::move(g_procedureLock);
      }
    }
    delete record;
    *out = nullptr;
    return CP_E_FAIL;
  }
  g_liveCount.fetch_add(1);
  *out = record;
  return CP_S_OK;
}

cpStatus cpTimerDestroy(cpTimerRecord* record) {
  if (record == nullptr) return CP_S_OK;
  cpCMutexPtr dropped;  // released outside the record mutex
  {
    std::lock_guard guard(g_recordMutex);
    // An older record going away must not silence the one that replaced it.
    if (g_currentRecord == record) {
      g_currentRecord = nullptr;
      dropped = std::move(g_procedureLock);
    }
    g_liveCount.fetch_sub(1);
  }
  platform::StopThreadTimer(record->platformTimer);
  delete record;
  return CP_S_OK;
}

cpCTimerService* cpCTimerService::Instance() { return g_service; }

void cpCTimerService::SetInstance(cpCTimerService* service) { g_service = service; }

cpCTimerService::cpCTimerService(cpCMutexPtr lock) {
  cpTimerCreate(kThreadTimerPeriodMs, &cpCTimerService::OnPlatformTimer, this, &record_, lock);
  lock_ = std::move(lock);
}

cpCTimerService::~cpCTimerService() {
  {
    cpMutexGuard guard(lock_);
    cpTimerDestroy(record_);
    record_ = nullptr;
    for (int32_t i = entries_.GetCount() - 1; i >= 0; --i) {
      DropEntry(static_cast<Entry*>(entries_.RemoveAt(i)));
    }
  }
  tickCounter_ = 1;
  // Timers released later must not reach a service that is gone.
  if (g_service == this) g_service = nullptr;
}

void cpCTimerService::OnPlatformTimer(void* self) { static_cast<cpCTimerService*>(self)->Tick(); }

void cpCTimerService::DropEntry(Entry* entry) {
  if (entry != nullptr && --entry->references == 0) delete entry;
}

void cpCTimerService::Add(cpCTimer* timer, int32_t tag) {
  auto* entry = new Entry{timer, tag, 1};
  cpMutexGuard guard(lock_);
  entries_.AddTail(entry);
}

void cpCTimerService::Remove(cpCTimer* timer) {
  cpMutexGuard guard(lock_);
  for (int32_t i = 0; i < entries_.GetCount(); ++i) {
    auto* entry = static_cast<Entry*>(entries_.GetAt(i));
    if (entry->timer == timer) {
      entries_.RemoveAt(i);
      DropEntry(entry);
      return;
    }
  }
}

void cpCTimerService::RemoveAll(cpCTimer* timer) {
  cpMutexGuard guard(lock_);
  for (int32_t i = entries_.GetCount() - 1; i >= 0; --i) {
    auto* entry = static_cast<Entry*>(entries_.GetAt(i));
    if (entry->timer == timer) {
      entries_.RemoveAt(i);
      DropEntry(entry);
    }
  }
}

void cpCTimerService::Tick() {
  ++tickCounter_;
  if (entries_.GetCount() == 0) return;

  std::vector<Entry*> snapshot;
  cpPreciseTime now;
  {
    cpMutexGuard guard(lock_);
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
