#pragma once
// Helpers of the benchmarks: a content server in a child process, CPU accounting of processes,
// and runs of peer programs (curl, wget, aria2c) for comparison in the same run.

#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Usage {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system
  long peakRssKiB = 0;
  int exitCode = 0;
};

// An HTTP server in a child process serving `files` (path -> size, deterministic bytes) on
// 127.0.0.1; stopped by the destructor.
class ContentServer {
 public:
  explicit ContentServer(const std::vector<std::pair<std::string, int64_t>>& files);
  ~ContentServer();
  ContentServer(const ContentServer&) = delete;
  ContentServer& operator=(const ContentServer&) = delete;
  std::string Url(const std::string& path) const;

 private:
  int pid_ = -1;
  int port_ = 0;
};

// Runs a program and reports its wall time, CPU time and peak memory.
Usage RunProgram(const std::vector<std::string>& argv);
bool ProgramAvailable(const std::string& name);
double CpuSeconds(const rusage& usage);
double NowSeconds();

// The deterministic content of a served file.
std::string Content(int64_t size);

}  // namespace bench
