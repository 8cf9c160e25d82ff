#include "tests/support/EngineClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/support/LoopbackSocket.h"

namespace testsupport {

namespace {

// The client has nothing to stop it but its own time limits.
const StopSignal& NeverRaised() {
  static StopSignal signal;
  return signal;
}

// One non-blocking connect attempt: the socket once connected, -1 when refused or not done in time.
int ConnectOnce(uint16_t port, int64_t timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS ||
        WaitForSocket(fd, SocketEvent::Writable, NeverRaised(), timeoutMs) != WaitResult::Ready) {
      close(fd);
      return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

EngineClient::~EngineClient() { Close(); }

int64_t EngineClient::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool EngineClient::Connect(uint16_t port, int timeoutMs) {
  Close();
  closed_ = false;
  pending_.clear();
  log_.clear();
  returned_ = 0;
  const int64_t deadline = NowMs() + timeoutMs;
  // A program that is still starting refuses for a moment: try again until the time is up.
  for (;;) {
    const int64_t left = deadline - NowMs();
    fd_ = ConnectOnce(port, left > 0 ? left : 0);
    if (fd_ >= 0) return true;
    if (NowMs() + 20 > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool EngineClient::SendBytes(const std::string& bytes) {
  if (fd_ < 0) return false;
  return SendAll(fd_, bytes.data(), bytes.size(), NeverRaised(), 10000);
}

bool EngineClient::TakeFrames() {
  while (pending_.size() >= static_cast<size_t>(kFrameHeaderSize)) {
    const nwFrameHeader header = nwDecodeFrameHeader(pending_.data());
    if (header.payloadLength > kFrameMaxPayload) return false;
    const size_t size = static_cast<size_t>(kFrameHeaderSize) + header.payloadLength;
    if (pending_.size() < size) return true;
    log_.push_back({header.group, header.type, pending_.substr(kFrameHeaderSize, header.payloadLength)});
    pending_.erase(0, size);
  }
  return true;
}

std::optional<EngineClient::Message> EngineClient::Next(int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (returned_ < log_.size()) return log_[returned_++];
    if (fd_ < 0 || closed_) return std::nullopt;
    // Read before waiting, so that a zero time limit still takes what already arrived.
    const bool open = ReadPending(fd_, &pending_);
    if (!TakeFrames()) {
      // A length no engine sends: nothing after it can be framed.
      Close();
      closed_ = true;
      continue;
    }
    if (!open) closed_ = true;
    if (returned_ < log_.size() || closed_) continue;
    const int64_t left = deadline - NowMs();
    if (left <= 0) return std::nullopt;
    WaitForSocket(fd_, SocketEvent::Readable, NeverRaised(), left);
  }
}

void EngineClient::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

bool EngineClient::StartJob(int32_t jobSeq, uint8_t mode, const std::vector<engineproto::FileRecord>& files,
                            const std::string& serviceCode) {
  if (!Send(engineproto::JobMode{mode})) return false;
  engineproto::JobFiles list;
  list.jobSeq = jobSeq;
  list.serviceCode = serviceCode;
  list.files = files;
  std::optional<std::string> payload = engineproto::EncodePayload(list);
  if (!payload) return false;
  if (payload->size() <= kLargestFileList) {
    return SendBytes(nwBuildFrame(engineproto::GroupOf<engineproto::JobFiles>(), engineproto::JobFiles::kType,
                                  payload->data(), static_cast<int32_t>(payload->size())));
  }
  if (!Send(engineproto::JobBegin{jobSeq, static_cast<int32_t>(files.size()), serviceCode})) return false;
  for (size_t i = 0; i < files.size(); ++i) {
    engineproto::JobFile file{files[i]};
    file.file.jobSeq = jobSeq;
    file.file.fileIndex = static_cast<int32_t>(i);
    if (!Send(file)) return false;
  }
  return Send(engineproto::JobEnd{jobSeq});
}

}  // namespace testsupport
