#pragma once
// A job as the library hands it over: the header messages that come first (engine tag, mode,
// report flag), then its files in one list message or one by one between a begin and an end.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/EngineMessages.h"

namespace engine {

// More files than any game ships; a list beyond it is refused rather than held in memory.
constexpr int32_t kMaxJobFiles = 200000;

struct JobRequest {
  int32_t jobSeq = 0;
  uint8_t mode = 1;  // 2: high speed
  std::string engineTag;
  bool report = false;
  std::string serviceCode;
  std::vector<engineproto::FileRecord> files;
};

// What a list message led to: nothing yet, a complete job, or a refusal of the job `jobSeq`.
struct AssemblyResult {
  std::optional<JobRequest> job;
  std::optional<int32_t> refusedJob;
  std::string reason;
};

class JobRequestAssembler {
 public:
  void TakeMode(const engineproto::JobMode& message) { pending_.mode = message.mode == 2 ? 2 : 1; }
  void TakeTag(const engineproto::EngineTag& message) { pending_.engineTag = message.tag; }
  void TakeReport() { pending_.report = true; }

  // The list messages: one whole list (14), or its begin (19), one file (20) and end (21).
  AssemblyResult Take(engineproto::JobFiles&& message);
  AssemblyResult Take(engineproto::JobBegin&& message);
  AssemblyResult Take(engineproto::JobFile&& message);
  AssemblyResult Take(engineproto::JobEnd&& message);

 private:
  AssemblyResult Complete(JobRequest&& job);
  AssemblyResult Refuse(int32_t jobSeq, std::string reason);

  JobRequest pending_;               // the header messages of the next job
  std::optional<JobRequest> large_;  // a list arriving one file at a time
  int32_t largeCount_ = 0;
};

}  // namespace engine
