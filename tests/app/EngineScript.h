#pragma once
// The engine's side of one job for the application's tests, played on its own thread against a
// fake engine: it takes the job, asks whether to resume earlier data, and once answered writes
// the files, reports each done and the job finished, as a real engine that resumed would.

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "protocol/EngineMessages.h"
#include "tests/support/FakeEngine.h"

namespace apptest {

class ResumedJobScript {
 public:
  // `files`: file name -> bytes, written into the job's folder before each is reported done.
  ResumedJobScript(testsupport::FakeEngine& engine, std::map<std::string, std::string> files);
  ~ResumedJobScript();
  ResumedJobScript(const ResumedJobScript&) = delete;
  ResumedJobScript& operator=(const ResumedJobScript&) = delete;

  // The host's answer, once the script has finished (empty when it never came).
  std::optional<engineproto::ResumeAnswer> Answer();
  bool Finished() const { return finished_.load(); }

 private:
  void Play();

  testsupport::FakeEngine& engine_;
  std::map<std::string, std::string> files_;
  std::optional<engineproto::ResumeAnswer> answer_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace apptest
