#include "core/cpCMutex.h"

#include <mutex>

struct cpMutexHandle {
  std::recursive_mutex mutex;
};

cpStatus cpMutexCreate(cpMutexHandle** out) {
  if (out == nullptr) return CP_E_FAIL;
  *out = new cpMutexHandle;
  return CP_S_OK;
}

cpStatus cpMutexDestroy(cpMutexHandle* mutex) {
  delete mutex;
  return CP_S_OK;
}

cpStatus cpMutexEnter(cpMutexHandle* mutex) {
  mutex->mutex.lock();
  return CP_S_OK;
}

cpStatus cpMutexLeave(cpMutexHandle* mutex) {
  mutex->mutex.unlock();
  return CP_S_OK;
}

cpCMutex::cpCMutex() { cpMutexCreate(&section_); }

cpCMutex::~cpCMutex() { cpMutexDestroy(section_); }

cpStatus cpCMutex::SetOwnerWord(uintptr_t word) {
  ownerWord_ = word;
  return CP_S_OK;
}

cpStatus cpCMutex::Lock() { return cpMutexEnter(section_); }

cpStatus cpCMutex::Unlock() { return cpMutexLeave(section_); }
