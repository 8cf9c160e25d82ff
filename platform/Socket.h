#pragma once
// IPv4 sockets with Winsock-style error numbers, readiness reported as window messages the way
// WSAAsyncSelect does it, and host-name resolution.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace platform {

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// Error numbers of the last socket call on this thread, in the Winsock numbering the library's
// status mapping knows (0: none).
enum : int {
  kSockInterrupted = 10004,
  kSockAccess = 10013,
  kSockFault = 10014,
  kSockInvalid = 10022,
  kSockTooManyOpen = 10024,
  kSockWouldBlock = 10035,
  kSockInProgress = 10036,
  kSockAlready = 10037,
  kSockNotSocket = 10038,
  kSockMessageSize = 10040,
  kSockAddressFamily = 10047,
  kSockAddressInUse = 10048,
  kSockAddressNotAvailable = 10049,
  kSockNetworkDown = 10050,
  kSockNetworkUnreachable = 10051,
  kSockConnectionAborted = 10053,
  kSockConnectionReset = 10054,
  kSockNoBuffers = 10055,
  kSockIsConnected = 10056,
  kSockNotConnected = 10057,
  kSockTimedOut = 10060,
  kSockRefused = 10061,
  kSockHostUnreachable = 10065,
  kSockOtherError = 10099,
};
int LastSocketError();
// The Winsock number of an errno value.
int SocketErrorFromErrno(int error);

enum class SocketKind { kStream, kDatagram };

SocketHandle SocketOpen(SocketKind kind);
int SocketClose(SocketHandle socket);
// The calls below return the platform result (0 / bytes, or -1 with LastSocketError()).
int SocketSetLinger(SocketHandle socket, bool on, int seconds);
int SocketSetBroadcast(SocketHandle socket);
int SocketSetReuseAddress(SocketHandle socket);
int SocketSetNonBlocking(SocketHandle socket, bool nonBlocking);
// Addresses: IPv4 in network byte order, port in host byte order.
int SocketConnect(SocketHandle socket, uint32_t address, uint16_t port);
int SocketBind(SocketHandle socket, uint32_t address, uint16_t port);
int SocketListen(SocketHandle socket, int backlog);
SocketHandle SocketAccept(SocketHandle listener, uint32_t* address, uint16_t* port);
int SocketPeerName(SocketHandle socket, uint32_t* address, uint16_t* port);
// The address and port the socket is bound to (the port a bind to port 0 got).
int SocketLocalName(SocketHandle socket, uint32_t* address, uint16_t* port);
int SocketSend(SocketHandle socket, const void* data, int length);
// 0 when the peer closed the connection.
int SocketReceive(SocketHandle socket, void* buffer, int size);
int SocketSendTo(SocketHandle socket, const void* data, int length, uint32_t address, uint16_t port);
int SocketReceiveFrom(SocketHandle socket, void* buffer, int size, uint32_t* address, uint16_t* port);

// Readiness notices of SocketAsyncSelect.
enum : uint32_t {
  kFdRead = 0x01,
  kFdWrite = 0x02,
  kFdOob = 0x04,
  kFdAccept = 0x08,
  kFdConnect = 0x10,
  kFdClose = 0x20,
};

// Posts `message` to `window` (on the window's thread) whenever the socket becomes ready for one
// of `events`: wParam = socket, lParam = notice | (error << 16). A notice is not repeated until
// it is re-enabled: FD_READ by a receive, FD_WRITE by a send that would block, FD_ACCEPT by an
// accept; FD_CONNECT and FD_CLOSE come once. FD_CLOSE follows the last unread byte. Selecting
// again reports the current readability and writability anew; events 0 stops the notices.
int SocketAsyncSelect(SocketHandle socket, WindowHandle window, uint32_t message, uint32_t events);

// Test seam, in the manner of a debug socket layer (never used by the library): from now on
// `socket` takes at most `room` more bytes through SocketSend and then answers would-block, as a
// full send buffer does, so partial writes happen exactly where a test wants them. A negative
// room lifts the limit; closing the socket lifts it too.
void SocketLimitSendRoomForTesting(SocketHandle socket, int room);

// Every IPv4 address of `name` in the resolver's order (blocking; empty when it has none).
std::vector<uint32_t> ResolveHostIPv4(const std::string& name);
// A dotted IPv4 literal in network byte order; false for anything else.
bool ParseIPv4(const std::string& text, uint32_t* address);

uint16_t HostToNetwork16(uint16_t value);
uint16_t NetworkToHost16(uint16_t value);

}  // namespace platform
