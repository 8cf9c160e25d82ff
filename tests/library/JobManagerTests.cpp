#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include <memory>
#include <string>

#include "core/nvSmartPtr.h"
#include "library/CJobManager.h"
#include "platform/FileSystem.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/FakeDownloader.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::EventRecorder;

class JobManagerTest : public ::testing::Test {
 protected:
  // Builds a manager whose downloaders are fakes (either may be left out).
  void Make(bool withEngine, bool withPlatform, bool withWindow = false) {
    lock = cpCMutexPtr::Create(CLSID_cpCMutex);
    manager = std::make_unique<CJobManager>(lock, [=, this](CJobManager&) {
      CJobManager::Downloaders made;
      if (withEngine) made.engine.reset(engine = new FakeDownloader);
      if (withPlatform) made.platform.reset(platform = new FakeDownloader);
      return made;
    });
    DownloadLibWindow window = withWindow ? recorder.Window() : nullptr;
    ASSERT_EQ(DL_OK, manager->Configure(window, &EventRecorder::Callback, recorder.UserData(), true));
  }

  JobHandle NewJob() {
    JobHandle job = 0;
    EXPECT_EQ(DL_OK, manager->CreateJob(&job, "ORB", "svc"));
    return job;
  }

  JobHandle JobWithFile() {
    JobHandle job = NewJob();
    EXPECT_EQ(DL_OK, manager->AddFile(job, "http://h/a.bin", folder.Path().c_str(), nullptr, -1, 1, 0));
    return job;
  }

  CJob* AsJob(JobHandle handle) const { return manager->FindJob(handle); }

  testsupport::TempFolder folder;
  EventRecorder recorder;
  cpCMutexPtr lock;
  FakeDownloader* engine = nullptr;
  FakeDownloader* platform = nullptr;
  std::unique_ptr<CJobManager> manager;
};

TEST_F(JobManagerTest, JobsTakeSequenceNumbersInCreationOrder) {
  Make(true, true);
  JobHandle first = NewJob();
  JobHandle second = NewJob();
  EXPECT_NE(0u, first);
  EXPECT_EQ(0, AsJob(first)->SequenceNumber());
  EXPECT_EQ(1, AsJob(second)->SequenceNumber());
  EXPECT_STREQ("ORB", AsJob(first)->EngineTag());
}

TEST_F(JobManagerTest, CreateJobRefusesAnOutValueThatNamesALiveJobOrNoOutAtAll) {
  Make(true, true);
  JobHandle job = NewJob();
  JobHandle same = job;
  EXPECT_EQ(DL_ERR_FAILED, manager->CreateJob(&same, nullptr, nullptr));
  EXPECT_EQ(job, same);
  EXPECT_EQ(DL_ERR_FAILED, manager->CreateJob(nullptr, nullptr, nullptr));
  JobHandle stale = 12345;  // names nothing: a new job is made
  EXPECT_EQ(DL_OK, manager->CreateJob(&stale, nullptr, nullptr));
  EXPECT_NE(12345u, stale);
}

TEST_F(JobManagerTest, SizeIsCheckedBeforeTheJobIsLookedUp) {
  Make(true, true);
  for (int64_t size : {int64_t{0}, int64_t{-2}, INT64_MIN}) {
    EXPECT_EQ(DL_ERR_BAD_SIZE,
              manager->AddFile(777, "http://h/a", folder.Path().c_str(), nullptr, size, 1, 0));
  }
  EXPECT_EQ(DL_ERR_FAILED, manager->AddFile(777, "http://h/a", folder.Path().c_str(), nullptr, -1, 1, 0));
  JobHandle job = NewJob();
  EXPECT_EQ(DL_OK, manager->AddFile(job, "http://h/a", folder.Path().c_str(), nullptr, -1, 1, 0));
  EXPECT_EQ(DL_OK, manager->AddFile(job, "http://h/b", folder.Path().c_str(), nullptr, 1, 1, 0));
}

TEST_F(JobManagerTest, AddFileCreatesEveryMissingFolderLevel) {
  Make(true, true);
  JobHandle job = NewJob();
  std::string nested = folder / "one/two\\three";
  ASSERT_EQ(DL_OK, manager->AddFile(job, "http://h/a", nested.c_str(), nullptr, -1, 1, 0));
  EXPECT_TRUE(platform::DirectoryExists(folder / "one/two/three"));
  EXPECT_EQ(folder / "one/two/three/", AsJob(job)->EntryAt(0)->folder);
  EXPECT_TRUE(recorder.Events().empty());
}

TEST_F(JobManagerTest, FolderThatCannotBeMadeFailsWithEventOnTheCallersThread) {
  Make(true, true);
  JobHandle job = NewJob();
  testsupport::WriteFileText(folder / "file", "x");
  std::string underFile = folder / "file/sub/";
  EXPECT_EQ(DL_ERR_FOLDER, manager->AddFile(job, "http://h/a", underFile.c_str(), nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FOLDER, manager->AddFile(job, "http://h/a", "", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FOLDER, manager->AddFile(job, "http://h/a", nullptr, nullptr, -1, 1, 0));
  ASSERT_EQ(3, recorder.Count(DL_EV_FOLDER_FAILED, false));
  for (const auto& event : recorder.Events()) {
    EXPECT_EQ(std::this_thread::get_id(), event.thread);
    EXPECT_EQ(reinterpret_cast<intptr_t>(manager.get()), event.lParam);
  }
  EXPECT_EQ(0, AsJob(job)->FileCount());
}

TEST_F(JobManagerTest, FolderFailureIsPostedAndLoggedWhenAWindowIsRegistered) {
  Make(true, true, true);
  JobHandle job = NewJob();
  EXPECT_EQ(DL_ERR_FOLDER, manager->AddFile(job, "http://h/a", "", nullptr, -1, 1, 0));
  recorder.Pump();
  EXPECT_EQ(1, recorder.Count(DL_EV_FOLDER_FAILED, true));
  EXPECT_EQ(1, recorder.Count(DL_EV_FOLDER_FAILED, false));
  auto lines = testsupport::LogLines(LibraryTestFolders().LogPath());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("[TessenLib] download path access failed", testsupport::LogMessage(lines.back()));
}

TEST_F(JobManagerTest, StartNeedsFilesAndGoesToTheEngineDownloaderWhileItExists) {
  Make(true, true);
  JobHandle empty = NewJob();
  EXPECT_EQ(DL_ERR_FAILED, manager->StartJob(empty, true));
  EXPECT_EQ(CJob::kIdle, AsJob(empty)->GetState());

  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_OK, manager->StartJob(job, false));
  ASSERT_EQ(1u, engine->begun.size());
  EXPECT_FALSE(engine->allowEngineAtBegin[0]);
  EXPECT_TRUE(platform->begun.empty());
  EXPECT_EQ(CJob::kRunning, AsJob(job)->GetState());
  EXPECT_EQ(DL_ERR_ALREADY_QUEUED, manager->StartJob(job, true));
}

TEST_F(JobManagerTest, AnUnusableEngineSendsRunningJobsToDirectDownloadForGood) {
  Make(true, true);
  JobHandle running = JobWithFile();
  JobHandle ended = JobWithFile();
  JobHandle idle = JobWithFile();
  ASSERT_EQ(DL_OK, manager->StartJob(running, true));
  ASSERT_EQ(DL_OK, manager->StartJob(ended, true));
  engine->ReportEnd(AsJob(ended), 1, 0);
  ASSERT_EQ(CJob::kFinished, AsJob(ended)->GetState());

  manager->OnEngineUnusable();
  engine = nullptr;  // destroyed by the manager
  EXPECT_EQ(platform, manager->CurrentDownloader());
  ASSERT_EQ(1u, platform->begun.size()) << "only the running job moves";
  EXPECT_EQ(AsJob(running), platform->begun[0]);
  EXPECT_TRUE(platform->allowEngineAtBegin[0]) << "the player's consent goes with it";
  EXPECT_EQ(DL_OK, manager->StartJob(idle, true));
  EXPECT_EQ(AsJob(idle), platform->begun.back());
  manager->OnEngineUnusable();  // once gone, gone: nothing is started twice
  EXPECT_EQ(2u, platform->begun.size());
}

TEST_F(JobManagerTest, AJobTheEngineGaveBackContinuesByDirectDownload) {
  Make(true, true);
  JobHandle job = JobWithFile();
  ASSERT_EQ(DL_OK, manager->StartJob(job, true));
  engine->Release(AsJob(job));
  manager->OnEngineGaveUpJob(AsJob(job));
  ASSERT_EQ(1u, platform->begun.size());
  EXPECT_EQ(AsJob(job), platform->begun[0]);
  EXPECT_EQ(engine, manager->CurrentDownloader()) << "the engine stays for the next jobs";
  CJob stranger(99);
  manager->OnEngineGaveUpJob(&stranger);  // not registered: nothing starts
  EXPECT_EQ(1u, platform->begun.size());
}

TEST_F(JobManagerTest, EngineUpdateAndModeReportsBecomeEventsWithoutAJob) {
  Make(true, true);
  manager->OnEngineUpdateFileStarted(std::string(2000, 'u'), 77);
  EXPECT_EQ(1039u, manager->EngineUpdateUrl().size());
  manager->OnEngineUpdateFileProgress(40);
  EXPECT_EQ(40, manager->EngineUpdateBytes());
  manager->OnEngineReady();
  manager->OnEngineUpdateFailed();
  EXPECT_EQ(0, manager->EngineModeState());
  manager->OnEngineMode(0);
  EXPECT_EQ(2, manager->EngineModeState());
  manager->OnEngineMode(3);
  EXPECT_EQ(1, manager->EngineModeState());
  for (int32_t code : {DL_EV_ENGINE_UPDATE_FILE, DL_EV_ENGINE_UPDATE_PROGRESS, DL_EV_ENGINE_READY,
                       DL_EV_ENGINE_UPDATE_FAILED}) {
    EXPECT_EQ(1, recorder.Count(code, false)) << code;
  }
  EXPECT_EQ(2, recorder.Count(DL_EV_ENGINE_MODE, false));
  for (const auto& event : recorder.Events()) EXPECT_EQ(0, event.lParam) << event.code;
}

TEST_F(JobManagerTest, WithoutTheEngineThePlatformDownloaderTakesJobs) {
  Make(false, true);
  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_OK, manager->StartJob(job, true));
  EXPECT_EQ(1u, platform->begun.size());
  EXPECT_TRUE(platform->allowEngineAtBegin[0]);
}

TEST_F(JobManagerTest, WithoutAnyDownloaderNothingStarts) {
  Make(false, false);
  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_ERR_FAILED, manager->StartJob(job, true));
  EXPECT_EQ(DL_ERR_FAILED, manager->StopJob(job));
  EXPECT_EQ(DL_ERR_NOT_QUEUED, manager->AnswerResume(job, true, false));
}

TEST_F(JobManagerTest, RefusalOfTheDownloaderIsPassedOnButTheJobStaysHeld) {
  Make(true, true);
  engine->beginResult = DL_ERR_FAILED;
  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_ERR_FAILED, manager->StartJob(job, true));
  EXPECT_TRUE(engine->Holds(AsJob(job)));
  EXPECT_EQ(CJob::kRunning, AsJob(job)->GetState());
}

TEST_F(JobManagerTest, StopGoesToTheHolder) {
  Make(true, true);
  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_ERR_FAILED, manager->StopJob(job));
  ASSERT_EQ(DL_OK, manager->StartJob(job, true));
  EXPECT_EQ(DL_OK, manager->StopJob(job));
  EXPECT_EQ(1u, engine->stopped.size());
  EXPECT_EQ(CJob::kIdle, AsJob(job)->GetState());
  EXPECT_EQ(DL_ERR_FAILED, manager->StopJob(job));
  EXPECT_EQ(DL_ERR_FAILED, manager->StopJob(0));
}

TEST_F(JobManagerTest, AnswerResumeNeedsTheCurrentDownloaderToHoldTheJob) {
  Make(true, true);
  JobHandle job = JobWithFile();
  EXPECT_EQ(DL_ERR_FAILED, manager->AnswerResume(4242, true, true));
  EXPECT_EQ(DL_ERR_NOT_QUEUED, manager->AnswerResume(job, true, true));
  ASSERT_EQ(DL_OK, manager->StartJob(job, true));
  EXPECT_EQ(DL_OK, manager->AnswerResume(job, true, true));
  EXPECT_EQ(1, engine->resumeAnswers);
}

TEST_F(JobManagerTest, DeleteStopsAHeldJobAndForgetsIt) {
  Make(true, true);
  JobHandle job = JobWithFile();
  ASSERT_EQ(DL_OK, manager->StartJob(job, true));
  EXPECT_EQ(DL_OK, manager->DeleteJob(job));
  EXPECT_EQ(1u, engine->stopped.size());
  EXPECT_FALSE(engine->Holds(engine->stopped[0]));
  EXPECT_EQ(DL_ERR_FAILED, manager->DeleteJob(job));
  JobStatus status{};
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobStatus(job, &status));
  JobHandle idle = NewJob();
  EXPECT_EQ(DL_OK, manager->DeleteJob(idle));
}

TEST_F(JobManagerTest, AHandleIsNeverGivenOutTwiceSoStaleEventsNameNoOtherJob) {
  Make(true, true);
  std::vector<JobHandle> seen;
  for (int i = 0; i < 50; ++i) {
    JobHandle job = NewJob();
    EXPECT_EQ(std::find(seen.begin(), seen.end(), job), seen.end()) << "handle " << job << " came back";
    seen.push_back(job);
    // Freed at once: a handle made from the job's address would come back with the next job.
    ASSERT_EQ(DL_OK, manager->DeleteJob(job));
  }
  JobStatus status{};
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobStatus(seen.front(), &status));
}

TEST_F(JobManagerTest, ServiceCodeGoesToTheEngineDownloader) {
  Make(true, true);
  EXPECT_EQ(DL_OK, manager->SetServiceCode("ORBA01"));
  EXPECT_EQ("ORBA01", engine->serviceCode);
  EXPECT_EQ(DL_OK, manager->SetServiceCode(nullptr));
  EXPECT_EQ("", engine->serviceCode);
  EXPECT_EQ("<unset>", platform->serviceCode);
}

TEST_F(JobManagerTest, RemainingSizeComesFromTheJobStatusWhenItHasATotal) {
  Make(true, true);
  JobHandle job = JobWithFile();
  int64_t remaining = -1;
  EXPECT_EQ(DL_ERR_FAILED, manager->GetRemainingSize(job, &remaining));
  JobStatus status{};
  status.totalBytes = 1000;
  status.downloadedBytes = 250;
  AsJob(job)->UpdateStatus(status);
  EXPECT_EQ(DL_OK, manager->GetRemainingSize(job, &remaining));
  EXPECT_EQ(750, remaining);
  EXPECT_EQ(DL_ERR_FAILED, manager->GetRemainingSize(job, nullptr));
}

TEST_F(JobManagerTest, EngineReportFlagIsSetOnKnownJobsOnly) {
  Make(true, true);
  JobHandle job = NewJob();
  EXPECT_EQ(DL_ERR_FAILED, manager->SetEngineReport(999));
  EXPECT_EQ(DL_OK, manager->SetEngineReport(job));
  EXPECT_TRUE(AsJob(job)->EngineReport());
}

TEST_F(JobManagerTest, ReadsOfUnknownJobsOrIntoNoRecordFail) {
  Make(true, true);
  JobHandle job = NewJob();
  JobStatus status{};
  JobSizeInfo size{};
  FileDoneInfo done{};
  JobResult result{};
  int32_t length = -1;
  JobNotice notice{};
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobStatus(job + 1, &status));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobStatus(job, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobSizeInfo(job, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetFileDone(job, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetJobResult(job, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetNoticeLength(job, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetNotice(job, nullptr));
  EXPECT_EQ(DL_OK, manager->GetJobStatus(job, &status));
  EXPECT_EQ(DL_OK, manager->GetJobSizeInfo(job, &size));
  EXPECT_EQ(DL_OK, manager->GetFileDone(job, &done));
  EXPECT_EQ(DL_OK, manager->GetJobResult(job, &result));
  EXPECT_EQ(DL_OK, manager->GetNoticeLength(job, &length));
  EXPECT_EQ(0, length);
  EXPECT_EQ(DL_OK, manager->GetNotice(job, &notice));
  EXPECT_EQ(DL_OK, notice.code);
}

TEST_F(JobManagerTest, SizeChecksAndDataAnswerAsWhenNothingWasQueued) {
  Make(true, true);
  int64_t value = -7;
  EXPECT_EQ(DL_ERR_FAILED, manager->StartSizeCheck());
  EXPECT_EQ(DL_ERR_FAILED, manager->GetSizeCheckTotal(&value));
  EXPECT_EQ(DL_ERR_FAILED, manager->GetDataSize(&value));
  DataBuffer buffer{nullptr, 0};
  EXPECT_EQ(DL_ERR_FAILED, manager->GetData(&buffer));
  EXPECT_EQ(-7, value);
}

}  // namespace
