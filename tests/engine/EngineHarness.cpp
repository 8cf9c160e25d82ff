#include "tests/engine/EngineHarness.h"

#include <chrono>

namespace enginetest {

engine::EngineSettings TestSettings() {
  return engine::EngineSettings();  // online
}

InProcessEngine::InProcessEngine(engine::EngineSettings settings) : engine_(std::move(settings), nullptr) {
  if (engine_.Listen(0) == 0) thread_ = std::thread([this] { engine_.Run(3'600'000); });
}

InProcessEngine::~InProcessEngine() {
  engine_.RequestStop();
  if (thread_.joinable()) thread_.join();
}

engineproto::FileRecord File(const std::string& folder, const std::string& name, const std::string& url,
                             int64_t size) {
  engineproto::FileRecord file;
  file.folder = folder + "/";
  file.fileName = name;
  file.url = url;
  file.size = size;
  return file;
}

std::vector<uint16_t> JobOutcome::Types() const {
  std::vector<uint16_t> types;
  for (const auto& message : messages) types.push_back(message.type);
  return types;
}

JobOutcome FollowJob(testsupport::EngineClient& client, const JobRun& run) {
  JobOutcome outcome;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run.timeoutMs);
  while (!outcome.Ended() && std::chrono::steady_clock::now() < deadline) {
    std::optional<testsupport::EngineClient::Message> message = client.Next(20);
    if (!message) {
      if (client.Closed()) {
        outcome.closed = true;
        break;
      }
      if (run.clock != nullptr) run.clock->Advance(run.clockStepMs);
      continue;
    }
    outcome.messages.push_back(*message);
    switch (message->type) {
      case engineproto::JobAccepted::kType: {
        engineproto::JobAccepted accepted;
        if (engineproto::DecodePayload(message->payload, &accepted)) outcome.accepted = accepted;
        break;
      }
      case engineproto::JobProgress::kType:
        ++outcome.progressCount;
        break;
      case engineproto::FileDone::kType: {
        engineproto::FileDone done;
        if (engineproto::DecodePayload(message->payload, &done)) outcome.filesDone.push_back(done);
        break;
      }
      case engineproto::JobWarning::kType: {
        engineproto::JobWarning warning;
        if (engineproto::DecodePayload(message->payload, &warning)) outcome.warnings.push_back(warning);
        break;
      }
      case engineproto::ResumeQuery::kType: {
        ++outcome.resumeQueries;
        engineproto::ResumeAnswer answer;
        answer.engineJobId = outcome.accepted ? outcome.accepted->engineJobId : -1;
        answer.jobSeq = outcome.accepted ? outcome.accepted->jobSeq : 0;
        answer.resume = run.resume ? 1 : 0;
        answer.applyToAll = run.applyToAll ? 1 : 0;
        client.Send(answer);
        break;
      }
      case engineproto::JobFinished::kType: {
        engineproto::JobFinished finished;
        if (engineproto::DecodePayload(message->payload, &finished)) outcome.finished = finished;
        break;
      }
      case engineproto::JobFailed::kType: {
        engineproto::JobFailed failed;
        if (engineproto::DecodePayload(message->payload, &failed)) outcome.failed = failed;
        break;
      }
      default:
        break;
    }
  }
  return outcome;
}

}  // namespace enginetest
