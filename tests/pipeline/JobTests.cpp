#include <gtest/gtest.h>

#include <string>

#include "pipeline/CJob.h"
#include "tests/support/EventRecorder.h"

namespace {

using testsupport::EventRecorder;

class JobTest : public ::testing::Test {
 protected:
  JobTest() : job(7) { job.SetDelivery(EventTarget{nullptr, &EventRecorder::Callback, recorder.UserData()}); }

  // A job that a downloader has taken, with `downloaded` bytes in its status.
  void Run(int64_t downloaded) {
    job.SetRunning();
    JobStatus status{};
    status.fileCount = job.FileCount();
    status.downloadedBytes = downloaded;
    job.UpdateStatus(status);
  }

  EventRecorder recorder;
  CJob job;
};

TEST_F(JobTest, FileNameComesFromTheUrlsLastSegmentAndFolderIsNormalised) {
  ASSERT_EQ(DL_OK, job.AddFile("  http://h/a/b.bin \t", "C:\\x", nullptr, -1, 1, 0));
  const JobFileEntry& entry = *job.EntryAt(0);
  EXPECT_EQ("http://h/a/b.bin", entry.url);
  EXPECT_EQ("C:/x/", entry.folder);
  EXPECT_EQ("b.bin", entry.fileName);
  EXPECT_EQ(-1, entry.size);
  EXPECT_EQ(0, entry.index);
  EXPECT_EQ(1, entry.optionA);
}

TEST_F(JobTest, SameFileTwiceIsRefusedWhateverTheCase) {
  ASSERT_EQ(DL_OK, job.AddFile("http://h/a/b.bin", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://h/a/b.bin", "/x/", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://other/c/B.BIN", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://other/c/z", "/X/", "b.bin", -1, 1, 0));
  EXPECT_EQ(DL_OK, job.AddFile("http://other/c/B.BIN", "/y", nullptr, -1, 1, 0));
  EXPECT_EQ(2, job.FileCount());
  EXPECT_EQ(1, job.EntryAt(1)->index);
}

TEST_F(JobTest, UrlWithoutSlashGivesAnEmptyNameKeyedByTheFolder) {
  ASSERT_EQ(DL_OK, job.AddFile("nothing", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ("", job.EntryAt(0)->fileName);
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("other", "/x/", nullptr, -1, 1, 0));
}

TEST_F(JobTest, QueryAndFragmentAreNotPartOfTheName) {
  ASSERT_EQ(DL_OK, job.AddFile("http://h/d/setup.exe?name=../../etc/passwd", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ("setup.exe", job.EntryAt(0)->fileName);
  ASSERT_EQ(DL_OK, job.AddFile("http://h/d/data.bin#/../../x", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ("data.bin", job.EntryAt(1)->fileName);
}

TEST_F(JobTest, NamesThatLeaveTheFolderOrNameNoFileAreRefused) {
  const char* urls[] = {"http://h/a/..", "http://h/a/.", "http://h/a/..?x=1"};
  for (const char* url : urls) EXPECT_EQ(DL_ERR_FAILED, job.AddFile(url, "/x", nullptr, -1, 1, 0)) << url;
  const char* names[] = {"..", ".", "a/b", "..\\evil", "tab\there", "bell\x07", "del\x7f"};
  for (const char* name : names)
    EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://h/ok", "/x", name, -1, 1, 0)) << name;
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://h/ok", "/x", std::string(260, 'n').c_str(), -1, 1, 0));
  EXPECT_EQ(0, job.FileCount());
  EXPECT_EQ(DL_OK, job.AddFile("http://h/ok", "/x", std::string(259, 'n').c_str(), -1, 1, 0));
  EXPECT_EQ(DL_OK, job.AddFile("http://h/ok", "/x", "..hidden..", -1, 1, 0));
}

TEST_F(JobTest, MissingUrlOrFolderAndNonIdleStatesAreRefused) {
  EXPECT_EQ(DL_ERR_NO_URL, job.AddFile(nullptr, "/x", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_NO_URL, job.AddFile("", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FOLDER, job.AddFile("http://h/a", nullptr, nullptr, -1, 1, 0));
  EXPECT_EQ(DL_ERR_FOLDER, job.AddFile("http://h/a", "", nullptr, -1, 1, 0));
  job.SetRunning();
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://h/a", "/x", nullptr, -1, 1, 0));
  job.End(0, 0);
  EXPECT_EQ(DL_ERR_FAILED, job.AddFile("http://h/a", "/x", nullptr, -1, 1, 0));
  EXPECT_EQ(0, job.FileCount());
}

TEST_F(JobTest, CodesAreTruncatedCopiesAndEntriesKeepTheServiceCodeOfTheirTime) {
  job.SetCodes("ABCDEF", std::string(40, 's').c_str());
  EXPECT_STREQ("ABC", job.EngineTag());
  EXPECT_EQ(std::string(32, 's'), job.ServiceCode());
  ASSERT_EQ(DL_OK, job.AddFile("http://h/a", "/x", nullptr, -1, 1, 0));
  job.SetCodes(nullptr, "");
  EXPECT_STREQ("", job.EngineTag());
  EXPECT_STREQ("", job.ServiceCode());
  EXPECT_EQ(std::string(32, 's'), job.EntryAt(0)->serviceCode);
}

TEST_F(JobTest, SizeInfoIsRaisedOnlyWhileRunningWithNothingDownloadedAndReadOnce) {
  job.PostSizeInfo(2, 100);
  EXPECT_EQ(0, recorder.Count(DL_EV_JOB_SIZE, false));
  Run(0);
  job.PostSizeInfo(2, 100);
  ASSERT_EQ(1, recorder.Count(DL_EV_JOB_SIZE, false));
  EXPECT_EQ(static_cast<intptr_t>(job.Handle()), recorder.Events().back().lParam);
  JobSizeInfo info{-1, -1};
  job.ReadSizeInfo(&info);
  EXPECT_EQ(2, info.fileCount);
  EXPECT_EQ(100, info.totalBytes);
  JobSizeInfo untouched{-5, -5};
  job.ReadSizeInfo(&untouched);
  EXPECT_EQ(-5, untouched.fileCount);
  Run(10);
  job.PostSizeInfo(2, 100);
  EXPECT_EQ(1, recorder.Count(DL_EV_JOB_SIZE, false));
}

TEST_F(JobTest, StatusIsRaisedOnlyWhileRunningWithBytes) {
  job.PostStatus();
  Run(0);
  job.PostStatus();
  EXPECT_EQ(0, recorder.Count(DL_EV_JOB_STATUS, false));
  Run(5);
  job.PostStatus();
  EXPECT_EQ(1, recorder.Count(DL_EV_JOB_STATUS, false));
  JobStatus read{};
  job.ReadStatus(&read);
  EXPECT_EQ(5, read.downloadedBytes);
}

TEST_F(JobTest, FileDoneIsReportedOncePerFileInSequence) {
  ASSERT_EQ(DL_OK, job.AddFile("http://h/a.bin", "/d", nullptr, -1, 1, 0));
  ASSERT_EQ(DL_OK, job.AddFile("http://h/b.bin", "/d", nullptr, -1, 1, 0));
  Run(1);
  job.PostFileDone("/D/A.BIN", nullptr, "http://h/a.bin");
  job.PostFileDone("/d/a.bin", nullptr, "http://h/a.bin");
  job.PostFileDone("/d/unknown.bin", nullptr, "x");
  job.PostFileDone("/d/b.bin", "custom", "src");
  EXPECT_EQ(2, recorder.Count(DL_EV_FILE_DONE, false));

  FileDoneInfo first{};
  job.ReadFileDone(&first);
  EXPECT_EQ(2, first.fileCount);
  EXPECT_EQ(1, first.sequence);
  EXPECT_STREQ("http://h/a.bin,/D/A.BIN", first.text);
  FileDoneInfo second{};
  job.ReadFileDone(&second);
  EXPECT_EQ(2, second.sequence);
  EXPECT_STREQ("src,custom", second.text);
  FileDoneInfo untouched{};
  untouched.sequence = 99;
  job.ReadFileDone(&untouched);
  EXPECT_EQ(99, untouched.sequence);
}

TEST_F(JobTest, LongFileDoneTextIsCutAndTerminated) {
  ASSERT_EQ(DL_OK, job.AddFile("http://h/a.bin", "/d", nullptr, -1, 1, 0));
  Run(1);
  std::string source(2000, 'u');
  job.PostFileDone("/d/a.bin", nullptr, source.c_str());
  FileDoneInfo info{};
  job.ReadFileDone(&info);
  EXPECT_EQ(1023u, std::string(info.text).size());
}

TEST_F(JobTest, NoticesQueueInEveryStateWithOptionalText) {
  job.PostNotice(DL_NOTE_DOWNLOAD_FAILED, "http://h/x");
  job.PostNotice(DL_NOTE_NETWORK_DOWN, nullptr);
  job.PostNotice(DL_NOTE_NETWORK_UP, "");
  EXPECT_EQ(3, recorder.Count(DL_EV_JOB_NOTICE, false));

  EXPECT_EQ(11, job.ReadNoticeLength());
  char text[64] = "untouched";
  JobNotice notice{0, text};
  job.ReadNotice(&notice);
  EXPECT_EQ(DL_NOTE_DOWNLOAD_FAILED, notice.code);
  EXPECT_STREQ("http://h/x", text);

  EXPECT_EQ(0, job.ReadNoticeLength());
  std::snprintf(text, sizeof text, "keep");
  job.ReadNotice(&notice);
  EXPECT_EQ(DL_NOTE_NETWORK_DOWN, notice.code);
  EXPECT_STREQ("keep", text);

  JobNotice withoutBuffer{0, nullptr};
  job.ReadNotice(&withoutBuffer);
  EXPECT_EQ(DL_NOTE_NETWORK_UP, withoutBuffer.code);
  job.ReadNotice(&withoutBuffer);
  EXPECT_EQ(DL_OK, withoutBuffer.code);
}

TEST_F(JobTest, EndWithBytesRaisesAFinalStatusBeforeTheEnd) {
  ASSERT_EQ(DL_OK, job.AddFile("http://h/a", "/d", nullptr, -1, 1, 0));
  Run(10);
  job.End(1, 0);
  EXPECT_EQ((std::vector<int32_t>{DL_EV_JOB_STATUS, DL_EV_JOB_DONE}), recorder.Codes(false));
  EXPECT_EQ(CJob::kFinished, job.GetState());
  JobResult result{};
  job.ReadResult(&result);
  EXPECT_EQ(1, result.fileCount);
  EXPECT_EQ(1, result.filesDone);
  EXPECT_EQ(0, result.status);
  JobResult untouched{-1, -1, -1};
  job.ReadResult(&untouched);
  EXPECT_EQ(-1, untouched.fileCount);
}

TEST_F(JobTest, EndWithoutBytesRaisesOnlyTheEnd) {
  Run(0);
  job.End(0, 0);
  EXPECT_EQ((std::vector<int32_t>{DL_EV_JOB_DONE}), recorder.Codes(false));
}

TEST_F(JobTest, EventsGoToTheWindowAndTheCallbackEachOnce) {
  EventRecorder both;
  job.SetDelivery(EventTarget{both.Window(), &EventRecorder::Callback, both.UserData()});
  job.PostNotice(DL_NOTE_DISK_FULL, nullptr);
  EXPECT_EQ(1, both.Count(DL_EV_JOB_NOTICE, false));
  EXPECT_EQ(0, both.Count(DL_EV_JOB_NOTICE, true));
  both.Pump();
  EXPECT_EQ(1, both.Count(DL_EV_JOB_NOTICE, true));
  for (const auto& event : both.Events()) EXPECT_EQ(static_cast<intptr_t>(job.Handle()), event.lParam);
}

TEST_F(JobTest, FileRegisterTracksOpenedAndFinishedFiles) {
  job.RegisterFile("/d/a");
  job.RegisterFile("/d/b");
  job.MarkFileCompleted("/d/b");
  ASSERT_EQ(2u, job.FileRegister().size());
  EXPECT_FALSE(job.FileRegister()[0].completed);
  EXPECT_TRUE(job.FileRegister()[1].completed);
}

}  // namespace
