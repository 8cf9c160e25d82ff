#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace testsupport {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::Raise() {
  raised_.store(true);
  uint64_t one = 1;
  // The counter is never read back, so the descriptor stays readable for every later wait.
  ssize_t written = write(fd_, &one, sizeof one);
  (void)written;
}

bool StopSignal::SleepFor(int64_t milliseconds) const {
  int64_t deadline = NowMs() + milliseconds;
  for (;;) {
    if (Raised()) return false;
    int64_t left = deadline - NowMs();
    if (left <= 0) return true;
    pollfd wake{fd_, POLLIN, 0};
    poll(&wake, 1, static_cast<int>(left));
  }
}

WaitResult WaitForSocket(int fd, SocketEvent event, const StopSignal& stop, int64_t timeoutMs) {
  int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    if (stop.Raised()) return WaitResult::Stopped;
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) return WaitResult::TimedOut;
      wait = static_cast<int>(left);
    }
    pollfd fds[2] = {{fd, static_cast<short>(event == SocketEvent::Readable ? POLLIN : POLLOUT), 0},
                     {stop.Descriptor(), POLLIN, 0}};
    int ready = poll(fds, 2, wait);
    if (ready < 0 && errno != EINTR) return WaitResult::Ready;  // let the caller's I/O report it
    if (stop.Raised()) return WaitResult::Stopped;
    if (ready > 0 && fds[0].revents != 0) return WaitResult::Ready;
  }
}

bool SendAll(int fd, const char* data, size_t size, const StopSignal& stop, int64_t timeoutMs) {
  size_t sent = 0;
  while (sent < size) {
    // MSG_DONTWAIT: a blocking send would wait for the whole buffer and ignore the stop signal.
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {  // EWOULDBLOCK is the same value on Linux
      if (WaitForSocket(fd, SocketEvent::Writable, stop, timeoutMs) != WaitResult::Ready) return false;
      continue;
    }
    return false;
  }
  return true;
}

int ListenOnLoopback(int backlog, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  if (port != nullptr) *port = ntohs(address.sin_port);
  return fd;
}

int UnreadBytes(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

int UnacknowledgedBytes(int fd) {
  int count = 0;
  return ioctl(fd, SIOCOUTQ, &count) == 0 ? count : 0;
}

bool ReadPending(int fd, std::string* out) {
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      if (out != nullptr) out->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

void CloseGracefully(int fd, std::string* drained) {
  if (fd < 0) return;
  ReadPending(fd, drained);
  close(fd);
}

void CloseWithReset(int fd) {
  if (fd < 0) return;
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd);
}

}  // namespace testsupport
