#include "tests/app/EngineScript.h"

#include <chrono>

#include "tests/support/TempFolder.h"

namespace apptest {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr int kPolls = 6000;  // a minute

}  // namespace

ResumedJobScript::ResumedJobScript(testsupport::FakeEngine& engine, std::map<std::string, std::string> files)
    : engine_(engine), files_(std::move(files)), thread_([this] { Play(); }) {}

ResumedJobScript::~ResumedJobScript() {
  stop_ = true;
  thread_.join();
}

std::optional<engineproto::ResumeAnswer> ResumedJobScript::Answer() {
  if (!finished_) return std::nullopt;
  return answer_;
}

void ResumedJobScript::Play() {
  // Waits for the first frame of `Message`'s type and decodes it.
  auto await = [this](auto message) -> std::optional<decltype(message)> {
    for (int poll = 0; poll < kPolls && !stop_; ++poll) {
      for (const auto& frame : engine_.Received()) {
        if (frame.type == decltype(message)::kType && engineproto::DecodePayload(frame.payload, &message))
          return message;
      }
      std::this_thread::sleep_for(kPoll);
    }
    return std::nullopt;
  };
  std::optional<engineproto::JobFiles> job = await(engineproto::JobFiles());
  if (!job || job->files.empty()) {
    finished_ = true;
    return;
  }
  const int32_t seq = job->jobSeq;
  const int32_t count = static_cast<int32_t>(job->files.size());
  engine_.Send(engineproto::JobAccepted{seq, 1, count, 0});
  engine_.Send(engineproto::ResumeQuery{seq});
  answer_ = await(engineproto::ResumeAnswer());
  if (answer_) {
    for (const engineproto::FileRecord& file : job->files) {
      const std::string path = file.folder + file.fileName;
      testsupport::WriteFileText(path, files_[file.fileName]);
      engine_.Send(engineproto::FileDone{seq, 1, path, file.url});
    }
    engine_.Send(engineproto::JobFinished{seq, 1, count, 0});
  }
  finished_ = true;
}

}  // namespace apptest
