#pragma once
// An engine for the tests: in this process on a thread of its own (so a test can install a manual
// clock or a disk fault), with a client connected to it and helpers that run a job to its end.

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/EngineSettings.h"
#include "platform/Clock.h"
#include "protocol/EngineMessages.h"
#include "tests/support/EngineClient.h"

namespace enginetest {

engine::EngineSettings TestSettings();

class InProcessEngine {
 public:
  explicit InProcessEngine(engine::EngineSettings settings = TestSettings());
  ~InProcessEngine();
  InProcessEngine(const InProcessEngine&) = delete;
  InProcessEngine& operator=(const InProcessEngine&) = delete;
  uint16_t Port() const { return engine_.Port(); }

 private:
  engine::Engine engine_;
  std::thread thread_;
};

engineproto::FileRecord File(const std::string& folder, const std::string& name, const std::string& url,
                             int64_t size);

// Everything a job said, in order, up to its end.
struct JobOutcome {
  std::vector<testsupport::EngineClient::Message> messages;
  std::optional<engineproto::JobAccepted> accepted;
  std::vector<engineproto::FileDone> filesDone;
  std::vector<engineproto::JobWarning> warnings;
  int progressCount = 0;
  int resumeQueries = 0;
  std::optional<engineproto::JobFinished> finished;
  std::optional<engineproto::JobFailed> failed;
  bool closed = false;  // the engine closed the connection
  bool Ended() const { return finished || failed; }
  bool Succeeded() const { return finished && finished->result == 0; }
  std::vector<uint16_t> Types() const;
};

struct JobRun {
  // Answer to resume queries (resume, applyToAll).
  bool resume = true;
  bool applyToAll = true;
  int64_t timeoutMs = 30000;
  // When set, the clock moves this many milliseconds every time no message came for 20 ms.
  platform::ManualClock* clock = nullptr;
  int64_t clockStepMs = 500;
};

// Reads the client's messages until the job ends (or the time runs out), answering resume queries.
JobOutcome FollowJob(testsupport::EngineClient& client, const JobRun& run = {});

}  // namespace enginetest
