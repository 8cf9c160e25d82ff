#pragma once
// What the host tests share: they see the library only through its public header, so these
// helpers use nothing else of it either.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadLib.h"

namespace hosttest {

// Seconds on the steady clock, to time events against each other.
double Now();

// The events of one library run, in arrival order, with a way to wait for them.
class Events {
 public:
  // The callback to register; its user data is the recorder.
  static void Callback(int32_t code, intptr_t lParam, void* self);
  bool WaitFor(int32_t code, int count = 1, double seconds = 20);
  int Count(int32_t code);
  std::vector<int32_t> Codes();
  // When the first event of `code` arrived (Now()), 0 if none did.
  double TimeOf(int32_t code);
  // How many events of `code` carried `lParam` (a job's events carry its handle).
  int CountFor(int32_t code, intptr_t lParam);
  // The lParam of every event from the `first`-th on (0-based), in arrival order.
  std::vector<intptr_t> ParamsFrom(size_t first);
  size_t Size();
  void Clear();

 private:
  int CountLocked(int32_t code) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> codes_;
  std::vector<intptr_t> params_;
  std::vector<double> times_;
};

// Returns once every event the library raised before the call has arrived: a size check of `url`
// ends in 525, raised after them on the same thread and delivered behind them.
void WaitForEarlierEvents(Events& events, const std::string& url);

JobHandle NewJob(const char* serviceCode = "ORBA-SVC");

// Drains the job's notices; with `texts`, their texts too, in the same order.
std::vector<JobNotice> Notices(JobHandle job, std::vector<std::string>* texts);

// The local relay's answer to any report frame: a one-byte result.
std::string RelayReplyFrame();

// The library's log: every library start empties it, so it holds the running test's lines only.
std::string LogText();

bool FileExists(const std::string& path);

}  // namespace hosttest
