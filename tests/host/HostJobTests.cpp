// Whole jobs through the shared library against real local servers, seen only through the public
// interface: events, payloads, files on disk, and the relay report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DownloadLib.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using hosttest::Events;
using hosttest::NewJob;
using hosttest::Notices;
using hosttest::Now;
using hosttest::RelayReplyFrame;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::Script;
using testsupport::ScriptedServer;

std::string Content(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

class HostJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relayPort_ = relay_.Port();
    setenv("ORBA_RELAY_HOST", "127.0.0.1", 1);
    setenv("ORBA_RELAY_PORT", std::to_string(relayPort_).c_str(), 1);
    setenv("ORBA_NETWORK_STATE", "online", 1);
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Events::Callback, &events_));
  }
  void TearDown() override {
    DownloadLibFinalize();
    setenv("ORBA_NETWORK_STATE", "online", 1);
  }

  Events events_;
  testsupport::TempFolder folder_;
  ScriptedServer relay_{Script().ReadBytes(16).Send(RelayReplyFrame()).Close()};
  uint16_t relayPort_ = 0;
};

TEST_F(HostJobTest, SeveralFilesOfUnknownSizeDownloadExactlyWithEveryEvent) {
  HttpFileServer server;
  std::vector<std::string> bodies = {Content(1500000, 1), Content(300000, 2), Content(10, 3)};
  std::vector<std::string> urls;
  for (size_t i = 0; i < bodies.size(); ++i) {
    std::string path = "/files/f" + std::to_string(i) + ".bin";
    server.AddResource(path, bodies[i]);
    urls.push_back(server.Url(path));
  }
  // The relay gets one report frame: 4 + 3 x 298 payload bytes, padded to 912 in all.
  ScriptedServer relay(Script().ReadBytes(912).Send(RelayReplyFrame()).Close());
  setenv("ORBA_RELAY_PORT", std::to_string(relay.Port()).c_str(), 1);

  JobHandle job = NewJob();
  std::string target = folder_ / "game";
  for (const std::string& url : urls)
    ASSERT_EQ(DL_OK, DownloadLibAddFile(job, url.c_str(), target.c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE));

  EXPECT_EQ(1, events_.Count(DL_EV_JOB_SIZE));
  JobSizeInfo size{};
  DownloadLibGetJobSizeInfo(job, &size);
  EXPECT_EQ(3, size.fileCount);
  EXPECT_EQ(1500000 + 300000 + 10, size.totalBytes);

  std::vector<int32_t> codes = events_.Codes();
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(DL_EV_JOB_DONE, codes.back());
  EXPECT_EQ(DL_EV_JOB_STATUS, codes[codes.size() - 2]);
  EXPECT_EQ(3, events_.Count(DL_EV_FILE_DONE));
  for (int i = 0; i < 3; ++i) {
    FileDoneInfo done{};
    ASSERT_EQ(DL_OK, DownloadLibGetFileDone(job, &done));
    EXPECT_EQ(i + 1, done.sequence);
    EXPECT_EQ(3, done.fileCount);
    EXPECT_EQ(urls[static_cast<size_t>(i)] + "," + target + "/f" + std::to_string(i) + ".bin", done.text);
  }
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  EXPECT_EQ(3, result.fileCount);
  EXPECT_EQ(3, result.filesDone);
  JobStatus status{};
  DownloadLibGetJobStatus(job, &status);
  EXPECT_EQ(size.totalBytes, status.downloadedBytes);
  EXPECT_EQ(100, status.percent);
  for (size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_TRUE(ReadFile(target + "/f" + std::to_string(i) + ".bin") == bodies[i]) << i;
  }

  ASSERT_TRUE(relay.WaitForFinished(1, 10000));
  std::string frame = relay.Received(0);
  ASSERT_EQ(912u, frame.size());
  EXPECT_EQ(0x00, frame[0]);
  EXPECT_EQ(0x03, frame[1]);
  EXPECT_EQ(154, static_cast<uint8_t>(frame[2]));
  uint32_t length = 0;
  std::memcpy(&length, frame.data() + 10, 4);
  EXPECT_EQ(898u, length);
  int32_t count = 0;
  std::memcpy(&count, frame.data() + 14, 4);
  EXPECT_EQ(3, count);
  for (int i = 0; i < 3; ++i) {
    const char* record = frame.data() + 18 + i * 298;
    EXPECT_STREQ("ORBA-SVC", record);
    EXPECT_EQ(urls[static_cast<size_t>(i)], std::string(record + 33));
    int64_t received = 0;
    std::memcpy(&received, record + 289, 8);
    EXPECT_EQ(static_cast<int64_t>(bodies[static_cast<size_t>(i)].size()), received);
    EXPECT_EQ(1, record[297]);
  }
}

TEST_F(HostJobTest, TwoFilesMakeASixHundredSixteenByteReport) {
  HttpFileServer server;
  server.AddResource("/a", Content(1000, 4));
  server.AddResource("/b", Content(2000, 5));
  ScriptedServer relay(Script().ReadBytes(616).Send(RelayReplyFrame()).Close());
  setenv("ORBA_RELAY_PORT", std::to_string(relay.Port()).c_str(), 1);
  JobHandle job = NewJob();
  std::string target = folder_ / "two";
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url("/a").c_str(), target.c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url("/b").c_str(), target.c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE));
  ASSERT_TRUE(relay.WaitForFinished(1, 10000));
  EXPECT_EQ(616u, relay.Received(0).size());
  EXPECT_EQ(1, relay.ConnectionCount());
}

TEST_F(HostJobTest, SecondAlternativeRedirectsRetriesAndTrimming) {
  HttpFileServer server;
  std::string body = Content(400000, 6);
  HttpResourceOptions cut;
  cut.cutAfter = 100000;
  cut.cutResponses = 1;
  server.AddResource("/flaky.bin", body, cut);
  server.AddResource("/plain.bin", body);
  server.AddRedirect("/hop2", server.Url("/plain.bin"), 303);
  server.AddRedirect("/hop1", server.Url("/hop2"), 302);
  testsupport::ClosedPort closed;
  // Announces 10 bytes, sends 15: only the 10 announced may reach the file.
  ScriptedServer longer(
      Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789EXTRA").Close());

  JobHandle job = NewJob();
  std::string target = folder_ / "mixed";
  std::string alternatives =
      "http://127.0.0.1:" + std::to_string(closed.Port()) + "/x.bin|" + server.Url("/plain.bin");
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, alternatives.c_str(), target.c_str(), "alt.bin", -1, 1));
  ASSERT_EQ(DL_OK,
            DownloadLibAddFile(job, server.Url("/hop1").c_str(), target.c_str(), "redirected.bin", -1, 1));
  ASSERT_EQ(DL_OK,
            DownloadLibAddFile(job, server.Url("/flaky.bin").c_str(), target.c_str(), nullptr, 400000, 1));
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, longer.Url("/long.txt").c_str(), target.c_str(), nullptr, 10, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE, 1, 60));
  EXPECT_TRUE(ReadFile(target + "/alt.bin") == body);
  EXPECT_TRUE(ReadFile(target + "/redirected.bin") == body);
  EXPECT_TRUE(ReadFile(target + "/flaky.bin") == body);
  EXPECT_EQ("0123456789", ReadFile(target + "/long.txt"));
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  EXPECT_EQ(4, result.filesDone);
}

TEST_F(HostJobTest, AUrlThatAlwaysBreaksOffEndsInNotice517AndNoEnd) {
  // Every connection answers half a body and resets.
  ScriptedServer broken(
      Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhalf").Reset());
  JobHandle job = NewJob();
  std::string url = broken.Url("/always.bin");
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, url.c_str(), (folder_ / "broken").c_str(), nullptr, 100, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 1, 60));
  std::vector<std::string> texts;
  std::vector<JobNotice> notices = Notices(job, &texts);
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(DL_NOTE_DOWNLOAD_FAILED, notices[0].code);
  EXPECT_EQ(url, texts[0]);
  EXPECT_EQ(3, broken.ConnectionCount());
  HttpFileServer sentinel;
  sentinel.AddResource("/sentinel", "s");
  hosttest::WaitForEarlierEvents(events_, sentinel.Url("/sentinel"));
  EXPECT_EQ(0, events_.Count(DL_EV_JOB_DONE));
  EXPECT_EQ(DL_OK, DownloadLibStopJob(job));
}

TEST_F(HostJobTest, LosingAndRegainingTheConnectionAreNoticed) {
  HttpFileServer server;
  HttpResourceOptions slow;
  slow.bytesPerSecond = 200000;
  server.AddResource("/slow.bin", Content(2000000, 7), slow);
  JobHandle job = NewJob();
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url("/slow.bin").c_str(), (folder_ / "net").c_str(),
                                      nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  setenv("ORBA_NETWORK_STATE", "offline", 1);
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 1, 5));
  setenv("ORBA_NETWORK_STATE", "online", 1);
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 2, 5));
  std::vector<JobNotice> notices = Notices(job, nullptr);
  ASSERT_EQ(2u, notices.size());
  EXPECT_EQ(DL_NOTE_NETWORK_DOWN, notices[0].code);
  EXPECT_EQ(DL_NOTE_NETWORK_UP, notices[1].code);
}

TEST_F(HostJobTest, StopAndDeleteBringSilence) {
  HttpFileServer server;
  HttpResourceOptions slow;
  slow.bytesPerSecond = 100000;
  server.AddResource("/slow.bin", Content(1000000, 8), slow);
  JobHandle job = NewJob();
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url("/slow.bin").c_str(), (folder_ / "quiet").c_str(),
                                      nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_STATUS, 1, 10));
  ASSERT_EQ(DL_OK, DownloadLibStopJob(job));
  ASSERT_EQ(DL_OK, DownloadLibDeleteJob(job));
  size_t seen = events_.Size();
  // Another job's second status event: the library's job seconds passed twice since the delete,
  // and every event raised meanwhile came before it. None of them may be the deleted job's.
  JobHandle sentinel = NewJob();
  ASSERT_EQ(DL_OK, DownloadLibAddFile(sentinel, server.Url("/slow.bin").c_str(),
                                      (folder_ / "sentinel").c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(sentinel, true));
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] { return events_.CountFor(DL_EV_JOB_STATUS, static_cast<intptr_t>(sentinel)) >= 2; }, 20000));
  for (intptr_t param : events_.ParamsFrom(seen)) EXPECT_EQ(static_cast<intptr_t>(sentinel), param);
  ASSERT_EQ(DL_OK, DownloadLibStopJob(sentinel));
}

TEST_F(HostJobTest, WithoutConsentTheJobIsPacedAndWithConsentItIsNot) {
  HttpFileServer server;
  const int64_t size = 10 * 393216;
  server.AddResource("/paced.bin", Content(static_cast<size_t>(size), 9));
  JobHandle paced = NewJob();
  ASSERT_EQ(DL_OK, DownloadLibAddFile(paced, server.Url("/paced.bin").c_str(), (folder_ / "p").c_str(),
                                      nullptr, size, 1));
  double start = Now();
  ASSERT_EQ(DL_OK, DownloadLibStartJob(paced, false));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE, 1, 30));
  double pacedSeconds = events_.TimeOf(DL_EV_JOB_DONE) - start;
  // Ten budgets of one QoS second each: the first at once, the rest one per second (a lower bound
  // a paced transfer cannot beat, however fast or slow the machine).
  EXPECT_GE(pacedSeconds, 8.0);
  int pacedStatus = events_.CountFor(DL_EV_JOB_STATUS, static_cast<intptr_t>(paced));

  JobHandle fast = NewJob();
  ASSERT_EQ(DL_OK, DownloadLibAddFile(fast, server.Url("/paced.bin").c_str(), (folder_ / "f").c_str(),
                                      nullptr, size, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(fast, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE, 2, 30));
  // Unpaced, the same file is done in fewer of the library's seconds (one status event each) than
  // the pacing needs.
  EXPECT_LT(events_.CountFor(DL_EV_JOB_STATUS, static_cast<intptr_t>(fast)), pacedStatus);
}

TEST_F(HostJobTest, SizeCheckEndsIn525Or526) {
  HttpFileServer server;
  server.AddResource("/a", Content(1234, 10));
  server.AddResource("/b", Content(766, 11));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/a").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/b").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
  ASSERT_TRUE(events_.WaitFor(DL_EV_SIZE_CHECK_DONE));
  int64_t total = 0;
  EXPECT_EQ(DL_OK, DownloadLibGetSizeCheckTotal(&total));
  EXPECT_EQ(2000, total);
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/missing").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
  ASSERT_TRUE(events_.WaitFor(DL_EV_SIZE_CHECK_FAILED));
  EXPECT_EQ(1, events_.Count(DL_EV_SIZE_CHECK_DONE));
}

TEST_F(HostJobTest, AFileLargerThanTheDriveIsNotice513FromTheSizeCheck) {
  ScriptedServer huge(
      Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 900000000000000000\r\n\r\n").Stall());
  JobHandle job = NewJob();
  std::string url = huge.Url("/huge.bin");
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, url.c_str(), (folder_ / "huge").c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 1, 10));
  std::vector<std::string> texts;
  std::vector<JobNotice> notices = Notices(job, &texts);
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(DL_NOTE_DISK_FULL, notices[0].code);
  EXPECT_EQ(url, texts[0]);
  EXPECT_EQ(0, events_.Count(DL_EV_JOB_DONE));
}

}  // namespace
