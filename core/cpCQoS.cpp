#include "core/cpCQoS.h"

#include <algorithm>

#include "core/cpCMutex.h"
#include "core/cpCQoSContext.h"
#include "core/cpCTimer.h"

namespace {

cpCQoS* g_manager = nullptr;

constexpr uint32_t kTickMs = 1000;
constexpr int32_t kTickTag = 0x1000002;

}  // namespace

cpCQoS* cpCQoS::Instance() { return g_manager; }

void cpCQoS::SetInstance(cpCQoS* manager) { g_manager = manager; }

cpCQoS::cpCQoS(cpCMutexPtr lock) { Init(std::move(lock)); }

cpCQoS::~cpCQoS() { Shutdown(); }

cpStatus cpCQoS::Init(cpCMutexPtr lock) {
  lock_ = std::move(lock);
  cursor_ = 0;
  tickCount_ = 0;
  sendLimit_ = receiveLimit_ = kDefaultLimit;
  sendBudget_ = sendGranted_ = receiveBudget_ = receiveGranted_ = 0;
  std::fill(std::begin(slots_), std::end(slots_), nullptr);
  cpNotifyWindowCreate(&window_, lock_);
  timer_ = cpStartTimer(kTickMs, &cpCQoS::OnTimer, this, kTickTag);
  return timer_ ? CP_S_OK : CP_E_FAIL;
}

cpStatus cpCQoS::Shutdown() {
  cpStopTimer(timer_);
  if (window_ != nullptr) {
    cpNotifyWindowDestroy(window_);
    window_ = nullptr;
  }
  return CP_S_OK;
}

void cpCQoS::Lock() {
  if (lock_) lock_->Lock();
}

void cpCQoS::Unlock() {
  if (lock_) lock_->Unlock();
}

bool cpCQoS::AdvanceCursor() {
  for (int32_t step = 1; step < CP_SOCKET_SLOTS; ++step) {
    int32_t slot = (cursor_ + step) % CP_SOCKET_SLOTS;
    if (slots_[slot] == nullptr) {
      cursor_ = slot;
      return true;
    }
  }
  return false;
}

cpSocketRecord* cpCQoS::Register(cpCQoSContext* context, cpSocketRecord* socket) {
  bool madeHere = socket == nullptr;
  if (madeHere && cpFailed(cpSocketCreate(&socket, 0))) {
    if (socket != nullptr) cpSocketClose(socket);
    return nullptr;
  }
  cpSocketSetBlocking(socket, false);
  cpMutexGuard guard(lock_);
  // Every slot taken: refuse rather than overwrite a live connection.
  if (slots_[cursor_] != nullptr && !AdvanceCursor()) {
    if (madeHere) cpSocketClose(socket);
    return nullptr;
  }
  cpSocketSelect(window_, socket, cursor_);
  slots_[cursor_] = context;
  context->AddRef();
  AdvanceCursor();
  return socket;
}

cpStatus cpCQoS::Unregister(cpCQoSContext* context, cpSocketRecord* socket) {
  cpCQoSContext* released = nullptr;
  {
    cpMutexGuard guard(lock_);
    int32_t slot = -1;
    cpSocketUnselect(window_, socket, &slot);
    if (slot >= 0 && slot < CP_SOCKET_SLOTS && slots_[slot] != nullptr) {
      released = slots_[slot];
      slots_[slot] = nullptr;
    }
    (void)context;
  }
  cpStatus status = cpSocketClose(socket);
  if (released != nullptr) released->Release();
  return status;
}

cpCQoSContext* cpCQoS::ContextAt(uint32_t slot) const {
  return slot < static_cast<uint32_t>(CP_SOCKET_SLOTS) ? slots_[slot] : nullptr;
}

void cpCQoS::HandleSocketEvent(int32_t slot, int32_t event, int32_t /*error*/,
                               platform::SocketHandle socket) {
  cpMutexGuard guard(lock_);
  cpCQoSContext* context = slot >= 0 ? ContextAt(static_cast<uint32_t>(slot)) : nullptr;
  if (context == nullptr || !context->OwnsSocket(socket)) return;
  nvSmartPtr keep(context);  // a reaction may close the connection and empty the slot
  switch (event) {
    case QOS_SOCK_READ:
      context->OnReadable();
      break;
    case QOS_SOCK_WRITE:
      context->OnWritable();
      break;
    case QOS_SOCK_CONNECTED:
      context->OnConnected();
      break;
    case QOS_SOCK_CLOSED:
      context->Close(true);
      break;
    case QOS_SOCK_REFUSED:
      context->ConnectFailed();
      break;
    case QOS_SOCK_UNREACHABLE:
      context->HostUnreachable();
      break;
    default:
      break;
  }
}

void cpCQoS::HandleContextEvent(int32_t slot, cpSocketRecord* record) {
  cpMutexGuard guard(lock_);
  cpCQoSContext* context = slot >= 0 ? ContextAt(static_cast<uint32_t>(slot)) : nullptr;
  if (context == nullptr) return;
  nvSmartPtr keep(context);
  context->ProcessEvent(record);
}

void cpCQoS::OnTimer(void* self) { static_cast<cpCQoS*>(self)->Tick(); }

void cpCQoS::Tick() {
  sendBudget_ = sendLimit_;
  receiveBudget_ = receiveLimit_;
  sendGranted_ = 0;
  receiveGranted_ = 0;
  cpMutexGuard guard(lock_);
  int32_t totals[2] = {0, 0};
  for (cpCQoSContext* context : slots_) {
    if (context == nullptr) continue;
    nvSmartPtr keep(context);
    context->SecondTick(totals);
  }
  ++tickCount_;
}

int32_t cpCQoS::Take(int32_t n, int32_t budget, int32_t* granted) {
  if (*granted >= budget || n <= 0) return 0;
  int32_t grant = std::min(n, budget - *granted);
  *granted += grant;
  return grant;
}

int32_t cpCQoS::TakeSendBudget(int32_t n) { return Take(n, sendBudget_, &sendGranted_); }

void cpCQoS::ReturnSendBudget(int32_t n) { sendGranted_ -= n; }

int32_t cpCQoS::TakeReceiveBudget(int32_t n) { return Take(n, receiveBudget_, &receiveGranted_); }

void cpCQoS::ReturnReceiveBudget(int32_t n) { receiveGranted_ -= n; }

cpQoSLockGuard::cpQoSLockGuard() : manager_(cpCQoS::Instance()) {
  if (manager_ != nullptr) manager_->Lock();
}

cpQoSLockGuard::~cpQoSLockGuard() {
  if (manager_ != nullptr) manager_->Unlock();
}
