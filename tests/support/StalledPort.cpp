#include "tests/support/StalledPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/LoopbackSocket.h"

namespace testsupport {

StalledPort::StalledPort() {
  // A backlog of 0 leaves room for one queued connection and the filler takes it: from then on
  // the kernel drops every SYN (it would answer one only once the queue had room again).
  listenFd_ = ListenOnLoopback(0, &port_);
  if (listenFd_ < 0) return;
  fillerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fillerFd_ < 0) return;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(port_);
  if (connect(fillerFd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) return;
  // The queue is full once the filler's handshake has ended on the listener's side too; that is
  // when the listener turns readable. The limit only keeps a broken kernel from hanging the test.
  pollfd queued{listenFd_, POLLIN, 0};
  stalls_ = poll(&queued, 1, 10000) == 1;
}

StalledPort::~StalledPort() {
  if (fillerFd_ >= 0) close(fillerFd_);
  if (listenFd_ >= 0) close(listenFd_);
}

}  // namespace testsupport
