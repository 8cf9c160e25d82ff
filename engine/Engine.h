#pragma once
// The engine: it listens on 127.0.0.1, takes the library's connections, turns their messages into
// jobs and the jobs' reports into messages, and runs every transfer, all on one thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/EngineJob.h"
#include "engine/EngineLog.h"
#include "engine/EngineSettings.h"
#include "engine/LibraryLink.h"
#include "engine/TransferPool.h"
#include "platform/Socket.h"

namespace engine {

class Engine {
 public:
  Engine(EngineSettings settings, EngineLog* log);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Binds 127.0.0.1:port (0: a free one) and listens. 0, or the socket error number
  // (platform::kSockAddressInUse: another engine serves).
  int Listen(uint16_t port);
  uint16_t Port() const { return port_; }

  // Serves until RequestStop, or until `idleExitMs` passed with no library connection and no job.
  void Run(int64_t idleExitMs);
  // Ends Run soon; safe from any thread.
  void RequestStop();

 private:
  class Output;

  void Accept();
  bool OnFrame(LibraryLink& link, uint16_t group, uint16_t type, std::string_view payload);
  void StartJob(LibraryLink& link, JobRequest request, int64_t nowMs);
  void RefuseJob(LibraryLink& link, int32_t jobSeq, const std::string& reason);
  EngineJob* FindJob(int linkId, int32_t jobSeq);
  void CloseLink(int linkId);
  void RemoveEndedJobs();
  void CheckNetwork(int64_t nowMs);
  void Log(const std::string& line);

  struct JobEntry {
    int linkId = 0;
    std::unique_ptr<Output> output;
    std::unique_ptr<EngineJob> job;
  };

  EngineSettings settings_;
  EngineLog* log_;
  TransferPool pool_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::map<int, std::unique_ptr<LibraryLink>> links_;
  std::vector<JobEntry> jobs_;
  int nextLinkId_ = 1;
  int32_t nextEngineJobId_ = 1;
  bool online_ = true;
  int64_t nextNetworkCheckMs_ = 0;
};

}  // namespace engine
