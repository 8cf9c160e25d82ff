#include "engine/LibraryLink.h"

namespace engine {

namespace {

// A library that stops reading must not make the engine hoard its messages without end.
constexpr size_t kMaxOutgoing = 16u << 20;

}  // namespace

LibraryLink::LibraryLink(int id, platform::SocketHandle socket) : id_(id), socket_(socket) {
  platform::SocketSetNonBlocking(socket_, true);
}

LibraryLink::~LibraryLink() { Close(); }

void LibraryLink::Close() {
  if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
  socket_ = platform::kInvalidSocket;
  closed_ = true;
}

void LibraryLink::Receive(const FrameHandler& handler) {
  if (closed_) return;
  char buffer[65536];
  for (;;) {
    int received = platform::SocketReceive(socket_, buffer, static_cast<int>(sizeof buffer));
    if (received > 0) {
      incoming_.append(buffer, static_cast<size_t>(received));
      if (received < static_cast<int>(sizeof buffer)) break;
      continue;
    }
    if (received == 0 || platform::LastSocketError() != platform::kSockWouldBlock) {
      // Frames that arrived before the close are still handled.
      closed_ = true;
    }
    break;
  }
  size_t offset = 0;
  while (incoming_.size() - offset >= static_cast<size_t>(kFrameHeaderSize)) {
    nwFrameHeader header = nwDecodeFrameHeader(incoming_.data() + offset);
    int64_t frameSize = nwFrameSize(header.payloadLength);
    if (frameSize < 0) {
      closed_ = true;
      break;
    }
    if (incoming_.size() - offset < static_cast<size_t>(frameSize)) break;
    std::string_view payload(incoming_.data() + offset + kFrameHeaderSize, header.payloadLength);
    offset += static_cast<size_t>(frameSize);
    if (!handler(header.group, header.type, payload)) {
      closed_ = true;
      break;
    }
  }
  incoming_.erase(0, offset);
  if (closed_) Close();
}

void LibraryLink::Queue(std::string frame) {
  if (closed_ || frame.empty()) return;
  if (outgoing_.size() - sent_ + frame.size() > kMaxOutgoing) {
    Close();
    return;
  }
  outgoing_.append(frame);
  Flush();
}

void LibraryLink::Flush() {
  while (!closed_ && sent_ < outgoing_.size()) {
    size_t chunk = std::min<size_t>(outgoing_.size() - sent_, 1u << 20);
    int sent = platform::SocketSend(socket_, outgoing_.data() + sent_, static_cast<int>(chunk));
    if (sent > 0) {
      sent_ += static_cast<size_t>(sent);
      continue;
    }
    if (platform::LastSocketError() != platform::kSockWouldBlock) Close();
    break;
  }
  if (sent_ == outgoing_.size()) {
    outgoing_.clear();
    sent_ = 0;
  } else if (sent_ > (1u << 20)) {
    outgoing_.erase(0, sent_);
    sent_ = 0;
  }
}

}  // namespace engine
