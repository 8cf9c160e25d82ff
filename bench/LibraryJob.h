#pragma once
// One job of the download library, run the way the application runs it (create, add files, start
// with the player's consent, wait for job-done), in a fresh child process so that the CPU time and
// peak memory measured belong to the process that hosts the library and to nothing else.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct JobFile {
  std::string url;
  int64_t size = -1;  // -1: unknown, as the application adds its files
};

struct JobOutcome {
  bool ran = false;        // the child reported back
  bool done = false;       // job-done (516) arrived before the time limit
  double wallSeconds = 0;  // start of the job to job-done
  double cpuSeconds = 0;   // user + system of the hosting process over the same span
  long peakRssKiB = 0;     // peak resident memory of the hosting process over its whole life
  int filesDone = 0;       // from the job result
  int fileDoneEvents = 0;
  int notices = 0;
  int firstNoticeCode = 0;
  std::string firstNoticeText;
};

// Initialises the library in a forked child, downloads `files` into `folder` as one job with
// consent, and reports what happened. The caller sets the environment (settings) beforehand.
JobOutcome RunLibraryJob(const std::vector<JobFile>& files, const std::string& folder, double timeoutSeconds);

struct Samples;
// Records a library round in `samples` and prints it; a round that went wrong also prints what the
// job reported. `exactFiles`: every file came out as served.
void AddLibraryRound(Samples& samples, int round, const char* name, const JobOutcome& outcome,
                     bool exactFiles);

}  // namespace bench
