// A host whose callback stops or deletes the job from inside the job's own events, as the
// interface allows: the library must neither touch what the host freed nor go on with the job.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadLib.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::HttpFileServer;

enum class Action { kStop, kDelete, kStopAndDelete };

struct ReentryCase {
  const char* name;
  int32_t event;
  Action action;
  // Act on `event` only once this many file-done events of the job were seen, the acted-on one
  // included (the status event that follows the last file is the one the job's end raises).
  int afterFilesDone;
  bool failingFile;  // the job's second file answers 404, so its size check fails with a notice
};

// Records the events of every job and acts on the watched job once, from inside the callback.
class ReentrantHost {
 public:
  static void Callback(int32_t code, intptr_t lParam, void* self) {
    static_cast<ReentrantHost*>(self)->OnEvent(code, static_cast<JobHandle>(lParam));
  }

  void Watch(JobHandle job, const ReentryCase& reentry) {
    std::lock_guard lock(mutex_);
    watched_ = job;
    reentry_ = reentry;
  }

  bool WaitUntilActed(double seconds = 20) {
    return WaitFor(seconds, [this] { return acted_; });
  }
  bool WaitForEnd(JobHandle job, double seconds = 20) {
    return WaitFor(seconds, [&] { return Count(job, DL_EV_JOB_DONE) > 0; });
  }
  // Events of `job` that arrived after the host acted on it.
  std::vector<int32_t> AfterAction() {
    std::lock_guard lock(mutex_);
    return afterAction_;
  }

 private:
  void OnEvent(int32_t code, JobHandle job) {
    std::unique_lock lock(mutex_);
    events_.push_back({code, job});
    if (job == watched_ && acted_) afterAction_.push_back(code);
    if (code == DL_EV_FILE_DONE && job == watched_) ++filesDone_;
    bool act = !acted_ && job == watched_ && code == reentry_.event && filesDone_ >= reentry_.afterFilesDone;
    if (act) {
      acted_ = true;
      // The lock is not held while the library runs: it may raise events into this callback.
      lock.unlock();
      if (reentry_.action != Action::kDelete) DownloadLibStopJob(job);
      if (reentry_.action != Action::kStop) DownloadLibDeleteJob(job);
      lock.lock();
    }
    changed_.notify_all();
  }

  int Count(JobHandle job, int32_t code) const {
    int count = 0;
    for (const auto& [c, j] : events_) count += (c == code && j == job) ? 1 : 0;
    return count;
  }

  template <class Done>
  bool WaitFor(double seconds, Done done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), done);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<int32_t, JobHandle>> events_;
  std::vector<int32_t> afterAction_;
  JobHandle watched_ = 0;
  ReentryCase reentry_{};
  int filesDone_ = 0;
  bool acted_ = false;
};

class HostReentryTest : public ::testing::TestWithParam<ReentryCase> {
 protected:
  void SetUp() override {
    setenv("ORBA_NETWORK_STATE", "online", 1);
    // No relay: reports of stopped jobs go nowhere.
    setenv("ORBA_RELAY_HOST", "", 1);
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &ReentrantHost::Callback, &host_));
  }
  void TearDown() override { DownloadLibFinalize(); }

  JobHandle StartJob(const std::vector<std::string>& paths, const std::string& folder) {
    JobHandle job = hosttest::NewJob();
    for (const std::string& path : paths) {
      EXPECT_EQ(DL_OK, DownloadLibAddFile(job, server_.Url(path).c_str(), folder.c_str(), nullptr, -1, 1));
    }
    return job;
  }

  int RangedRequests(const std::string& path) const {
    int count = 0;
    for (const auto& request : server_.Requests()) {
      if (request.Path() == path && request.HasHeader("Range")) ++count;
    }
    return count;
  }

  ReentrantHost host_;
  HttpFileServer server_;
  testsupport::TempFolder folder_;
};

TEST_P(HostReentryTest, TheJobStopsWhereTheHostStoppedItAndNothingFreedIsTouched) {
  const ReentryCase& reentry = GetParam();
  server_.AddResource("/a.bin", testsupport::PatternedBytes(70000, 1));
  server_.AddResource("/b.bin", testsupport::PatternedBytes(90000, 2));
  std::vector<std::string> paths = {"/a.bin", reentry.failingFile ? "/missing.bin" : "/b.bin"};

  JobHandle job = StartJob(paths, folder_ / "job");
  host_.Watch(job, reentry);
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(host_.WaitUntilActed()) << "event " << reentry.event << " never came";

  // A second job through the same library afterwards: it runs normally, and by its end the
  // library has long passed every step where it could have gone on with the first one.
  server_.AddResource("/c.bin", testsupport::PatternedBytes(50000, 3));
  JobHandle next = StartJob({"/c.bin"}, folder_ / "next");
  ASSERT_EQ(DL_OK, DownloadLibStartJob(next, true));
  ASSERT_TRUE(host_.WaitForEnd(next));
  EXPECT_EQ(testsupport::PatternedBytes(50000, 3), testsupport::ReadFileText(folder_ / "next/c.bin"));

  // What follows the host's action is at most the rest of the report it acted on: never a new
  // file, a new size report or the end of a job the host took back.
  for (int32_t code : host_.AfterAction()) {
    EXPECT_NE(DL_EV_JOB_SIZE, code);
    EXPECT_NE(DL_EV_JOB_DONE, code);
  }
  if (reentry.event == DL_EV_JOB_SIZE) {
    // Taken back when its sizes were known: no file of it was ever requested for download.
    EXPECT_EQ(0, RangedRequests("/a.bin"));
    EXPECT_EQ(0, RangedRequests("/b.bin"));
  }
  if (reentry.action != Action::kStop) {
    // Its handle is gone and is not given to the next job.
    JobStatus status{};
    EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetJobStatus(job, &status));
    EXPECT_NE(job, next);
  }
}

const ReentryCase kCases[] = {
    {"StopOnSize", DL_EV_JOB_SIZE, Action::kStop, 0, false},
    {"DeleteOnSize", DL_EV_JOB_SIZE, Action::kDelete, 0, false},
    {"DeleteOnStatus", DL_EV_JOB_STATUS, Action::kDelete, 0, false},
    {"DeleteOnLastStatus", DL_EV_JOB_STATUS, Action::kDelete, 2, false},
    {"StopAndDeleteOnLastStatus", DL_EV_JOB_STATUS, Action::kStopAndDelete, 2, false},
    {"StopOnFileDone", DL_EV_FILE_DONE, Action::kStop, 0, false},
    {"DeleteOnFileDone", DL_EV_FILE_DONE, Action::kDelete, 0, false},
    {"DeleteOnLastFileDone", DL_EV_FILE_DONE, Action::kDelete, 2, false},
    {"DeleteOnDone", DL_EV_JOB_DONE, Action::kDelete, 0, false},
    {"StopOnNotice", DL_EV_JOB_NOTICE, Action::kStop, 0, true},
    {"DeleteOnNotice", DL_EV_JOB_NOTICE, Action::kDelete, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Events, HostReentryTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ReentryCase>& test) {
                           return std::string(test.param.name);
                         });

}  // namespace
