#include "bench/LibraryJob.h"

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "DownloadLib.h"
#include "bench/BenchSupport.h"

namespace bench {

namespace {

// What the child sends back: plain bytes, no pointers.
struct Report {
  int32_t done;
  int32_t filesDone;
  int32_t fileDoneEvents;
  int32_t notices;
  int32_t firstNoticeCode;
  double wallSeconds;
  double cpuSeconds;
  long peakRssKiB;
  char firstNoticeText[512];
};

struct Waiter {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  int fileDoneEvents = 0;
  int notices = 0;
};

void OnEvent(int32_t code, intptr_t /*lParam*/, void* userData) {
  auto* waiter = static_cast<Waiter*>(userData);
  {
    std::lock_guard lock(waiter->mutex);
    if (code == DL_EV_JOB_DONE) waiter->done = true;
    if (code == DL_EV_FILE_DONE) ++waiter->fileDoneEvents;
    if (code == DL_EV_JOB_NOTICE) ++waiter->notices;
  }
  waiter->changed.notify_all();
}

std::string RunInThisProcess(const std::vector<JobFile>& files, const std::string& folder,
                             double timeoutSeconds) {
  Report report{};
  Waiter waiter;
  if (DownloadLibInitialize(nullptr, &OnEvent, &waiter) != DL_OK) return {};
  JobHandle job = 0;
  if (DownloadLibCreateJob(&job, "ORB", "BENCH") != DL_OK) return {};
  for (const JobFile& file : files) {
    if (DownloadLibAddFile(job, file.url.c_str(), folder.c_str(), nullptr, file.size, 1) != DL_OK) return {};
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const double start = NowSeconds();
  if (DownloadLibStartJob(job, true) != DL_OK) return {};
  {
    std::unique_lock lock(waiter.mutex);
    // A failed file leaves the job without job-done; a notice ends the wait too.
    waiter.changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                            [&] { return waiter.done || waiter.notices > 0; });
    report.done = waiter.done;
  }
  report.wallSeconds = NowSeconds() - start;
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  report.cpuSeconds = CpuSeconds(after) - CpuSeconds(before);
  report.peakRssKiB = after.ru_maxrss;

  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  report.filesDone = result.filesDone;
  int32_t length = 0;
  DownloadLibGetNoticeLength(job, &length);
  std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
  JobNotice notice{0, text.data()};
  DownloadLibGetNotice(job, &notice);
  if (notice.code != DL_OK) {
    report.firstNoticeCode = notice.code;
    std::strncpy(report.firstNoticeText, text.c_str(), sizeof report.firstNoticeText - 1);
  }
  {
    std::lock_guard lock(waiter.mutex);
    report.fileDoneEvents = waiter.fileDoneEvents;
    report.notices = waiter.notices;
  }
  DownloadLibStopJob(job);
  DownloadLibDeleteJob(job);
  DownloadLibFinalize();
  return std::string(reinterpret_cast<const char*>(&report), sizeof report);
}

}  // namespace

JobOutcome RunLibraryJob(const std::vector<JobFile>& files, const std::string& folder,
                         double timeoutSeconds) {
  std::string bytes = RunInChild([&] { return RunInThisProcess(files, folder, timeoutSeconds); });
  JobOutcome outcome;
  if (bytes.size() != sizeof(Report)) return outcome;
  Report report{};
  std::memcpy(&report, bytes.data(), sizeof report);
  outcome.ran = true;
  outcome.done = report.done != 0;
  outcome.wallSeconds = report.wallSeconds;
  outcome.cpuSeconds = report.cpuSeconds;
  outcome.peakRssKiB = report.peakRssKiB;
  outcome.filesDone = report.filesDone;
  outcome.fileDoneEvents = report.fileDoneEvents;
  outcome.notices = report.notices;
  outcome.firstNoticeCode = report.firstNoticeCode;
  outcome.firstNoticeText = report.firstNoticeText;
  return outcome;
}

void AddLibraryRound(Samples& samples, int round, const char* name, const JobOutcome& outcome,
                     bool exactFiles) {
  const bool exact = outcome.ran && outcome.done && exactFiles;
  samples.Add(round, name, outcome.wallSeconds, outcome.cpuSeconds, outcome.peakRssKiB, exact);
  if (!exact) {
    std::printf("           ran %d done %d filesDone %d notices %d (first %d \"%s\")\n", outcome.ran,
                outcome.done, outcome.filesDone, outcome.notices, outcome.firstNoticeCode,
                outcome.firstNoticeText.c_str());
  }
}

}  // namespace bench
