#pragma once
// The recursive mutex object (class id 0x1008) and the primitives under it.

#include <cstdint>

#include "core/nvIUnknown.h"
#include "core/nvTSmartPtr.h"

struct cpMutexHandle;  // a platform critical section

cpStatus cpMutexCreate(cpMutexHandle** out);
cpStatus cpMutexDestroy(cpMutexHandle* mutex);
cpStatus cpMutexEnter(cpMutexHandle* mutex);
cpStatus cpMutexLeave(cpMutexHandle* mutex);

class cpCMutex : public nvTRefCounted<> {
 public:
  cpCMutex();
  ~cpCMutex() override;

  // Stores a word that nothing reads.
  virtual cpStatus SetOwnerWord(uintptr_t word);
  // Recursive: the holder may lock again and must unlock as often.
  virtual cpStatus Lock();
  virtual cpStatus Unlock();

 private:
  uintptr_t ownerWord_ = 0;
  cpMutexHandle* section_ = nullptr;
};

// Holds a cpCMutex (when given one) for the lifetime of the guard.
// The library lock and every holder of it.
using cpCMutexPtr = nvTSmartPtr<cpCMutex>;

class cpMutexGuard {
 public:
  explicit cpMutexGuard(cpCMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) mutex_->Lock();
  }
  explicit cpMutexGuard(const cpCMutexPtr& mutex) : cpMutexGuard(mutex.Get()) {}
  ~cpMutexGuard() {
    if (mutex_ != nullptr) mutex_->Unlock();
  }
  cpMutexGuard(const cpMutexGuard&) = delete;
  cpMutexGuard& operator=(const cpMutexGuard&) = delete;

 private:
  cpCMutex* mutex_;
};
