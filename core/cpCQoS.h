#pragma once
// The one manager of every live connection: 64 slots in which connections are registered, the
// notification window whose per-slot messages report their sockets' readiness, and a 1000 ms
// tick that starts each scheduling second, refilling the shared bandwidth budgets.

#include <cstdint>

#include "core/cpCMutex.h"
#include "core/cpCTimer.h"
#include "core/cpSocket.h"
#include "core/nvSmartPtr.h"

class cpCQoSContext;

class cpCQoS {
 public:
  static constexpr int32_t kDefaultLimit = 0x6400000;  // 100 MiB per second, each way

  explicit cpCQoS(cpCMutexPtr lock);
  virtual ~cpCQoS();
  cpCQoS(const cpCQoS&) = delete;
  cpCQoS& operator=(const cpCQoS&) = delete;

  virtual cpStatus Init(cpCMutexPtr lock);
  virtual cpStatus Shutdown();

  // The process-wide manager (set by the runtime root), or null.
  static cpCQoS* Instance();
  static void SetInstance(cpCQoS* manager);

  void Lock();
  void Unlock();
  const cpCMutexPtr& GetLock() const { return lock_; }

  // Registers the connection in the next free slot with `socket` (a new non-blocking stream
  // socket when null). Returns the socket, or null when no slot is free (nothing is registered
  // and a socket made here is closed again).
  cpSocketRecord* Register(cpCQoSContext* context, cpSocketRecord* socket);
  cpStatus Unregister(cpCQoSContext* context, cpSocketRecord* socket);
  cpCQoSContext* ContextAt(uint32_t slot) const;

  // From the notification window. A notice for a socket the slot no longer holds is dropped.
  void HandleSocketEvent(int32_t slot, int32_t event, int32_t error, platform::SocketHandle socket);
  void HandleContextEvent(int32_t slot, cpSocketRecord* record);
  // The 1000 ms step.
  void Tick();

  int32_t TakeSendBudget(int32_t n);
  void ReturnSendBudget(int32_t n);
  int32_t TakeReceiveBudget(int32_t n);
  void ReturnReceiveBudget(int32_t n);

  int32_t Cursor() const { return cursor_; }
  int32_t TickCount() const { return tickCount_; }

 private:
  static void OnTimer(void* self);
  static int32_t Take(int32_t n, int32_t budget, int32_t* granted);
  // Moves the cursor to the next free slot after it (wrapping); false when none is free.
  bool AdvanceCursor();

  cpCMutexPtr lock_;
  cpCTimerPtr timer_;
  cpNotifyWindowRecord* window_ = nullptr;
  cpCQoSContext* slots_[CP_SOCKET_SLOTS] = {};
  int32_t cursor_ = 0;
  int32_t tickCount_ = 0;
  int32_t sendBudget_ = 0;
  int32_t sendGranted_ = 0;
  int32_t receiveBudget_ = 0;
  int32_t receiveGranted_ = 0;
  int32_t sendLimit_ = kDefaultLimit;
  int32_t receiveLimit_ = kDefaultLimit;
};

// Brackets work on connections from outside the library thread's own callbacks.
class cpQoSLockGuard {
 public:
  cpQoSLockGuard();
  ~cpQoSLockGuard();
  cpQoSLockGuard(const cpQoSLockGuard&) = delete;
  cpQoSLockGuard& operator=(const cpQoSLockGuard&) = delete;

 private:
  cpCQoS* manager_;
};
