#pragma once
// A stand-in for the local download engine on a loopback port: it takes one connection at a time,
// records every frame the library sends (group, type, payload) and sends whatever frames the test
// gives it, so a test can play any exchange, in any order, including a close after each message.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"
#include "tests/support/LoopbackSocket.h"

namespace testsupport {

class FakeEngine {
 public:
  struct Frame {
    uint16_t group = 0;
    uint16_t type = 0;
    std::string payload;  // padded, as it came
  };

  FakeEngine();
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  uint16_t Port() const { return port_; }
  int Connections() const { return connections_.load(); }
  std::vector<Frame> Received() const;
  // Waits until `count` frames arrived in all (true) or 10 s passed.
  bool WaitForFrames(size_t count) const;
  // Waits until the current connection is up.
  bool WaitForConnection(int count = 1) const;

  // Sends to the current connection; false when there is none or it failed.
  bool SendBytes(const std::string& bytes);
  template <typename Message>
  bool Send(const Message& message) {
    std::string payload = *engineproto::EncodePayload(message);
    return SendBytes(nwBuildFrame(engineproto::GroupOf<Message>(), Message::kType, payload.data(),
                                  static_cast<int32_t>(payload.size())));
  }
  // Ends the current connection as an engine that exits would.
  void CloseConnection();

 private:
  void Run();
  void Serve(int fd);

  StopSignal stop_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  int connection_ = -1;  // the connection being served, under mutex_
  std::vector<Frame> received_;
  std::thread thread_;
};

}  // namespace testsupport
