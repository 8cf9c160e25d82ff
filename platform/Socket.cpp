#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/detail/ThreadQueue.h"

namespace platform {
namespace {

thread_local int t_lastError = 0;

int Fail(int error) {
  t_lastError = SocketErrorFromErrno(error);
  return -1;
}

int Succeed(int result) {
  t_lastError = 0;
  return result;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

// The WSAAsyncSelect bookkeeping of one socket. All of it is guarded by the owning queue's watch
// lock, which is also held while OnFdReady runs, so readiness and re-enabling never race.
class SelectedSocket final : public detail::FdWatcher {
 public:
  SelectedSocket(SocketHandle socket, std::shared_ptr<detail::ThreadQueue> queue)
      : socket_(socket), queue_(std::move(queue)) {}

  detail::ThreadQueue& Queue() const { return *queue_; }

  // (Re)selection: the current readability and writability are reported anew.
  void Select(WindowHandle window, uint32_t message, uint32_t events) {
    window_ = window;
    message_ = message;
    events_ = events;
    readEnabled_ = true;
    writeEnabled_ = true;
    acceptEnabled_ = true;
    // An unconnected stream socket reports itself hung up: nothing to watch until it connects. One
    // that was connected has no peer either once a reset arrived, and that it must still report.
    idle_ = !connecting_ && !listening_ && !wasConnected_ && IsUnconnectedStream();
    if (!idle_ && !listening_) wasConnected_ = true;
    Arm();
  }
  void ConnectStarted() {
    connecting_ = true;
    wasConnected_ = true;
    idle_ = false;
    Arm();
  }
  // connect() finished at once: watch as a connected socket (no connect notice comes).
  void ConnectedNow() {
    connecting_ = false;
    wasConnected_ = true;
    idle_ = false;
    Arm();
  }
  // connect() failed at once: reported as the later connect notice Winsock would post, through
  // the window's queue, so the caller hears of it from the message loop like of any other failure.
  void ConnectFailedNow(int error) {
    connecting_ = false;
    closed_ = true;  // a failed connect reports nothing more
    if (events_ & kFdConnect) Post(kFdConnect, error);
  }
  // `error`: the receive's failure other than would-block (a reset read after the last byte), 0
  // for none. It is the error of the close notice that follows.
  void ReceiveCalled(int error) {
    if (error != 0) receiveError_ = error;
    readEnabled_ = true;
    Arm();
  }
  void SendWouldBlock() {
    writeEnabled_ = true;
    Arm();
  }
  void AcceptCalled() {
    acceptEnabled_ = true;
    Arm();
  }

  void OnFdReady(uint32_t ready) override {
    armed_ = 0;  // a one-shot report disarms the descriptor
    if (closed_) return;
    bool hangUp = (ready & (EPOLLHUP | EPOLLRDHUP)) != 0;
    if (connecting_ && (ready & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
      connecting_ = false;
      int error = PendingError();
      if (events_ & kFdConnect) Post(kFdConnect, error);
      if (error != 0) {
        closed_ = true;  // a failed connect reports nothing more
        return;
      }
      // A completed connect is writable at once.
      if ((events_ & kFdWrite) && writeEnabled_) {
        writeEnabled_ = false;
        Post(kFdWrite, 0);
      }
      ready &= ~static_cast<uint32_t>(EPOLLOUT);
    }
    if ((ready & EPOLLERR) != 0) {
      // Bytes that arrived before a reset are read first: the close notice follows the last of
      // them, as after an orderly end. Nothing is written to a failed connection meanwhile.
      if (!listening_ && (events_ & kFdRead) && UnreadBytes() > 0) {
        failing_ = true;
        if (readEnabled_) {
          readEnabled_ = false;
          Post(kFdRead, 0);
        }
        Arm();
        return;
      }
      closed_ = true;
      if (events_ & kFdClose) Post(kFdClose, CloseError(PendingError()));
      return;
    }
    if ((ready & EPOLLIN) != 0 || hangUp) {
      if (listening_) {
        if ((events_ & kFdAccept) && acceptEnabled_) {
          acceptEnabled_ = false;
          Post(kFdAccept, 0);
        }
      } else if (readEnabled_) {
        // The close notice follows the last unread byte.
        if (hangUp && UnreadBytes() == 0) {
          closed_ = true;
          if (events_ & kFdClose) Post(kFdClose, CloseError(0));
          return;
        }
        if ((ready & EPOLLIN) != 0 && (events_ & kFdRead)) {
          readEnabled_ = false;
          Post(kFdRead, 0);
        }
      }
    }
    if ((ready & EPOLLOUT) != 0 && (events_ & kFdWrite) && writeEnabled_) {
      writeEnabled_ = false;
      Post(kFdWrite, 0);
    }
    Arm();
  }

  void SetListening() {
    listening_ = true;
    idle_ = false;
    Arm();
  }

  void Unregister() {
    if (registered_) queue_->Unwatch(socket_);
    registered_ = false;
    armed_ = 0;
  }

 private:
  int PendingError() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    return error != 0 ? SocketErrorFromErrno(error) : 0;
  }

  bool IsUnconnectedStream() const {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(socket_, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return false;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    return getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0;
  }

  // The error of a close notice: the socket's own, else the one a receive met.
  int CloseError(int pending) const { return pending != 0 ? pending : receiveError_; }

  int UnreadBytes() const {
    int count = 0;
    return ioctl(socket_, FIONREAD, &count) == 0 ? count : 0;
  }

  void Post(uint32_t notice, int error) {
    auto lParam = static_cast<intptr_t>(notice | (static_cast<uint32_t>(error) << 16));
    PostToWindow(window_, message_, static_cast<uintptr_t>(socket_), lParam);
  }

  // One-shot interest: after a report nothing more comes until re-enabled, as with Winsock.
  void Arm() {
    if (closed_ || idle_) return;
    uint32_t interest = 0;
    if (listening_) {
      if ((events_ & kFdAccept) && acceptEnabled_) interest |= EPOLLIN;
    } else if (readEnabled_ && (events_ & (kFdRead | kFdClose))) {
      interest |= EPOLLIN | EPOLLRDHUP;
    }
    if (connecting_ || ((events_ & kFdWrite) && writeEnabled_ && !listening_ && !failing_))
      interest |= EPOLLOUT;
    if (interest == 0) return;
    interest |= EPOLLONESHOT;
    // Still armed for the same events (a loop of receives after one notice): nothing to change,
    // and no system call per receive.
    if (registered_ && armed_ == interest) return;
    bool armed = false;
    if (!registered_) {
      registered_ = queue_->Watch(socket_, interest, this);
      armed = registered_;
    } else {
      armed = queue_->Rewatch(socket_, interest);
    }
    armed_ = armed ? interest : 0;
  }

  SocketHandle socket_;
  std::shared_ptr<detail::ThreadQueue> queue_;
  WindowHandle window_ = 0;
  uint32_t message_ = 0;
  uint32_t events_ = 0;
  bool readEnabled_ = true;
  bool writeEnabled_ = true;
  bool acceptEnabled_ = true;
  bool connecting_ = false;
  bool listening_ = false;
  bool wasConnected_ = false;  // connecting or connected once: never idle again
  bool closed_ = false;
  bool idle_ = false;
  bool failing_ = false;  // reset with bytes still unread: only reads are reported
  bool registered_ = false;
  int receiveError_ = 0;
  uint32_t armed_ = 0;  // the interest the descriptor is armed with; 0 after a report
};

// Sockets under SocketAsyncSelect. Lock order: this table, then a queue's watch lock.
struct SelectTable {
  std::mutex mutex;
  std::unordered_map<SocketHandle, std::unique_ptr<SelectedSocket>> sockets;
};

SelectTable& Selected() {
  static SelectTable* table = new SelectTable;
  return *table;
}

// Runs `change` on the socket's bookkeeping, if it is selected, under the proper locks.
template <class Change>
void WithSelected(SocketHandle socket, Change change) {
  SelectTable& table = Selected();
  std::lock_guard lock(table.mutex);
  auto it = table.sockets.find(socket);
  if (it == table.sockets.end()) return;
  std::lock_guard watchLock(it->second->Queue().WatchLock());
  change(*it->second);
}

void Forget(SocketHandle socket) {
  std::unique_ptr<SelectedSocket> removed;
  {
    SelectTable& table = Selected();
    std::lock_guard lock(table.mutex);
    auto it = table.sockets.find(socket);
    if (it == table.sockets.end()) return;
    removed = std::move(it->second);
    table.sockets.erase(it);
    // Waits for a readiness call in progress, so the bookkeeping can go.
    std::lock_guard watchLock(removed->Queue().WatchLock());
    removed->Unregister();
  }
}

// Send-room limits of SocketLimitSendRoomForTesting; the flag keeps the common path lock-free.
std::atomic<bool> g_anySendRoom{false};
std::mutex g_sendRoomMutex;
std::unordered_map<SocketHandle, int> g_sendRoom;

// The bytes of `length` that may go out now: length itself without a limit, 0 for would-block.
int AllowedSendLength(SocketHandle socket, int length) {
  if (!g_anySendRoom.load(std::memory_order_acquire)) return length;
  std::lock_guard lock(g_sendRoomMutex);
  auto it = g_sendRoom.find(socket);
  return it == g_sendRoom.end() ? length : std::min(length, it->second);
}

void UseSendRoom(SocketHandle socket, int sent) {
  if (!g_anySendRoom.load(std::memory_order_acquire)) return;
  std::lock_guard lock(g_sendRoomMutex);
  auto it = g_sendRoom.find(socket);
  if (it != g_sendRoom.end()) it->second = std::max(it->second - sent, 0);
}

void ForgetSendRoom(SocketHandle socket) {
  if (!g_anySendRoom.load(std::memory_order_acquire)) return;
  std::lock_guard lock(g_sendRoomMutex);
  g_sendRoom.erase(socket);
  g_anySendRoom.store(!g_sendRoom.empty(), std::memory_order_release);
}

}  // namespace

int LastSocketError() { return t_lastError; }

int SocketErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EINTR:
      return kSockInterrupted;
    case EACCES:
    case EPERM:
      return kSockAccess;
    case EFAULT:
      return kSockFault;
    case EINVAL:
      return kSockInvalid;
    case EMFILE:
    case ENFILE:
      return kSockTooManyOpen;
    case EAGAIN:
    case EINPROGRESS:  // a non-blocking connect under way
      return kSockWouldBlock;
    case EALREADY:
      return kSockAlready;
    case ENOTSOCK:
    case EBADF:
      return kSockNotSocket;
    case EMSGSIZE:
      return kSockMessageSize;
    case EAFNOSUPPORT:
      return kSockAddressFamily;
    case EADDRINUSE:
      return kSockAddressInUse;
    case EADDRNOTAVAIL:
      return kSockAddressNotAvailable;
    case ENETDOWN:
      return kSockNetworkDown;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return kSockHostUnreachable;
    case ECONNABORTED:
      return kSockConnectionAborted;
    case ECONNRESET:
    case EPIPE:
      return kSockConnectionReset;
    case ENOBUFS:
    case ENOMEM:
      return kSockNoBuffers;
    case EISCONN:
      return kSockIsConnected;
    case ENOTCONN:
      return kSockNotConnected;
    case ETIMEDOUT:
      return kSockTimedOut;
    case ECONNREFUSED:
      return kSockRefused;
    default:
      return kSockOtherError;
  }
}

SocketHandle SocketOpen(SocketKind kind) {
  int type = kind == SocketKind::kStream ? SOCK_STREAM : SOCK_DGRAM;
  int protocol = kind == SocketKind::kStream ? IPPROTO_TCP : 0;
  int socket = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (socket < 0) return Fail(errno);
  return Succeed(socket);
}

int SocketClose(SocketHandle socket) {
  Forget(socket);
  ForgetSendRoom(socket);
  if (close(socket) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketSetLinger(SocketHandle socket, bool on, int seconds) {
  linger value{on ? 1 : 0, seconds};
  if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketSetBroadcast(SocketHandle socket) {
  int on = 1;
  if (setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketSetReuseAddress(SocketHandle socket) {
  int on = 1;
  if (setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketSetNonBlocking(SocketHandle socket, bool nonBlocking) {
  int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0) return Fail(errno);
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(socket, F_SETFL, flags) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketConnect(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in target = MakeAddress(address, port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    WithSelected(socket, [](SelectedSocket& selected) { selected.ConnectedNow(); });
    return Succeed(0);
  }
  int error = errno;
  if (error == EINPROGRESS) WithSelected(socket, [](SelectedSocket& selected) { selected.ConnectStarted(); });
  if (error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH) {
    // A selected socket answers as Winsock does: would-block now, the error in the connect
    // notice later.
    bool selected = false;
    int winsockError = SocketErrorFromErrno(error);
    WithSelected(socket, [&](SelectedSocket& entry) {
      selected = true;
      entry.ConnectFailedNow(winsockError);
    });
    if (selected) return Fail(EINPROGRESS);
  }
  return Fail(error);
}

int SocketBind(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in local = MakeAddress(address, port);
  if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return Fail(errno);
  return Succeed(0);
}

int SocketListen(SocketHandle socket, int backlog) {
  if (listen(socket, backlog) != 0) return Fail(errno);
  WithSelected(socket, [](SelectedSocket& selected) { selected.SetListening(); });
  return Succeed(0);
}

SocketHandle SocketAccept(SocketHandle listener, uint32_t* address, uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int accepted = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  int error = errno;
  WithSelected(listener, [](SelectedSocket& selected) { selected.AcceptCalled(); });
  if (accepted < 0) return Fail(error);
  if (address != nullptr) *address = peer.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(peer.sin_port);
  return Succeed(accepted);
}

int SocketPeerName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return Fail(errno);
  if (address != nullptr) *address = peer.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(peer.sin_port);
  return Succeed(0);
}

int SocketLocalName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return Fail(errno);
  if (address != nullptr) *address = local.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(local.sin_port);
  return Succeed(0);
}

int SocketSend(SocketHandle socket, const void* data, int length) {
  int allowed = AllowedSendLength(socket, length);
  ssize_t sent = -1;
  int error = EAGAIN;
  if (allowed > 0 || length <= 0) {
    sent = send(socket, data, static_cast<size_t>(allowed), MSG_NOSIGNAL);
    error = errno;
  }
  if (sent >= 0) {
    UseSendRoom(socket, static_cast<int>(sent));
    return Succeed(static_cast<int>(sent));
  }
  if (error == EAGAIN) {  // EWOULDBLOCK is the same value here
    WithSelected(socket, [](SelectedSocket& selected) { selected.SendWouldBlock(); });
  }
  return Fail(error);
}

int SocketReceive(SocketHandle socket, void* buffer, int size) {
  ssize_t received = recv(socket, buffer, static_cast<size_t>(size), 0);
  int error = errno;
  int failure = received < 0 && error != EAGAIN ? SocketErrorFromErrno(error) : 0;
  WithSelected(socket, [failure](SelectedSocket& selected) { selected.ReceiveCalled(failure); });
  if (received < 0) return Fail(error);
  return Succeed(static_cast<int>(received));
}

int SocketSendTo(SocketHandle socket, const void* data, int length, uint32_t address, uint16_t port) {
  sockaddr_in target = MakeAddress(address, port);
  ssize_t sent = sendto(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
  if (sent < 0) return Fail(errno);
  return Succeed(static_cast<int>(sent));
}

int SocketReceiveFrom(SocketHandle socket, void* buffer, int size, uint32_t* address, uint16_t* port) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ssize_t received =
      recvfrom(socket, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&peer), &length);
  int error = errno;
  WithSelected(socket, [](SelectedSocket& selected) { selected.ReceiveCalled(0); });
  if (received < 0) return Fail(error);
  if (address != nullptr) *address = peer.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(peer.sin_port);
  return Succeed(static_cast<int>(received));
}

int SocketAsyncSelect(SocketHandle socket, WindowHandle window, uint32_t message, uint32_t events) {
  if (socket < 0) return Fail(EBADF);
  if (events == 0) {
    Forget(socket);
    return Succeed(0);
  }
  std::shared_ptr<detail::ThreadQueue> queue = detail::QueueOfWindow(window);
  if (!queue) return Fail(EINVAL);
  SelectTable& table = Selected();
  std::unique_ptr<SelectedSocket> replaced;
  std::lock_guard lock(table.mutex);
  auto& entry = table.sockets[socket];
  if (entry && &entry->Queue() != queue.get()) {
    // Moving to another thread's window: start over there.
    std::lock_guard watchLock(entry->Queue().WatchLock());
    entry->Unregister();
    replaced = std::move(entry);
  }
  if (!entry) entry = std::make_unique<SelectedSocket>(socket, queue);
  std::lock_guard watchLock(entry->Queue().WatchLock());
  entry->Select(window, message, events);
  return Succeed(0);
}

void SocketLimitSendRoomForTesting(SocketHandle socket, int room) {
  std::lock_guard lock(g_sendRoomMutex);
  if (room < 0) {
    g_sendRoom.erase(socket);
  } else {
    g_sendRoom[socket] = room;
  }
  g_anySendRoom.store(!g_sendRoom.empty(), std::memory_order_release);
}

std::vector<uint32_t> ResolveHostIPv4(const std::string& name) {
  std::vector<uint32_t> addresses;
  if (name.empty()) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return addresses;
  for (addrinfo* item = result; item != nullptr; item = item->ai_next) {
    if (item->ai_family != AF_INET || item->ai_addr == nullptr) continue;
    uint32_t address = reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t known : addresses) seen = seen || known == address;
    if (!seen) addresses.push_back(address);
  }
  freeaddrinfo(result);
  return addresses;
}

bool ParseIPv4(const std::string& text, uint32_t* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  if (address != nullptr) *address = parsed.s_addr;
  return true;
}

uint16_t HostToNetwork16(uint16_t value) { return htons(value); }

uint16_t NetworkToHost16(uint16_t value) { return ntohs(value); }

}  // namespace platform
