#include "core/nvSmartPtr.h"

#include <map>
#include <mutex>
#include <utility>

#include "core/cpRegisterClasses.h"

namespace {

// Class id -> factory. Never destroyed: a library thread that was given up at stop may still
// create objects while the process's static objects are being destroyed.
class ClassRegistry {
 public:
  static ClassRegistry& Instance() {
    static ClassRegistry* registry = new ClassRegistry();
    return *registry;
  }

  void Set(uint32_t classId, nvClassFactory factory) {
    std::lock_guard lock(mutex_);
    factories_[classId] = factory;
  }

  nvClassFactory Find(uint32_t classId) {
    std::lock_guard lock(mutex_);
    auto found = factories_.find(classId);
    return found == factories_.end() ? nullptr : found->second;
  }

 private:
  ClassRegistry() {
    for (const nvClassEntry& entry : cpCoreClasses()) factories_[entry.classId] = entry.factory;
  }

  std::mutex mutex_;
  std::map<uint32_t, nvClassFactory> factories_;
};

}  // namespace

bool nvRegisterClass(uint32_t classId, nvClassFactory factory) {
  if (classId == 0 || factory == nullptr) return false;
  ClassRegistry::Instance().Set(classId, factory);
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
  nvClassFactory factory = ClassRegistry::Instance().Find(classId);
  if (factory == nullptr) return false;
  Attach(factory());
  return object_ != nullptr;
}

bool nvSmartPtr::QueryInterface(int32_t interfaceId, void** out) const {
  return object_ != nullptr && !cpFailed(object_->QueryInterface(interfaceId, out));
}
