#include "core/nvCGarbageCollector.h"

#include "core/cpCTimer.h"
#include "core/cpTime.h"

namespace {

nvCGarbageCollector* g_collector = nullptr;

constexpr uint32_t kPeriodMs = 3000;
constexpr int32_t kTag = 0x1000001;
constexpr uint32_t kDelaySeconds = 3;

}  // namespace

nvCGarbageCollector::nvCGarbageCollector() { Init(); }

nvCGarbageCollector::~nvCGarbageCollector() { Shutdown(); }

nvCGarbageCollector* nvCGarbageCollector::Instance() {
  if (g_collector == nullptr) g_collector = new nvCGarbageCollector;
  return g_collector;
}

void nvCGarbageCollector::DestroyInstance() {
  delete g_collector;
  g_collector = nullptr;
}

cpStatus nvCGarbageCollector::Init() {
  timer_ = cpStartTimer(kPeriodMs, &nvCGarbageCollector::TimerCallback, this, kTag);
  pending_ = new nvCPtrList;
  return CP_S_OK;
}

cpStatus nvCGarbageCollector::Shutdown() {
  cpStopTimer(timer_);
  if (pending_ != nullptr) {
    // Detach the list first: a released object may hand another one over meanwhile.
    nvCPtrList* list = pending_;
    pending_ = nullptr;
    while (list->GetCount() > 0) delete static_cast<Pending*>(list->RemoveAt(0));
    delete list;
  }
  return CP_S_OK;
}

void nvCGarbageCollector::DeferRelease(nvSmartPtr object) {
  if (!object || pending_ == nullptr) return;
  pending_->AddTail(new Pending{object, cpNowSeconds() + kDelaySeconds});
}

void nvCGarbageCollector::TimerCallback(void* self) { static_cast<nvCGarbageCollector*>(self)->OnTick(); }

void nvCGarbageCollector::OnTick() {
  uint32_t now = cpNowSeconds();
  while (pending_ != nullptr && pending_->GetCount() > 0) {
    auto* entry = static_cast<Pending*>(pending_->GetHead());
    if (!(entry->releaseTime < now)) break;
    pending_->RemoveAt(0);
    // Released after unlinking: the object's destructor may hand over further objects.
    delete entry;
  }
}
