#include "engine/JobRequest.h"

namespace engine {

AssemblyResult JobRequestAssembler::Complete(JobRequest&& job) {
  AssemblyResult result;
  job.mode = pending_.mode;
  job.engineTag = pending_.engineTag;
  job.report = pending_.report;
  pending_ = JobRequest();
  result.job = std::move(job);
  return result;
}

AssemblyResult JobRequestAssembler::Refuse(int32_t jobSeq, std::string reason) {
  AssemblyResult result;
  result.refusedJob = jobSeq;
  result.reason = std::move(reason);
  pending_ = JobRequest();
  return result;
}

AssemblyResult JobRequestAssembler::Take(engineproto::JobFiles&& message) {
  if (message.files.size() > static_cast<size_t>(kMaxJobFiles))
    return Refuse(message.jobSeq, "too many files");
  JobRequest job;
  job.jobSeq = message.jobSeq;
  job.serviceCode = std::move(message.serviceCode);
  job.files = std::move(message.files);
  return Complete(std::move(job));
}

AssemblyResult JobRequestAssembler::Take(engineproto::JobBegin&& message) {
  large_.reset();
  if (message.fileCount < 0 || message.fileCount > kMaxJobFiles)
    return Refuse(message.jobSeq, "too many files");
  large_ = JobRequest();
  large_->jobSeq = message.jobSeq;
  large_->serviceCode = std::move(message.serviceCode);
  largeCount_ = message.fileCount;
  return {};
}

AssemblyResult JobRequestAssembler::Take(engineproto::JobFile&& message) {
  const engineproto::FileRecord& file = message.file;
  if (!large_ || file.jobSeq != large_->jobSeq)
    return Refuse(file.jobSeq, "file of a list that did not begin");
  if (file.fileIndex != static_cast<int32_t>(large_->files.size()) ||
      static_cast<int32_t>(large_->files.size()) >= largeCount_) {
    int32_t jobSeq = large_->jobSeq;
    large_.reset();
    return Refuse(jobSeq, "file " + std::to_string(file.fileIndex) + " out of order");
  }
  large_->files.push_back(std::move(message.file));
  return {};
}

AssemblyResult JobRequestAssembler::Take(engineproto::JobEnd&& message) {
  if (!large_ || message.jobSeq != large_->jobSeq)
    return Refuse(message.jobSeq, "end of a list that did not begin");
  JobRequest job = std::move(*large_);
  large_.reset();
  if (static_cast<int32_t>(job.files.size()) != largeCount_) {
    return Refuse(job.jobSeq, "list ended after " + std::to_string(job.files.size()) + " of " +
                                  std::to_string(largeCount_) + " files");
  }
  return Complete(std::move(job));
}

}  // namespace engine
