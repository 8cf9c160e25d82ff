#include "core/cpSocket.h"

#include <atomic>

#include "core/cpCHostAddressBook.h"
#include "core/cpCMutex.h"
#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"

namespace {

std::atomic<int32_t> g_liveWindows{0};
cpCMutexPtr g_windowLock;
std::atomic<platform::WindowHandle> g_windowHandle{0};

constexpr uint32_t kAllNotices = platform::kFdRead | platform::kFdWrite | platform::kFdOob |
                                 platform::kFdAccept | platform::kFdConnect | platform::kFdClose;  // 63
constexpr uint32_t kRearmNotices =
    platform::kFdRead | platform::kFdWrite | platform::kFdOob | platform::kFdClose;  // 39

bool HasSocket(const cpSocketRecord* record) {
  return record != nullptr && record->handle != cpSocketRecord::kNoSocketYet &&
         record->handle != platform::kInvalidSocket;
}

cpStatus ResultOf(int platformResult) { return platformResult < 0 ? cpSocketLastError() : CP_S_OK; }

// The manager event of a readiness notice, or 0 for none.
int32_t EventOf(uint32_t notice, int32_t error) {
  switch (notice) {
    case platform::kFdRead:
      return QOS_SOCK_READ;
    case platform::kFdWrite:
      return QOS_SOCK_WRITE;
    case platform::kFdAccept:
      return QOS_SOCK_ACCEPT;
    case platform::kFdClose:
      return QOS_SOCK_CLOSED;
    case platform::kFdConnect:
      if (error == 0) return QOS_SOCK_CONNECTED;
      if (error == platform::kSockRefused) return QOS_SOCK_REFUSED;
      if (error == platform::kSockHostUnreachable) return QOS_SOCK_UNREACHABLE;
      return 0;  // any other connect error ends by the connect time-out
    default:
      return 0;
  }
}

intptr_t NotifyWindowProcedure(void* /*context*/, platform::WindowHandle /*window*/, uint32_t message,
                               uintptr_t wParam, intptr_t lParam) {
  cpMutexGuard guard(g_windowLock);
  bool socketMessage = message >= CP_MSG_SOCKET_FIRST && message < CP_MSG_SOCKET_FIRST + CP_SOCKET_SLOTS;
  if (g_liveWindows.load() == 0 && socketMessage) return 0;
  cpCQoS* manager = cpCQoS::Instance();
  if (message == CP_MSG_CONTEXT_EVENT) {
    if (manager != nullptr) {
      manager->HandleContextEvent(static_cast<int32_t>(wParam), reinterpret_cast<cpSocketRecord*>(lParam));
    }
    return 0;
  }
  if (socketMessage) {
    if (static_cast<platform::SocketHandle>(wParam) == platform::kInvalidSocket) return 0;
    auto bits = static_cast<uint32_t>(lParam);
    int32_t error = static_cast<int32_t>(bits >> 16);
    int32_t event = EventOf(bits & 0xFFFFu, error);
    if (event != 0 && manager != nullptr) {
      manager->HandleSocketEvent(static_cast<int32_t>(message - CP_MSG_SOCKET_FIRST), event, error,
                                 static_cast<platform::SocketHandle>(wParam));
    }
    return 0;
  }
  if (message == CP_MSG_DETACHED_EVENT) {
    // The connection was add-ref'd when the event was posted.
    auto* context = reinterpret_cast<cpCQoSContext*>(lParam);
    context->ProcessDetachedEvent();
    context->Release();
    return 0;
  }
  if (message == CP_MSG_HOST_RESOLVED) {
    cpAddressBookDeliver(lParam);
    return 0;
  }
  return 0;
}

}  // namespace

cpStatus cpSocketStatusFromError(int error) {
  switch (error) {
    case platform::kSockWouldBlock:
      return CP_E_WOULDBLOCK;
    case platform::kSockInProgress:
      return CP_E_INPROGRESS;
    case platform::kSockAlready:
      return CP_E_ALREADY;
    case platform::kSockNotSocket:
      return CP_E_NOTSOCK;
    case platform::kSockNoBuffers:
      return CP_E_NOBUFS;
    case platform::kSockRefused:
      return CP_E_REFUSED;
    default:
      return CP_E_FAIL;
  }
}

cpStatus cpSocketLastError() { return cpSocketStatusFromError(platform::LastSocketError()); }

cpStatus cpSocketAllocate(cpSocketRecord** record) {
  if (record == nullptr) return CP_E_FAIL;
  if (*record == nullptr) {
    *record = new cpSocketRecord;
    return CP_S_OK;
  }
  if ((*record)->handle == cpSocketRecord::kNoSocketYet) return CP_E_FAIL;
  if ((*record)->handle == platform::kInvalidSocket) return CP_E_NOTSOCK;
  return CP_E_EXISTS;
}

cpStatus cpSocketCreate(cpSocketRecord** record, int32_t kind) {
  cpStatus allocated = cpSocketAllocate(record);
  if (allocated == CP_E_EXISTS || record == nullptr || *record == nullptr) return allocated;
  cpSocketRecord* target = *record;
  target->kind = kind;
  if (kind == 0) {
    target->handle = platform::SocketOpen(platform::SocketKind::kStream);
    // Closing resets the connection instead of lingering.
    if (platform::SocketSetLinger(target->handle, true, 0) < 0) return cpSocketLastError();
  } else if (kind == 1) {
    target->handle = platform::SocketOpen(platform::SocketKind::kDatagram);
    if (target->handle == platform::kInvalidSocket) {
      delete target;
      *record = nullptr;
      return CP_E_BADRECORD;
    }
  }
  return CP_S_OK;
}

cpStatus cpSocketClose(cpSocketRecord* record) {
  if (record == nullptr) return CP_E_BADRECORD;
  if (HasSocket(record)) platform::SocketClose(record->handle);
  delete record;
  return CP_S_OK;
}

cpStatus cpSocketCheck(const cpSocketRecord* record) {
  if (record == nullptr) return CP_E_BADRECORD;
  if (record->handle == platform::kInvalidSocket) return CP_E_NOTSOCK;
  return CP_S_OK;
}

cpStatus cpSocketConnect(cpSocketRecord* record, const cpAddress* address) {
  if (record == nullptr || address == nullptr) return CP_E_FAIL;
  record->socketAddress = *address;
  record->addressLength = 16;
  return ResultOf(platform::SocketConnect(record->handle, address->address, address->port));
}

cpStatus cpSocketSend(cpSocketRecord* record, const char* data, int32_t length, int32_t* sent) {
  if (record == nullptr) return CP_E_BADRECORD;
  int result = platform::SocketSend(record->handle, data, length);
  if (sent != nullptr) *sent = result;
  return ResultOf(result);
}

cpStatus cpSocketReceive(cpSocketRecord* record, char* buffer, int32_t size, int32_t* received) {
  if (record == nullptr) return CP_E_BADRECORD;
  int result = platform::SocketReceive(record->handle, buffer, size);
  if (received != nullptr) *received = result;
  // A peer that closed (0 bytes) is not a success.
  return result > 0 ? CP_S_OK : cpSocketLastError();
}

cpStatus cpSocketSendTo(cpSocketRecord* record, const char* data, int32_t length, const cpAddress* to,
                        int32_t* sent) {
  if (cpFailed(cpSocketCheck(record)) || to == nullptr) return CP_E_BADRECORD;
  record->socketAddress = *to;
  record->addressLength = 16;
  int result = platform::SocketSendTo(record->handle, data, length, to->address, to->port);
  if (sent != nullptr) *sent = result;
  return ResultOf(result);
}

cpStatus cpSocketReceiveFrom(cpSocketRecord* record, char* buffer, int32_t size, cpAddress* from,
                             int32_t* received) {
  if (cpFailed(cpSocketCheck(record)) || from == nullptr) return CP_E_BADRECORD;
  record->socketAddress = *from;
  record->addressLength = 16;
  int result = platform::SocketReceiveFrom(record->handle, buffer, size, &from->address, &from->port);
  if (received != nullptr) *received = result;
  return ResultOf(result);
}

cpStatus cpSocketBind(cpSocketRecord* record, const cpAddress* address) {
  if (record == nullptr || address == nullptr) return CP_E_FAIL;
  platform::SocketSetReuseAddress(record->handle);
  record->socketAddress = *address;
  record->addressLength = 16;
  return ResultOf(platform::SocketBind(record->handle, address->address, address->port));
}

cpStatus cpSocketListen(cpSocketRecord* record) {
  if (record == nullptr) return CP_E_BADRECORD;
  return ResultOf(platform::SocketListen(record->handle, 5));
}

cpStatus cpSocketAccept(cpSocketRecord* listener, cpAddress* peer, cpSocketRecord* accepted) {
  if (accepted == nullptr) return CP_E_BADRECORD;
  if (listener == nullptr) return CP_E_FAIL;
  uint32_t address = 0;
  uint16_t port = 0;
  platform::SocketHandle handle = platform::SocketAccept(listener->handle, &address, &port);
  if (handle == platform::kInvalidSocket) return cpSocketLastError();
  accepted->handle = handle;
  accepted->kind = listener->kind;
  platform::SocketSetLinger(handle, true, 0);
  platform::SocketPeerName(handle, &accepted->socketAddress.address, &accepted->socketAddress.port);
  accepted->addressLength = 16;
  if (peer != nullptr) {
    peer->address = address;
    // As the socket address holds it: network byte order.
    peer->port = platform::HostToNetwork16(port);
  }
  return CP_S_OK;
}

cpStatus cpSocketSetBlocking(cpSocketRecord* record, bool blocking) {
  if (record == nullptr) return CP_E_BADRECORD;
  record->nonBlocking = blocking ? 0 : 1;
  return ResultOf(platform::SocketSetNonBlocking(record->handle, record->nonBlocking != 0));
}

cpStatus cpSocketSetOption(cpSocketRecord* record, int32_t option) {
  if (record == nullptr || option != 0) return CP_E_FAIL;
  return platform::SocketSetBroadcast(record->handle) < 0 ? CP_E_FAIL : CP_S_OK;
}

cpStatus cpSocketSelect(cpNotifyWindowRecord* window, cpSocketRecord* record, int32_t slot) {
  if (window == nullptr || record == nullptr) return CP_E_FAIL;
  record->window = window;
  record->slot = slot;
  return ResultOf(platform::SocketAsyncSelect(
      record->handle, window->window, CP_MSG_SOCKET_FIRST + static_cast<uint32_t>(slot), kAllNotices));
}

cpStatus cpSocketUnselect(cpNotifyWindowRecord* window, cpSocketRecord* record, int32_t* slot) {
  if (slot != nullptr) *slot = -1;
  if (record == nullptr || record->slot < 0) return CP_E_FAIL;
  int32_t old = record->slot;
  record->slot = -1;
  if (slot != nullptr) *slot = old;
  platform::WindowHandle handle = window != nullptr ? window->window : 0;
  return ResultOf(platform::SocketAsyncSelect(record->handle, handle,
                                              CP_MSG_SOCKET_FIRST + static_cast<uint32_t>(old), 0));
}

cpStatus cpSocketRearm(cpSocketRecord* record) {
  if (record == nullptr || record->window == nullptr || record->slot < 0) return CP_E_FAIL;
  return ResultOf(platform::SocketAsyncSelect(record->handle, record->window->window,
                                              CP_MSG_SOCKET_FIRST + static_cast<uint32_t>(record->slot),
                                              kRearmNotices));
}

cpStatus cpSocketPostEvent(cpSocketRecord* record) {
  if (record == nullptr || record->window == nullptr) return CP_E_FAIL;
  platform::PostToWindow(record->window->window, CP_MSG_CONTEXT_EVENT, static_cast<uintptr_t>(record->slot),
                         reinterpret_cast<intptr_t>(record));
  return CP_S_OK;
}

cpStatus cpNetStartup() { return NW_S_OK; }

cpStatus cpNetCleanup() { return NW_S_OK; }

cpStatus cpHtons(uint16_t value, uint16_t* out) {
  if (out != nullptr) *out = platform::HostToNetwork16(value);
  return CP_S_OK;
}

cpStatus cpNtohs(uint16_t value, uint16_t* out) {
  if (out != nullptr) *out = platform::NetworkToHost16(value);
  return CP_S_OK;
}

cpStatus cpResolveHost(const char* name, uint32_t* address) {
  std::vector<uint32_t> addresses;
  if (cpFailed(cpResolveHostAll(name, &addresses)) || address == nullptr) return CP_E_FAIL;
  *address = addresses.front();
  return CP_S_OK;
}

cpStatus cpResolveHostAll(const char* name, std::vector<uint32_t>* addresses) {
  if (name == nullptr || name[0] == '\0' || addresses == nullptr) return CP_E_FAIL;
  std::vector<uint32_t> found = platform::ResolveHostIPv4(name);
  addresses->insert(addresses->end(), found.begin(), found.end());
  return found.empty() ? CP_E_FAIL : CP_S_OK;
}

cpStatus cpNotifyWindowCreate(cpNotifyWindowRecord** out, cpCMutexPtr lock) {
  if (out == nullptr) return CP_E_FAIL;
  g_windowLock = std::move(lock);
  auto* record = new cpNotifyWindowRecord;
  record->window = platform::CreateMessageWindow(&NotifyWindowProcedure, nullptr);
  g_windowHandle.store(record->window);
  ++g_liveWindows;
  *out = record;
  return CP_S_OK;
}

cpStatus cpNotifyWindowDestroy(cpNotifyWindowRecord* record) {
  if (record == nullptr) return CP_S_OK;
  cpAddressBookAbandonPending();
  --g_liveWindows;
  g_windowLock.Reset();
  g_windowHandle.store(0);
  // The window itself stays until its thread ends; messages still queued for it are ignored.
  platform::PostToWindow(record->window, CP_MSG_WINDOW_GONE, 0, 0);
  delete record;
  return CP_S_OK;
}

platform::WindowHandle cpNotifyWindowHandle() { return g_windowHandle.load(); }

cpCSocket::~cpCSocket() {
  if (record_ != nullptr) cpSocketClose(record_);
}

cpStatus cpCSocket::Create(int32_t kind) { return cpSocketCreate(&record_, kind); }

cpStatus cpCSocket::Connect(const cpAddress* address) { return cpSocketConnect(record_, address); }

cpStatus cpCSocket::Close() {
  cpStatus status = cpSocketClose(record_);
  record_ = nullptr;
  return status;
}

cpStatus cpCSocket::Send(const char* data, int32_t length, int32_t* sent) {
  return cpSocketSend(record_, data, length, sent);
}

cpStatus cpCSocket::Receive(char* buffer, int32_t size, int32_t* received) {
  return cpSocketReceive(record_, buffer, size, received);
}

cpStatus cpCSocket::Bind(const cpAddress* address) { return cpSocketBind(record_, address); }

cpStatus cpCSocket::Listen() { return cpSocketListen(record_); }

cpSocketRecord* cpCSocket::Accept(cpAddress* peer, cpStatus* status) {
  auto* accepted = new cpSocketRecord;
  cpStatus result = cpSocketAccept(record_, peer, accepted);
  if (status != nullptr) *status = result;
  if (cpFailed(result)) {
    cpSocketClose(accepted);
    return nullptr;
  }
  return accepted;
}

cpStatus cpCSocket::SendTo(const char* data, int32_t length, const cpAddress* to, int32_t* sent) {
  return cpSocketSendTo(record_, data, length, to, sent);
}

cpStatus cpCSocket::SetOption(int32_t option) { return cpSocketSetOption(record_, option); }

cpStatus cpCSocket::ReceiveFrom(char* buffer, int32_t size, cpAddress* from, int32_t* received) {
  return cpSocketReceiveFrom(record_, buffer, size, from, received);
}
