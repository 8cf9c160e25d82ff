#include "tests/support/StalledPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/LoopbackSocket.h"

namespace testsupport {

namespace {

constexpr int kMaxQueued = 32;
// A connect to a loopback listener with room completes at once; one that is still pending after
// this long met a full queue.
constexpr int kStallProbeMs = 300;

enum class Probe { Connected, Pending, Failed };

Probe TryConnect(uint16_t port, int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (*fd < 0) return Probe::Failed;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return Probe::Connected;
  if (errno != EINPROGRESS) return Probe::Failed;
  pollfd entry{*fd, POLLOUT, 0};
  int ready = poll(&entry, 1, kStallProbeMs);
  if (ready == 0) return Probe::Pending;
  int error = 0;
  socklen_t length = sizeof error;
  if (ready < 0 || getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return Probe::Failed;
  return Probe::Connected;
}

}  // namespace

StalledPort::StalledPort() {
  listenFd_ = ListenOnLoopback(0, &port_);
  if (listenFd_ < 0) return;
  for (int i = 0; i < kMaxQueued; ++i) {
    int fd = -1;
    Probe probe = TryConnect(port_, &fd);
    if (probe == Probe::Connected) {
      queued_.push_back(fd);
      continue;
    }
    if (fd >= 0) close(fd);
    stalls_ = probe == Probe::Pending;
    return;
  }
}

StalledPort::~StalledPort() {
  for (int fd : queued_) close(fd);
  if (listenFd_ >= 0) close(listenFd_);
}

}  // namespace testsupport
