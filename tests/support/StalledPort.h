#pragma once
// A loopback port on which a connect neither completes nor fails: the listener never accepts and
// its queue is already full, so the kernel drops every further SYN and the client keeps waiting
// (until its own time-out). For tests of connect time-outs against a real socket.

#include <cstdint>

namespace testsupport {

class StalledPort {
 public:
  StalledPort();
  ~StalledPort();
  StalledPort(const StalledPort&) = delete;
  StalledPort& operator=(const StalledPort&) = delete;

  uint16_t Port() const { return port_; }
  // False when the port could not be set up (no socket, or the queue never filled).
  bool Stalls() const { return stalls_; }

 private:
  int listenFd_ = -1;
  int fillerFd_ = -1;
  uint16_t port_ = 0;
  bool stalls_ = false;
};

}  // namespace testsupport
