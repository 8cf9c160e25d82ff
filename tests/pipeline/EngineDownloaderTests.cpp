// The engine downloader against a scripted engine on loopback: jobs go out once the connection is
// up, the engine's messages become the job's events, a job given back goes to the manager, and
// short-lived connections are counted to the give-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/nwRegisterClasses.h"
#include "pipeline/CEngineDownloader.h"
#include "pipeline/Log.h"
#include "protocol/nwFrame.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ScopedEnvironment.h"

namespace {

using testsupport::EventRecorder;
using testsupport::FakeEngine;
using testsupport::ScopedEnvironment;

int StartNothing() { return 1; }

struct Manager final : IJobDownloadEventListener {
  std::vector<std::string> calls;
  std::vector<CJob*> givenUp;
  void OnEngineUpdateFileStarted(const std::string&, int64_t) override { calls.push_back("file started"); }
  void OnEngineUpdateFileProgress(int64_t) override { calls.push_back("file progress"); }
  void OnEngineReady() override { calls.push_back("ready"); }
  void OnEngineUpdateFailed() override { calls.push_back("update failed"); }
  void OnEngineUnusable() override { calls.push_back("unusable"); }
  void OnEngineGaveUpJob(CJob* job) override { givenUp.push_back(job); }
  void OnPathAccessFailed(int32_t type) override { calls.push_back("path " + std::to_string(type)); }
  void OnEngineMode(int32_t mode) override { calls.push_back("mode " + std::to_string(mode)); }
};

class EngineDownloaderTest : public ::testing::Test {
 protected:
  EngineDownloaderTest() {
    nwRegisterClasses();
    ResetLogPathForTesting();
  }

  std::unique_ptr<CJob> NewJob(int32_t sequence, int files = 2) {
    auto job = std::make_unique<CJob>(sequence);
    job->SetDelivery(EventTarget{nullptr, &EventRecorder::Callback, recorder.UserData()});
    for (int i = 0; i < files; ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      job->AddFile(("http://127.0.0.1:1/" + name).c_str(), (folders.Root() + "/dl/").c_str(), name.c_str(),
                   -1, 0, 0);
    }
    job->SetAllowEngine(true);
    return job;
  }
  bool Pump(const std::function<bool()>& done) { return runtime.PumpUntil(done, 10000); }
  bool FramesOfType(uint16_t type, size_t count) {
    return Pump([&] {
      size_t seen = 0;
      for (const auto& frame : engine.Received()) seen += frame.type == type ? 1 : 0;
      return seen >= count;
    });
  }
  int Events(int32_t code) const { return recorder.Count(code, false); }
  // Ends the engine's side of its `count`th connection, once the engine serves it (the library may
  // see the connection up before the engine's thread has taken it).
  void CloseConnection(int count) {
    ASSERT_TRUE(engine.WaitForConnection(count));
    engine.CloseConnection();
  }

  testsupport::IsolatedUserFolders folders;
  testsupport::CoreRuntime runtime{true};
  FakeEngine engine;
  ScopedEnvironment port{"ORBA_ENGINE_PORT", std::to_string(engine.Port())};
  EventRecorder recorder;
  Manager manager;
};

TEST_F(EngineDownloaderTest, AJobWaitsForTheConnectionThenItsMessagesBecomeItsEvents) {
  auto job = NewJob(7);
  CEngineDownloader downloader(&manager, &StartNothing);
  EXPECT_EQ(std::vector<std::string>{"ready"}, manager.calls);
  EXPECT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  const auto frames = engine.Received();
  EXPECT_EQ(engineproto::ServiceCode::kType, frames[0].type);
  EXPECT_EQ(engineproto::JobMode::kType, frames[1].type);
  EXPECT_EQ(engineproto::kGroupFileList, frames[2].group);

  engine.Send(engineproto::JobAccepted{7, 3, 2, 2000});
  engine.Send(engineproto::JobAccepted{99, 4, 1, 1});  // not ours: ignored
  engineproto::JobProgress progress{7, 3, 2, 1, 2000, 500, 100, 4, {{1000, 250, 50, "f1.bin"}}};
  engine.Send(progress);
  engine.Send(engineproto::FileDone{7, 3, folders.Root() + "/dl/f0.bin", "http://127.0.0.1:1/f0.bin"});
  engine.Send(engineproto::JobFinished{7, 3, 2, 0});
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_JOB_DONE) == 1; }));
  EXPECT_EQ(1, Events(DL_EV_JOB_SIZE));
  EXPECT_EQ(1, Events(DL_EV_FILE_DONE));
  EXPECT_EQ(3, job->EngineJobId());
  const JobStatus& status = job->Status();
  EXPECT_EQ(25, status.percent);
  EXPECT_EQ(1500 / 100, status.remainingSeconds);
  EXPECT_EQ(1, status.currentFileIndex);
  EXPECT_STREQ("f1.bin", status.currentFileName);
  EXPECT_EQ(25, status.currentFilePercent);
  EXPECT_FALSE(downloader.Holds(job.get()));
}

TEST_F(EngineDownloaderTest, AJobGivenBackGoesToTheManagerWithItsNotice) {
  auto job = NewJob(1);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  engine.Send(engineproto::JobAccepted{1, 5, 2, 10});
  engine.Send(engineproto::JobFinished{1, 5, 0, 3});
  ASSERT_TRUE(Pump([&] { return !manager.givenUp.empty(); }));
  EXPECT_EQ(job.get(), manager.givenUp.front());
  EXPECT_FALSE(downloader.Holds(job.get()));
  EXPECT_EQ(1, Events(DL_EV_JOB_NOTICE));
}

TEST_F(EngineDownloaderTest, NoticesQueriesAndAnswersFollowTheEngine) {
  auto job = NewJob(4);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_EQ(DL_ERR_ALREADY_QUEUED, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  engine.Send(engineproto::JobAccepted{4, 8, 2, 10});
  engine.Send(engineproto::JobWarning{4, 8, 1, "disk full"});
  engine.Send(engineproto::JobWarning{4, 8, 2, "other"});  // not a notice
  engine.Send(engineproto::JobWarning{4, 9, 1, "stale"});  // another engine job: ignored
  engine.Send(engineproto::NetworkDown{});
  engine.Send(engineproto::NetworkUp{});
  engine.Send(engineproto::ResumeQuery{4});
  engine.Send(engineproto::ResumeQuery{5});  // not ours
  engine.Send(engineproto::EngineMode{2});
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_RESUME_QUERY) == 1 && manager.calls.back() == "mode 2"; }));
  EXPECT_EQ(3, Events(DL_EV_JOB_NOTICE));  // disk full, network down, network up
  EXPECT_EQ(DL_OK, downloader.AnswerResume(job.get(), true, false));
  ASSERT_TRUE(FramesOfType(engineproto::ResumeAnswer::kType, 1));
  EXPECT_EQ(DL_OK, downloader.Stop(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::StopJob::kType, 1));
  engine.Send(engineproto::JobFinished{4, 8, 2, 0});  // after the stop: no record, no end
  engine.Send(engineproto::EngineMode{1});
  ASSERT_TRUE(Pump([&] { return manager.calls.back() == "mode 1"; }));
  EXPECT_EQ(0, Events(DL_EV_JOB_DONE));
}

TEST_F(EngineDownloaderTest, AFailedJobLeavesWithTheEnginesReason) {
  auto job = NewJob(2);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  engine.Send(engineproto::JobFailed{2, "cannot write f0.bin"});
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_JOB_NOTICE) == 1; }));
  EXPECT_FALSE(downloader.Holds(job.get()));
  EXPECT_TRUE(manager.givenUp.empty());
}

TEST_F(EngineDownloaderTest, ALargeListGoesOutFileByFile) {
  auto small = NewJob(1, 1);
  EXPECT_EQ(41 + 531 + static_cast<int64_t>(small->Entries()[0]->url.size()),
            CEngineDownloader::ListBytes(*small));
  auto large = NewJob(2, 300);  // 300 x (531 + URL) bytes: past the limit
  ASSERT_GT(CEngineDownloader::ListBytes(*large), CEngineDownloader::kLargeListBytes);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(large.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobEnd::kType, 1));
  int files = 0, begins = 0, wholeLists = 0;
  for (const auto& frame : engine.Received()) {
    files += frame.type == engineproto::JobFile::kType ? 1 : 0;
    begins += frame.type == engineproto::JobBegin::kType ? 1 : 0;
    wholeLists += frame.type == engineproto::JobFiles::kType ? 1 : 0;
  }
  EXPECT_EQ(300, files);
  EXPECT_EQ(1, begins);
  EXPECT_EQ(0, wholeLists);
}

TEST_F(EngineDownloaderTest, ShortLivedConnectionsLeadToTheGiveUpAndALongOneResetsTheCount) {
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  // A connection that lived 31 s starts the count afresh.
  runtime.AdvanceSeconds(31);
  CloseConnection(1);
  ASSERT_TRUE(Pump([&] { return engine.Connections() == 2 && downloader.Connected(); }));
  EXPECT_EQ(1, downloader.TryCount());
  for (int close = 2; close <= 6; ++close) {
    CloseConnection(close);
    ASSERT_TRUE(Pump([&] { return engine.Connections() == close + 1 && downloader.Connected(); })) << close;
  }
  EXPECT_EQ(6, downloader.TryCount());
  CloseConnection(7);
  ASSERT_TRUE(Pump([&] { return !manager.calls.empty() && manager.calls.back() == "unusable"; }));
  bool logged = false;
  for (const std::string& line : testsupport::LogLines(folders.LogPath())) {
    logged = logged || line.find("[TessenLib] CEngineDownloader MaxTry Over") != std::string::npos;
  }
  EXPECT_TRUE(logged);
}

TEST_F(EngineDownloaderTest, AJobCutOffByAClosedEngineGoesOutAgainAndNoFileIsReportedTwice) {
  auto job = NewJob(5);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  const std::string first = folders.Root() + "/dl/f0.bin";
  engine.Send(engineproto::JobAccepted{5, 1, 2, 20});
  engine.Send(engineproto::FileDone{5, 1, first, "http://127.0.0.1:1/f0.bin"});
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_FILE_DONE) == 1; }));

  CloseConnection(1);
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 2)) << "sent again to the relaunched engine";
  EXPECT_TRUE(downloader.Holds(job.get()));
  engine.Send(engineproto::FileDone{5, 1, first, "stale"});  // the old engine job: no record now
  engine.Send(engineproto::JobAccepted{5, 2, 2, 20});
  engine.Send(engineproto::FileDone{5, 2, first, "http://127.0.0.1:1/f0.bin"});
  engine.Send(engineproto::FileDone{5, 2, folders.Root() + "/dl/f1.bin", "http://127.0.0.1:1/f1.bin"});
  engine.Send(engineproto::JobFinished{5, 2, 2, 0});
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_JOB_DONE) == 1; }));
  EXPECT_EQ(2, Events(DL_EV_FILE_DONE));
  EXPECT_EQ(2, downloader.TryCount());
  EXPECT_TRUE(manager.givenUp.empty());
}

// Messages that do not fit: a progress whose entry count runs past its payload closes the
// connection (nothing behind it can be trusted) and the relaunched engine gets the job again; a
// finished file whose path field has no end is read within its field and, naming no file of the
// job, changes nothing. Neither reaches the job.
TEST_F(EngineDownloaderTest, MessagesThatDoNotFitAreIgnoredOrCloseTheConnection) {
  auto job = NewJob(8);
  const std::string path = folders.Root() + "/dl/f0.bin";
  std::string progress = *engineproto::EncodePayload(
      engineproto::JobProgress{8, 1, 2, 0, 2000, 100, 10, 1, {{1000, 100, 10, "f0.bin"}}});
  progress.replace(60, 4, std::string("\xE8\x03\x00\x00", 4));  // 1000 entries
  const engineproto::FileDone done{8, 1, path, "http://127.0.0.1:1/f0.bin"};
  std::string endless = *engineproto::EncodePayload(done);
  endless.replace(endless.find(path), engineproto::kPathField, engineproto::kPathField, 'a');
  struct Case {
    const char* name;
    uint16_t type;
    std::string payload;
    bool closes;
  };
  const Case cases[] = {
      {"entries past the payload", engineproto::JobProgress::kType, progress, true},
      {"a path without its end", engineproto::FileDone::kType, endless, false},
  };
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  int connection = 1;
  for (const Case& c : cases) {
    ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, static_cast<size_t>(connection))) << c.name;
    engine.Send(engineproto::JobAccepted{8, 1, 2, 2000});
    engine.SendBytes(nwBuildFrame(engineproto::kGroupControl, c.type, c.payload.data(),
                                  static_cast<int32_t>(c.payload.size())));
    engine.Send(engineproto::EngineMode{2});  // behind it: heard only when nothing was closed
    if (c.closes) {
      ++connection;
      ASSERT_TRUE(Pump([&] { return engine.Connections() == connection && downloader.Connected(); }))
          << c.name;
      EXPECT_TRUE(manager.calls.empty() || manager.calls.back() != "mode 2") << c.name;
    } else {
      ASSERT_TRUE(Pump([&] { return manager.calls.back() == "mode 2"; })) << c.name;
      manager.calls.push_back("-");
    }
    EXPECT_EQ(connection, downloader.TryCount()) << c.name;
    EXPECT_EQ(0, Events(DL_EV_FILE_DONE)) << c.name;
    EXPECT_EQ(0, job->Status().downloadedBytes) << c.name;
    EXPECT_TRUE(downloader.Holds(job.get())) << c.name;
  }
  engine.Send(done);
  ASSERT_TRUE(Pump([&] { return Events(DL_EV_FILE_DONE) == 1; }));
}

// However the engine fails to answer, a started job waits a bounded time before the engine is
// given up; an engine that answers is never timed out.
TEST_F(EngineDownloaderTest, AJobWaitsABoundedTimeForAnEngineThatAnswers) {
  auto job = NewJob(6);
  CEngineDownloader downloader(&manager, &StartNothing);
  ASSERT_TRUE(Pump([&] { return downloader.Connected(); }));
  ASSERT_EQ(DL_OK, downloader.Start(job.get()));
  ASSERT_TRUE(FramesOfType(engineproto::JobFiles::kType, 1));
  engine.Send(engineproto::EngineMode{2});
  ASSERT_TRUE(Pump([&] { return downloader.Answering(); }));
  runtime.AdvanceSeconds(3 * CEngineDownloader::kAnswerWaitSeconds);
  EXPECT_EQ(std::vector<std::string>({"ready", "mode 2"}), manager.calls);

  // Cut off; the relaunched engine takes the connection but never says a word.
  CloseConnection(1);
  ASSERT_TRUE(Pump([&] { return engine.Connections() == 2 && downloader.Connected(); }));
  EXPECT_FALSE(downloader.Answering());
  runtime.AdvanceSeconds(CEngineDownloader::kAnswerWaitSeconds - 1);
  EXPECT_EQ("ready", manager.calls.back());
  runtime.AdvanceSeconds(2);
  EXPECT_EQ("unusable", manager.calls.back());
  EXPECT_EQ(1, std::count(manager.calls.begin(), manager.calls.end(), "unusable"));
  bool logged = false;
  for (const std::string& line : testsupport::LogLines(folders.LogPath())) {
    logged = logged || line.find("[TessenLib] CEngineDownloader No Answer") != std::string::npos;
  }
  EXPECT_TRUE(logged);
  // Being given up, it sends nothing more and starts no engine.
  auto later = NewJob(7);
  EXPECT_EQ(DL_OK, downloader.Start(later.get()));
  runtime.AdvanceSeconds(2);
  EXPECT_EQ(1, std::count(manager.calls.begin(), manager.calls.end(), "unusable"));
}

TEST(EngineSpeedWindowTest, AveragesTheLastTenSecondsOfTheLastTenSamples) {
  EngineSpeedWindow window;
  EXPECT_EQ(0, window.Average());
  window.Add(0, 500);  // a time of 0 never counts
  EXPECT_EQ(0, window.Average());
  for (int second = 1; second <= 12; ++second) window.Add(second, second * 10);
  // Ten samples are kept (3..12); all lie within 10 s of the newest.
  EXPECT_EQ((30 + 120) * 10 / 2 / 10, window.Average());
  window.Add(30, 7);  // the others are now more than 10 s older than the newest
  EXPECT_EQ(7, window.Average());
  window.Clear();
  EXPECT_EQ(0, window.Average());
}

}  // namespace
