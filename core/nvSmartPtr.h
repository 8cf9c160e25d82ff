#pragma once
// The owning pointer of reference-counted objects, which also creates objects by class id.

#include <cstdint>

#include "core/nvIUnknown.h"

// Class ids of the runtime core's classes (0x10xx); the network stack's (0x20xx) are in
// net/nwClassIds.h. Each layer registers its own classes: cpRegisterClasses
// (core/cpRegisterClasses.h) and nwRegisterClasses (net/nwRegisterClasses.h).
enum : uint32_t {
  CLSID_cpCSocket = 0x1005,
  CLSID_cpCTimer = 0x1006,
  CLSID_cpCMutex = 0x1008,
  CLSID_cpCQoSContext = 0x100A,
};

// The one class of a higher layer that the runtime core creates itself: the stream dispatcher of
// a connection without layers. The network stack registers it under this id.
constexpr uint32_t nvStreamDispatcherClassId = 0x2006;

using nvClassFactory = nvIUnknown* (*)();

// Makes `factory` the one that creates objects of `classId`, replacing an earlier one. False, and
// nothing changes, for id 0 or a null factory. An id that nobody registered creates nothing. The
// registry starts out with the runtime core's classes: the library lock is made by class id
// before anything else runs.
bool nvRegisterClass(uint32_t classId, nvClassFactory factory);

class nvSmartPtr {
 public:
  nvSmartPtr() = default;
  explicit nvSmartPtr(nvIUnknown* object);
  nvSmartPtr(const nvSmartPtr& other);
  nvSmartPtr(nvSmartPtr&& other) noexcept;
  ~nvSmartPtr();

  nvSmartPtr& operator=(const nvSmartPtr& other);
  nvSmartPtr& operator=(nvSmartPtr&& other) noexcept;

  // Holds `object` instead of the current one (add-ref'd); null releases the current one.
  void Attach(nvIUnknown* object);
  nvIUnknown* Get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Releases the held object, then creates one of the class (count 1). False for an id without
  // a class; the pointer is then empty.
  bool CreateInstance(uint32_t classId);
  // False when empty or when the object's QueryInterface fails.
  bool QueryInterface(int32_t interfaceId, void** out) const;

 private:
  nvIUnknown* object_ = nullptr;
};
