#include "core/nvSmartPtr.h"

#include <atomic>
#include <utility>

#include "core/cpCMutex.h"
#include "core/cpCQoSContext.h"
#include "core/cpSocket.h"
#include "core/cpCTimer.h"

namespace {

struct ClassEntry {
  uint32_t classId;
  std::atomic<nvClassFactory> factory;
};

template <class T>
nvIUnknown* Make() {
  return new T();
}

ClassEntry g_classes[] = {
    {CLSID_cpCSocket, &Make<cpCSocket>},
    {CLSID_cpCTimer, &Make<cpCTimer>},
    {CLSID_cpCMutex, &Make<cpCMutex>},
    {CLSID_cpCQoSContext, &Make<cpCQoSContext>},
    {CLSID_nwCAgentLayer, nullptr},
    {CLSID_nwCStreamDispatcher, nullptr},
    {CLSID_nwCHTTPDownloader, nullptr},
    {CLSID_nwCHttpClientExLayer, nullptr},
    {CLSID_nwCCDNLocalClientLayer, nullptr},
    {CLSID_nwCSecureSocketClientLayer, nullptr},
};

ClassEntry* FindClass(uint32_t classId) {
  for (ClassEntry& entry : g_classes) {
    if (entry.classId == classId) return &entry;
  }
  return nullptr;
}

}  // namespace

bool nvRegisterClass(uint32_t classId, nvClassFactory factory) {
  ClassEntry* entry = FindClass(classId);
  if (entry == nullptr || factory == nullptr) return false;
  entry->factory.store(factory, std::memory_order_release);
  return true;
}

nvSmartPtr::nvSmartPtr(nvIUnknown* object) : object_(object) {
  if (object_ != nullptr) object_->AddRef();
}

nvSmartPtr::nvSmartPtr(const nvSmartPtr& other) : nvSmartPtr(other.object_) {}

nvSmartPtr::nvSmartPtr(nvSmartPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

nvSmartPtr::~nvSmartPtr() {
  if (object_ != nullptr) object_->Release();
}

nvSmartPtr& nvSmartPtr::operator=(const nvSmartPtr& other) {
  Attach(other.object_);
  return *this;
}

nvSmartPtr& nvSmartPtr::operator=(nvSmartPtr&& other) noexcept {
  if (this != &other) {
    nvIUnknown* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr) old->Release();
  }
  return *this;
}

void nvSmartPtr::Attach(nvIUnknown* object) {
  if (object == object_) return;
  // Take the new reference before dropping the old one: the old object may own the new one.
  if (object != nullptr) object->AddRef();
  nvIUnknown* old = std::exchange(object_, object);
  if (old != nullptr) old->Release();
}

bool nvSmartPtr::CreateInstance(uint32_t classId) {
  Attach(nullptr);
  ClassEntry* entry = FindClass(classId);
  nvClassFactory factory = entry != nullptr ? entry->factory.load(std::memory_order_acquire) : nullptr;
  if (factory == nullptr) return false;
  Attach(factory());
  return object_ != nullptr;
}

bool nvSmartPtr::QueryInterface(int32_t interfaceId, void** out) const {
  return object_ != nullptr && !cpFailed(object_->QueryInterface(interfaceId, out));
}
