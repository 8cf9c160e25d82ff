#pragma once
// The owning pointer of reference-counted objects, which also creates objects by class id.

#include <cstdint>

#include "core/nvIUnknown.h"

// Class ids of the fixed table: 0x10xx runtime core, 0x20xx network stack.
enum : uint32_t {
  CLSID_cpCSocket = 0x1005,
  CLSID_cpCTimer = 0x1006,
  CLSID_cpCMutex = 0x1008,
  CLSID_cpCQoSContext = 0x100A,
  CLSID_nwCAgentLayer = 0x2003,
  CLSID_nwCStreamDispatcher = 0x2006,
  CLSID_nwCHTTPDownloader = 0x2009,
  CLSID_nwCHttpClientExLayer = 0x200F,
  CLSID_nwCCDNLocalClientLayer = 0x2015,
  CLSID_nwCSecureSocketClientLayer = 0x2017,
};

using nvClassFactory = nvIUnknown* (*)();

// Layers above the runtime core supply the factories of their classes here. Only ids of the
// table are accepted; returns false for any other id.
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
  template <class T>
  T* As() const {
    return static_cast<T*>(object_);
  }
  explicit operator bool() const { return object_ != nullptr; }

  // Releases the held object, then creates one of the class (count 1). False for an id without
  // a class; the pointer is then empty.
  bool CreateInstance(uint32_t classId);
  // False when empty or when the object's QueryInterface fails.
  bool QueryInterface(int32_t interfaceId, void** out) const;

 private:
  nvIUnknown* object_ = nullptr;
};
