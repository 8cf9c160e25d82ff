#include <gtest/gtest.h>

#include <memory>

#include "pipeline/CJobDownloader.h"
#include "pipeline/Log.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/FakeDownloader.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ManualTimers.h"

namespace {

using testsupport::EventRecorder;

class JobDownloaderTest : public orba_test::ManualTimerTest {
 protected:
  JobDownloaderTest() {
    ResetLogPathForTesting();
    downloader = std::make_unique<FakeDownloader>();
  }
  ~JobDownloaderTest() override {
    downloader.reset();
    ResetLogPathForTesting();
  }

  std::unique_ptr<CJob> NewJob(int32_t sequence) {
    auto job = std::make_unique<CJob>(sequence);
    job->SetDelivery(EventTarget{nullptr, &EventRecorder::Callback, recorder.UserData()});
    return job;
  }

  // Gives the job downloaded bytes, so its ticks raise status events.
  void WithBytes(CJob* job) {
    JobStatus status{};
    status.downloadedBytes = 1;
    downloader->ReportStatus(job, status);
  }

  // Advances the clock by whole seconds, ticking every 100 ms.
  void Seconds(int count) { TickEvery100MsUntil(orba_test::NowMs() + count * 1000); }

  int StatusEventsOf(const CJob* job) const {
    int count = 0;
    for (const auto& event : recorder.Events()) {
      if (event.code == DL_EV_JOB_STATUS && event.lParam == static_cast<intptr_t>(job->Handle())) ++count;
    }
    return count;
  }

  testsupport::IsolatedUserFolders folders;
  EventRecorder recorder;
  std::unique_ptr<FakeDownloader> downloader;
};

TEST_F(JobDownloaderTest, ConstructionRestartsTheLogWithOneLaunchLine) {
  auto second = std::make_unique<FakeDownloader>();
  auto lines = testsupport::LogLines(folders.LogPath());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("[TessenLib] Launch(3.5.0.2)", testsupport::LogMessage(lines[0]));
}

TEST_F(JobDownloaderTest, StartHoldsTheJobOnceAndPassesTheDownloadersAnswer) {
  auto job = NewJob(0);
  downloader->beginResult = DL_ERR_FAILED;
  EXPECT_EQ(DL_ERR_FAILED, downloader->Start(job.get()));
  EXPECT_TRUE(downloader->Holds(job.get()));
  EXPECT_EQ(CJob::kRunning, job->GetState());
  EXPECT_EQ(DL_ERR_ALREADY_QUEUED, downloader->Start(job.get()));
  EXPECT_EQ(1u, downloader->begun.size());
}

TEST_F(JobDownloaderTest, TickRaisesStatusEverySecondForJobsWithBytes) {
  auto busy = NewJob(0);
  auto fresh = NewJob(1);
  downloader->Start(busy.get());
  downloader->Start(fresh.get());
  WithBytes(busy.get());
  Seconds(3);
  EXPECT_EQ(3, StatusEventsOf(busy.get()));
  EXPECT_EQ(0, StatusEventsOf(fresh.get()));
}

TEST_F(JobDownloaderTest, StoppingTheLastJobStopsTheTick) {
  auto job = NewJob(0);
  downloader->Start(job.get());
  WithBytes(job.get());
  Seconds(1);
  ASSERT_EQ(1, StatusEventsOf(job.get()));
  EXPECT_EQ(DL_OK, downloader->Stop(job.get()));
  EXPECT_EQ(CJob::kIdle, job->GetState());
  EXPECT_EQ(1u, downloader->stopped.size());
  job->SetRunning();  // even a running job gets no tick once released
  Seconds(3);
  EXPECT_EQ(1, StatusEventsOf(job.get()));
  EXPECT_EQ(DL_ERR_NOT_QUEUED, downloader->Stop(job.get()));
}

TEST_F(JobDownloaderTest, EndRaisesFinalStatusAndEndAndReleasesTheJob) {
  auto job = NewJob(0);
  downloader->Start(job.get());
  WithBytes(job.get());
  downloader->ReportEnd(job.get(), 0, 0);
  EXPECT_FALSE(downloader->Holds(job.get()));
  EXPECT_EQ((std::vector<int32_t>{DL_EV_JOB_STATUS, DL_EV_JOB_DONE}), recorder.Codes(false));
  Seconds(2);
  EXPECT_EQ(1, StatusEventsOf(job.get()));
}

TEST_F(JobDownloaderTest, FailureReleasesTheJobWithItsNotice) {
  auto job = NewJob(0);
  downloader->Start(job.get());
  downloader->ReportFailure(job.get(), DL_NOTE_DOWNLOAD_FAILED, "http://h/x");
  EXPECT_FALSE(downloader->Holds(job.get()));
  EXPECT_EQ(11, job->ReadNoticeLength());
  downloader->ReportFailure(job.get(), DL_NOTE_DOWNLOAD_FAILED, "again");
  EXPECT_EQ(1, recorder.Count(DL_EV_JOB_NOTICE, false));
}

TEST_F(JobDownloaderTest, ReportsForJobsNotHeldAreDropped) {
  auto job = NewJob(0);
  ASSERT_EQ(DL_OK, job->AddFile("http://h/a", "/d", nullptr, -1, 1, 0));
  job->SetRunning();
  downloader->ReportSizeInfo(job.get(), 1, 10);
  downloader->ReportNotice(job.get(), DL_NOTE_DISK_FULL);
  downloader->ReportFileDone(job.get(), "/d/a", "http://h/a");
  downloader->ReportEnd(job.get(), 1, 0);
  WithBytes(job.get());
  EXPECT_TRUE(recorder.Events().empty());
  EXPECT_EQ(0, job->Status().downloadedBytes);
  EXPECT_EQ(DL_ERR_NOT_QUEUED, downloader->AnswerResume(job.get(), true, true));
}

TEST_F(JobDownloaderTest, LosingTheConnectionNotifiesEveryJobOnceAndItsReturnOnlyTheFirst) {
  auto first = NewJob(0);
  auto second = NewJob(1);
  downloader->Start(first.get());
  downloader->Start(second.get());
  downloader->connected = false;
  Seconds(3);
  EXPECT_EQ(2, recorder.Count(DL_EV_JOB_NOTICE, false));
  downloader->connected = true;
  Seconds(2);
  ASSERT_EQ(3, recorder.Count(DL_EV_JOB_NOTICE, false));
  JobNotice notice{};
  first->ReadNotice(&notice);
  EXPECT_EQ(DL_NOTE_NETWORK_DOWN, notice.code);
  first->ReadNotice(&notice);
  EXPECT_EQ(DL_NOTE_NETWORK_UP, notice.code);
  second->ReadNotice(&notice);
  EXPECT_EQ(DL_NOTE_NETWORK_DOWN, notice.code);
  second->ReadNotice(&notice);
  EXPECT_EQ(DL_OK, notice.code);
}

TEST_F(JobDownloaderTest, RestartAllBeginsEveryHeldJobAgainInOrder) {
  auto first = NewJob(0);
  auto second = NewJob(1);
  downloader->Start(first.get());
  downloader->Start(second.get());
  downloader->Release(first.get());
  downloader->Start(first.get());
  downloader->begun.clear();
  downloader->RestartAll();
  EXPECT_EQ((std::vector<CJob*>{second.get(), first.get()}), downloader->begun);
}

}  // namespace
