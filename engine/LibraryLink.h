#pragma once
// One connection from the library: frames in, frames out, on a non-blocking socket that the
// engine's wait watches. It knows the frame format, not the messages.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/JobRequest.h"
#include "platform/Socket.h"
#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"

namespace engine {

class LibraryLink {
 public:
  // Frames received: false from the handler ends the connection (the message was garbage).
  using FrameHandler = std::function<bool(uint16_t group, uint16_t type, std::string_view payload)>;

  LibraryLink(int id, platform::SocketHandle socket);
  ~LibraryLink();
  LibraryLink(const LibraryLink&) = delete;
  LibraryLink& operator=(const LibraryLink&) = delete;

  int Id() const { return id_; }
  platform::SocketHandle Socket() const { return socket_; }
  bool Closed() const { return closed_; }
  bool WantsWrite() const { return sent_ < outgoing_.size(); }

  // Reads what arrived and hands every complete frame to `handler`. The link is closed afterwards
  // when the library closed it, the socket failed, a frame announced an impossible length, or the
  // handler refused a frame.
  void Receive(const FrameHandler& handler);
  template <typename Message>
  void Send(const Message& message) {
    std::optional<std::string> payload = engineproto::EncodePayload(message);
    if (!payload) return;
    Queue(nwBuildFrame(engineproto::GroupOf<Message>(), Message::kType, payload->data(),
                       static_cast<int32_t>(payload->size())));
  }
  // Sends what the socket takes now.
  void Flush();
  void Close();

  bool greeted = false;  // the service code came
  std::string serviceCode;
  JobRequestAssembler assembler;

 private:
  void Queue(std::string frame);

  int id_;
  platform::SocketHandle socket_;
  bool closed_ = false;
  std::string incoming_;
  std::string outgoing_;
  size_t sent_ = 0;
};

}  // namespace engine
