#pragma once
// The base of every reference-counted library object, and the plain-count implementation that
// nearly all of them use.

#include <cstdint>

#include "core/Status.h"

// The one interface id any class answers: the network stack's layer interface.
constexpr int32_t NW_IID_QOS_NET_STACK = 0x2016;

class nvIUnknown {
 public:
  virtual cpStatus AddRef() = 0;
  // Destroys the object when the count was 1 before the decrement.
  virtual cpStatus Release() = 0;
  virtual cpStatus QueryInterface(int32_t interfaceId, void** out) {
    (void)interfaceId;
    (void)out;
    return CP_E_NOTIMPL;
  }
  virtual ~nvIUnknown() = default;
};

// A plain (not thread-safe) reference count over `Interface`. Such objects are add-ref'd and
// released only on the library thread or under the library lock.
template <class Interface = nvIUnknown>
class nvTRefCounted : public Interface {
 public:
  cpStatus AddRef() override {
    ++refCount_;
    return CP_S_REF;
  }
  cpStatus Release() override {
    if (refCount_-- == 1) delete this;
    return CP_S_REF;
  }
  int32_t RefCount() const { return refCount_; }

 protected:
  nvTRefCounted() = default;
  nvTRefCounted(const nvTRefCounted&) = delete;
  nvTRefCounted& operator=(const nvTRefCounted&) = delete;

 private:
  int32_t refCount_ = 0;
};
