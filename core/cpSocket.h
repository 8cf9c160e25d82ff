#pragma once
// The library's contact with the socket interface: a socket record and C-style primitives that
// answer status values, the socket library's start-up, and the notification window whose
// messages turn socket readiness into manager events on the library thread.

#include <cstdint>
#include <vector>

#include "core/Status.h"
#include "core/cpCMutex.h"
#include "core/nvSmartPtr.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"

struct cpAddress {
  uint32_t address = 0;  // IPv4, network byte order
  uint16_t port = 0;     // host byte order
};

struct cpNotifyWindowRecord {
  platform::WindowHandle window = 0;
  uintptr_t reserved = 0;
};

struct cpSocketRecord {
  static constexpr platform::SocketHandle kNoSocketYet = -2;

  platform::SocketHandle handle = kNoSocketYet;  // -1: creation failed
  int32_t kind = 0;                              // 0 stream, 1 datagram
  cpAddress socketAddress;                       // last used by connect, bind, send-to, ...
  int32_t addressLength = 0;
  uint32_t nonBlocking = 0;
  int32_t slot = 0;  // QoS slot whose message the socket reports with; -1 after unselect
  cpNotifyWindowRecord* window = nullptr;
};

// Messages of the notification window.
enum : uint32_t {
  CP_MSG_WINDOW_GONE = platform::kMsgUser + 8,        // 0x408
  CP_MSG_CONTEXT_EVENT = platform::kMsgUser + 9,      // 0x409: wParam slot, lParam record
  CP_MSG_SOCKET_FIRST = platform::kMsgUser + 10,      // 0x40A + slot
  CP_MSG_HOST_RESOLVED = platform::kMsgUser + 0x50,   // a background resolution finished
  CP_MSG_DETACHED_EVENT = platform::kMsgUser + 0x51,  // an event of a connection without socket
};
constexpr int32_t CP_SOCKET_SLOTS = 64;

// Manager events made from socket notifications.
enum : int32_t {
  QOS_SOCK_READ = 2,
  QOS_SOCK_WRITE = 3,
  QOS_SOCK_CONNECTED = 4,
  QOS_SOCK_ACCEPT = 6,
  QOS_SOCK_CLOSED = 7,
  QOS_SOCK_REFUSED = 8,
  QOS_SOCK_UNREACHABLE = 9,
};

cpStatus cpSocketAllocate(cpSocketRecord** record);
cpStatus cpSocketCreate(cpSocketRecord** record, int32_t kind);
cpStatus cpSocketClose(cpSocketRecord* record);
cpStatus cpSocketCheck(const cpSocketRecord* record);
cpStatus cpSocketConnect(cpSocketRecord* record, const cpAddress* address);
cpStatus cpSocketSend(cpSocketRecord* record, const char* data, int32_t length, int32_t* sent);
cpStatus cpSocketReceive(cpSocketRecord* record, char* buffer, int32_t size, int32_t* received);
cpStatus cpSocketSendTo(cpSocketRecord* record, const char* data, int32_t length, const cpAddress* to,
                        int32_t* sent);
cpStatus cpSocketReceiveFrom(cpSocketRecord* record, char* buffer, int32_t size, cpAddress* from,
                             int32_t* received);
cpStatus cpSocketBind(cpSocketRecord* record, const cpAddress* address);
cpStatus cpSocketListen(cpSocketRecord* record);
cpStatus cpSocketAccept(cpSocketRecord* listener, cpAddress* peer, cpSocketRecord* accepted);
cpStatus cpSocketSetBlocking(cpSocketRecord* record, bool blocking);
cpStatus cpSocketSetOption(cpSocketRecord* record, int32_t option);
cpStatus cpSocketSelect(cpNotifyWindowRecord* window, cpSocketRecord* record, int32_t slot);
cpStatus cpSocketUnselect(cpNotifyWindowRecord* window, cpSocketRecord* record, int32_t* slot);
cpStatus cpSocketRearm(cpSocketRecord* record);
cpStatus cpSocketPostEvent(cpSocketRecord* record);
// The status of the calling thread's last socket error.
cpStatus cpSocketLastError();
cpStatus cpSocketStatusFromError(int error);

cpStatus cpNetStartup();
cpStatus cpNetCleanup();
cpStatus cpHtons(uint16_t value, uint16_t* out);
cpStatus cpNtohs(uint16_t value, uint16_t* out);

// Blocking resolution; the address book resolves through these on a helper thread.
cpStatus cpResolveHost(const char* name, uint32_t* address);
cpStatus cpResolveHostAll(const char* name, std::vector<uint32_t>* addresses);

// The notification window lives on the thread that creates it (the library thread); its
// procedure takes the lock for every message it handles.
cpStatus cpNotifyWindowCreate(cpNotifyWindowRecord** out, cpCMutexPtr lock);
cpStatus cpNotifyWindowDestroy(cpNotifyWindowRecord* record);
// The live notification window, or 0.
platform::WindowHandle cpNotifyWindowHandle();

// The object form of the primitives (class id 0x1005).
class cpCSocket : public nvTRefCounted<> {
 public:
  cpCSocket() = default;
  ~cpCSocket() override;

  virtual cpStatus Create(int32_t kind);
  virtual cpStatus Connect(const cpAddress* address);
  virtual cpStatus Close();
  virtual cpStatus Send(const char* data, int32_t length, int32_t* sent);
  virtual cpStatus Receive(char* buffer, int32_t size, int32_t* received);
  virtual cpStatus Reserved() { return CP_S_OK; }
  virtual cpStatus Bind(const cpAddress* address);
  virtual cpStatus Listen();
  // A new record holding the accepted connection, or null with the error in *status.
  virtual cpSocketRecord* Accept(cpAddress* peer, cpStatus* status);
  virtual cpStatus SendTo(const char* data, int32_t length, const cpAddress* to, int32_t* sent);
  virtual cpStatus SetOption(int32_t option);
  virtual cpStatus ReceiveFrom(char* buffer, int32_t size, cpAddress* from, int32_t* received);

  cpSocketRecord* Record() const { return record_; }

 private:
  cpSocketRecord* record_ = nullptr;
};
