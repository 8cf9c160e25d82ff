#include "tests/support/FakeEngine.h"

#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/WaitUntil.h"

namespace testsupport {

FakeEngine::FakeEngine() {
  listener_ = ListenOnLoopback(4, &port_);
  thread_ = std::thread([this] { Run(); });
}

FakeEngine::~FakeEngine() {
  stop_.Raise();
  thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::vector<FakeEngine::Frame> FakeEngine::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool FakeEngine::WaitForFrames(size_t count) const {
  return WaitUntil([&] { return Received().size() >= count; });
}

bool FakeEngine::WaitForConnection(int count) const {
  return WaitUntil([&] {
    std::lock_guard lock(mutex_);
    return connections_.load() >= count && connection_ >= 0;
  });
}

bool FakeEngine::SendBytes(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  return connection_ >= 0 && SendAll(connection_, bytes.data(), bytes.size(), stop_, 10000);
}

void FakeEngine::CloseConnection() {
  std::lock_guard lock(mutex_);
  if (connection_ < 0) return;
  ::shutdown(connection_, SHUT_RDWR);
}

void FakeEngine::Run() {
  while (listener_ >= 0 && WaitForSocket(listener_, SocketEvent::Readable, stop_, -1) == WaitResult::Ready) {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    {
      std::lock_guard lock(mutex_);
      connection_ = fd;
    }
    ++connections_;
    Serve(fd);
    std::lock_guard lock(mutex_);
    connection_ = -1;
    ::close(fd);
  }
}

void FakeEngine::Serve(int fd) {
  std::string pending;
  while (WaitForSocket(fd, SocketEvent::Readable, stop_, -1) == WaitResult::Ready) {
    bool open = ReadPending(fd, &pending);
    // Whole frames only; a partial one waits for the rest.
    while (pending.size() >= static_cast<size_t>(kFrameHeaderSize)) {
      nwFrameHeader header = nwDecodeFrameHeader(pending.data());
      size_t size = kFrameHeaderSize + static_cast<size_t>(header.payloadLength);
      if (header.payloadLength > kFrameMaxPayload || pending.size() < size) break;
      std::lock_guard lock(mutex_);
      received_.push_back(
          {header.group, header.type, pending.substr(kFrameHeaderSize, header.payloadLength)});
      pending.erase(0, size);
    }
    if (!open) return;
  }
}

}  // namespace testsupport
