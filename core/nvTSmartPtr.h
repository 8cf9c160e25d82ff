#pragma once
// The typed form of nvSmartPtr: the same counted reference, with the type checked once where the
// pointer is made (at creation by class id, or by a checked cast) instead of at every use.

#include <cstdint>
#include <utility>

#include "core/nvSmartPtr.h"

// `object` as a T, or null when it is none (or null). The one checked cast of runtime objects.
template <class T>
T* nvCast(nvIUnknown* object) {
  return dynamic_cast<T*>(object);
}

template <class T>
class nvTSmartPtr {
 public:
  nvTSmartPtr() = default;
  // Holds `object` (add-ref'd).
  explicit nvTSmartPtr(T* object) : ref_(object), object_(object) {}
  nvTSmartPtr(const nvTSmartPtr&) = default;
  nvTSmartPtr& operator=(const nvTSmartPtr&) = default;
  nvTSmartPtr(nvTSmartPtr&& other) noexcept
      : ref_(std::move(other.ref_)), object_(std::exchange(other.object_, nullptr)) {}
  nvTSmartPtr& operator=(nvTSmartPtr&& other) noexcept {
    if (this != &other) {
      object_ = std::exchange(other.object_, nullptr);
      ref_ = std::move(other.ref_);
    }
    return *this;
  }

  // A new object of `classId` held as a T; empty when the id creates nothing or not a T.
  static nvTSmartPtr Create(uint32_t classId) {
    nvSmartPtr created;
    if (!created.CreateInstance(classId)) return nvTSmartPtr();
    return FromChecked(created);
  }
  // The object `untyped` holds, when it is a T; else empty.
  static nvTSmartPtr FromChecked(const nvSmartPtr& untyped) {
    nvTSmartPtr typed;
    if (T* object = nvCast<T>(untyped.Get())) {
      typed.ref_ = untyped;
      typed.object_ = object;
    }
    return typed;
  }

  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // The untyped reference, for the runtime calls that take one (deferred release, keep-alives).
  const nvSmartPtr& Untyped() const { return ref_; }

  // Releases the held object.
  void Reset() {
    object_ = nullptr;
    ref_.Attach(nullptr);
  }
  // Gives the reference away, leaving this empty.
  nvSmartPtr Take() {
    object_ = nullptr;
    return std::exchange(ref_, nvSmartPtr());
  }

 private:
  nvSmartPtr ref_;
  T* object_ = nullptr;
};
