#pragma once
// Surviving "my listener destroyed me". An object that calls out to code which may destroy it (a
// listener, a host callback) takes a guard on itself first and checks it before it touches a member
// again, as QPointer does for QObject:
//
//   nvCGuard alive(*this);
//   listener_->OnSomething(cookie_);
//   if (!alive) return;  // destroyed meanwhile: not one member more
//
// The object and its guards share one small mark, which the object clears when it is destroyed and
// the last of them frees. Guards are not thread-safe: library objects are used on the library thread
// or under the library lock only.

#include <cstdint>

class nvCGuard;

class nvCGuarded {
 public:
  nvCGuarded(const nvCGuarded&) = delete;
  nvCGuarded& operator=(const nvCGuarded&) = delete;

 protected:
  nvCGuarded() = default;
  ~nvCGuarded();

 private:
  friend class nvCGuard;
  struct Mark {
    int32_t holders = 0;  // the object (while alive) and every guard
    bool alive = true;
  };
  Mark* TakeMark() const;

  mutable Mark* mark_ = nullptr;  // made by the first guard: objects nobody guards pay nothing
};

class nvCGuard {
 public:
  explicit nvCGuard(const nvCGuarded& object);
  nvCGuard(const nvCGuard& other);
  nvCGuard& operator=(const nvCGuard& other);
  ~nvCGuard();

  // False once the guarded object has been destroyed.
  bool Alive() const { return mark_->alive; }
  explicit operator bool() const { return Alive(); }

 private:
  void Drop();

  nvCGuarded::Mark* mark_;
};
