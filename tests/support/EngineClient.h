#pragma once
// A blocking client of the local download engine for tests and benchmarks: it connects to the
// engine's loopback port, sends framed messages and reads whole frames back, keeping every frame it
// received in order so a test can look at the whole conversation afterwards.
//
//   testsupport::EngineClient client;
//   ASSERT_TRUE(client.Connect(engine.Port()));
//   client.Send(engineproto::ServiceCode{"ORBA"});
//   client.StartJob(1, 2, files);
//   auto finished = client.WaitFor<engineproto::JobFinished>(60000);

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"

namespace testsupport {

class EngineClient {
 public:
  struct Message {
    uint16_t group = 0;
    uint16_t type = 0;
    std::string payload;  // padded, as it came
  };

  // A job's file list goes out as one message up to this payload size, else file by file.
  static constexpr size_t kLargestFileList = 130047;

  EngineClient() = default;
  ~EngineClient();
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;

  // Connects to 127.0.0.1:port; false when nothing accepted within `timeoutMs`. A connected client
  // is closed first.
  bool Connect(uint16_t port, int timeoutMs = 5000);

  template <class M>
  bool Send(const M& message) {
    std::optional<std::string> payload = engineproto::EncodePayload(message);
    if (!payload) return false;
    std::string frame = nwBuildFrame(engineproto::GroupOf<M>(), M::kType, payload->data(),
                                     static_cast<int32_t>(payload->size()));
    return !frame.empty() && SendBytes(frame);
  }
  // Sends the bytes as they are (a test's own frames, or garbage); false when the connection
  // failed or the peer took nothing for 10 s.
  bool SendBytes(const std::string& bytes);

  // The next frame not returned yet (by Next or WaitFor); nothing when none came whole within
  // `timeoutMs`, the peer closed, or it sent a frame header announcing an impossible length (the
  // connection is closed then, as the engine's peers do).
  std::optional<Message> Next(int timeoutMs);

  // Skips to the next frame of M's group and type that decodes and that `accept` (when given)
  // takes. The frames skipped stay in Log().
  template <class M>
  std::optional<M> WaitFor(int timeoutMs, std::function<bool(const M&)> accept = {}) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
      const int64_t left = deadline - NowMs();
      if (left < 0) return std::nullopt;
      std::optional<Message> message = Next(static_cast<int>(left));
      if (!message) return std::nullopt;
      if (message->group != engineproto::GroupOf<M>() || message->type != M::kType) continue;
      M decoded;
      if (!engineproto::DecodePayload(message->payload, &decoded)) continue;
      if (!accept || accept(decoded)) return decoded;
    }
  }

  // Every whole frame received so far, in order, whether returned or not.
  std::vector<Message> Log() const { return log_; }

  // True once the peer closed the connection (or it failed).
  bool Closed() const { return closed_; }
  void Close();

  // A job: JobMode, then JobFiles, or JobBegin, one JobFile per file and JobEnd when the file list
  // would not fit in one message. The connection's ServiceCode is the caller's to send before.
  bool StartJob(int32_t jobSeq, uint8_t mode, const std::vector<engineproto::FileRecord>& files,
                const std::string& serviceCode = "ORBA");

 private:
  static int64_t NowMs();
  // Moves every whole frame of pending_ to log_; false on an impossible frame header.
  bool TakeFrames();

  int fd_ = -1;
  bool closed_ = false;
  std::string pending_;  // bytes of a frame not complete yet
  std::vector<Message> log_;
  size_t returned_ = 0;  // frames of log_ returned by Next
};

}  // namespace testsupport
