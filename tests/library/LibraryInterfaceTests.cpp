// The flat interface driven through the real library thread (static build, so the tests may
// also reach the thread object and its options).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/cpCQoS.h"
#include "core/cpCTimerService.h"
#include "core/nvCGarbageCollector.h"
#include "library/DownloadLib.h"
#include "library/LibraryControl.h"
#include "net/nwCHttpMimeTypeMap.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using testsupport::EventRecorder;
using testsupport::LogLines;
using testsupport::LogMessage;

std::vector<std::string> LogMessages() {
  std::vector<std::string> messages;
  for (const std::string& line : LogLines(LibraryTestFolders().LogPath()))
    messages.push_back(LogMessage(line));
  return messages;
}

// A gate the worker waits at before it starts, opened by the test.
class Gate {
 public:
  // A gate left shut would strand the worker on a destroyed gate.
  ~Gate() { Open(); }
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Waits for the worker to leave its procedure; false when it did not within a generous limit.
bool WaitUntilFinished(CDownloadLibThread* thread) {
  return testsupport::WaitUntil([thread] { return thread->Finished(); });
}

// The process-wide services a library's runtime root installs.
struct RuntimeServices {
  cpCTimerService* timers = cpCTimerService::Instance();
  cpCQoS* qos = cpCQoS::Instance();
  nvCGarbageCollector* collector = nvCGarbageCollector::Instance();
  nwCHttpMimeTypeMap* mimeTypes = nwCHttpMimeTypeMap::Instance();
  bool operator==(const RuntimeServices&) const = default;
};

class LibraryInterfaceTest : public ::testing::Test {
 protected:
  // The log folder exists from the start, as it does after the library ran once on a machine.
  void SetUp() override { ResetLog(); }
  void TearDown() override { DownloadLibFinalize(); }
  EventRecorder recorder;
  testsupport::TempFolder folder;
};

TEST_F(LibraryInterfaceTest, InitialiseAndFinaliseWriteTheirLogLinesInOrder) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  ASSERT_EQ(DL_OK, DownloadLibFinalize());
  std::vector<std::string> expected = {
      "[TessenLib] Launch(3.5.0.2)",    "[TessenLib] Initialize",
      "[TessenLib] Finalize Begin",     "[TessenLib] Exit GetMessage Loop",
      "[TessenLib] Destroy JobManager", "[TessenLib] CPlatFormDownloader Destroy",
      "[TessenLib] Finalize End"};
  EXPECT_EQ(expected, LogMessages());
}

TEST_F(LibraryInterfaceTest, LogLinesCarryTheClocksTimeInCtimeForm) {
  platform::ManualClock clock(1'000'000'000'000);  // 2001-09-09
  platform::ScopedClock use(clock);
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  std::string content = testsupport::ReadFileText(LibraryTestFolders().LogPath());
  std::time_t seconds = 1'000'000'000;
  std::string ctimeText = std::ctime(&seconds);
  ctimeText.pop_back();
  EXPECT_EQ(
      "[" + ctimeText + "] [TessenLib] Launch(3.5.0.2)\r\n[" + ctimeText + "] [TessenLib] Initialize\r\n",
      content);
}

TEST_F(LibraryInterfaceTest, SecondInitialisationIsRefusedUntilFinalised) {
  int first = 1;
  int second = 2;
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, &first));
  EXPECT_EQ(DL_ERR_ALREADY_INITIALIZED, DownloadLibInitializeEx(nullptr, nullptr, &second, false));
  EXPECT_EQ(&first, DownloadLibGetUserData());
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  EXPECT_EQ(nullptr, DownloadLibGetUserData());
  EXPECT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, &second));
  EXPECT_EQ(&second, DownloadLibGetUserData());
}

TEST_F(LibraryInterfaceTest, FinaliseWithoutInitialiseWritesBeginAndEnd) {
  std::vector<std::string> before = LogMessages();
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  std::vector<std::string> after = LogMessages();
  ASSERT_EQ(before.size() + 2, after.size());
  EXPECT_EQ("[TessenLib] Finalize Begin", after[after.size() - 2]);
  EXPECT_EQ("[TessenLib] Finalize End", after.back());
}

TEST_F(LibraryInterfaceTest, StartThatTimesOutFailsAndKeepsTheLibraryRegistered) {
  Gate gate;
  CDownloadLibThread::Options options;
  options.startTimeoutMs = 50;
  options.beforeStart = [&gate] { gate.Wait(); };
  EXPECT_EQ(DL_ERR_FAILED, LibraryInitialize(nullptr, nullptr, nullptr, true, std::move(options)));
  ASSERT_FALSE(LogMessages().empty());
  EXPECT_EQ("[TessenLib] Initialize Failed : 517", LogMessages().back());
  EXPECT_EQ(DL_ERR_ALREADY_INITIALIZED, DownloadLibInitialize(nullptr, nullptr, nullptr));
  JobHandle job = 0;
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibCreateJob(&job, nullptr, nullptr));

  // The manager appears late and then serves calls.
  gate.Open();
  EXPECT_TRUE(testsupport::WaitUntil([] { return LibraryThread()->Manager() != nullptr; }));
  EXPECT_EQ(DL_OK, DownloadLibCreateJob(&job, nullptr, nullptr));
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  EXPECT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
}

TEST_F(LibraryInterfaceTest, WorkerThatDoesNotEndInTimeIsLeftAloneNotFreed) {
  Gate gate;
  CDownloadLibThread::Options options;
  options.startTimeoutMs = 20;
  options.stopTimeoutMs = 20;
  options.beforeStart = [&gate] { gate.Wait(); };
  ASSERT_EQ(DL_ERR_FAILED, LibraryInitialize(nullptr, nullptr, nullptr, true, std::move(options)));
  CDownloadLibThread* stuck = LibraryThread();
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  std::vector<std::string> messages = LogMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ("[TessenLib] Force TerminateThread", messages[messages.size() - 2]);
  EXPECT_EQ("[TessenLib] Finalize End", messages.back());
  EXPECT_EQ(nullptr, LibraryThread());

  // The worker, given up, ends by itself once it runs, without creating anything.
  gate.Open();
  ASSERT_TRUE(WaitUntilFinished(stuck));
  EXPECT_EQ(nullptr, stuck->Manager());
  delete stuck;
}

TEST_F(LibraryInterfaceTest, AWorkerGivenUpAtStopCreatesNothingAndLeavesTheNextLibraryItsServices) {
  Gate gate;
  CDownloadLibThread::Options options;
  options.startTimeoutMs = 20;
  options.stopTimeoutMs = 20;
  options.beforeStart = [&gate] { gate.Wait(); };
  ASSERT_EQ(DL_ERR_FAILED, LibraryInitialize(nullptr, nullptr, nullptr, true, std::move(options)));
  CDownloadLibThread* givenUp = LibraryThread();
  ASSERT_EQ(DL_OK, DownloadLibFinalize());

  // The next library starts while the old worker still waits to begin.
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  RuntimeServices services;
  ASSERT_NE(nullptr, services.timers);
  ASSERT_NE(nullptr, services.qos);
  gate.Open();
  ASSERT_TRUE(WaitUntilFinished(givenUp));
  // A manager left behind would own a runtime root that replaced the services below.
  ASSERT_EQ(nullptr, givenUp->Manager());
  delete givenUp;
  EXPECT_TRUE(RuntimeServices{} == services);

  // And the running library still works on them.
  testsupport::HttpFileServer server;
  server.AddResource("/list.txt", "http://h/a\r\n");
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/list.txt").c_str()));
  EXPECT_TRUE(recorder.WaitFor(DL_EV_DATA_DONE, 1, 15000));
}

TEST_F(LibraryInterfaceTest, AThreadTheSystemRefusesFailsTheStartInsteadOfThrowing) {
  CDownloadLibThread::Options options;
  options.startWorker = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  EXPECT_EQ(DL_ERR_FAILED, LibraryInitialize(nullptr, nullptr, nullptr, true, std::move(options)));
  EXPECT_EQ("[TessenLib] Initialize Failed : 517", LogMessages().back());
  EXPECT_EQ(DL_ERR_ALREADY_INITIALIZED, DownloadLibInitialize(nullptr, nullptr, nullptr));
  // Nothing runs, so nothing needs waiting for: the object goes at once.
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  std::vector<std::string> messages = LogMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ("[TessenLib] Destroy JobManager", messages[messages.size() - 2]);
  EXPECT_EQ(nullptr, LibraryThread());
  EXPECT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
}

TEST_F(LibraryInterfaceTest, AnEncodedUrlReachesTheServerWithItsEscapesOnce) {
  testsupport::HttpFileServer server;
  server.AddResource("/my%20files/a%2Db.txt", "http://h/a\r\n");
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/my%20files/a%2Db.txt?v=1%2B1&w=50%").c_str()));
  ASSERT_TRUE(recorder.WaitFor(DL_EV_DATA_DONE, 1, 15000));
  ASSERT_EQ(1, server.RequestCount());
  EXPECT_EQ("/my%20files/a%2Db.txt?v=1%2B1&w=50%25", server.Requests()[0].target);
}

TEST_F(LibraryInterfaceTest, EventsArriveThroughWindowAndCallbackAndFolderEventOnTheCallersThread) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(recorder.Window(), &EventRecorder::Callback, recorder.UserData()));
  JobHandle job = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, nullptr, nullptr));
  EXPECT_EQ(DL_ERR_FOLDER, DownloadLibAddFile(job, "http://h/a", "", nullptr, -1, 1));
  // The callback ran inside the call, on this thread.
  ASSERT_EQ(1, recorder.Count(DL_EV_FOLDER_FAILED, false));
  EXPECT_EQ(std::this_thread::get_id(), recorder.Events()[0].thread);
  EXPECT_TRUE(recorder.WaitFor(DL_EV_FOLDER_FAILED, 1, 1000, true));
  EXPECT_EQ("[TessenLib] download path access failed", LogMessages().back());
}

TEST_F(LibraryInterfaceTest, JobOperationsThroughTheLibraryThread) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  JobHandle job = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, "ORB", "service"));
  std::string target = folder / "games/orba";
  EXPECT_EQ(DL_OK, DownloadLibAddFile(job, "http://h/a.bin", target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFileEx(job, "http://h/A.BIN", target.c_str(), nullptr, 10, 1, 0));
  EXPECT_EQ(DL_ERR_BAD_SIZE, DownloadLibAddFile(job, "http://h/b.bin", target.c_str(), nullptr, 0, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(0, "http://h/b.bin", target.c_str(), nullptr, 0, 1));
  // The direct downloader takes the job (its host does not exist, which only matters later).
  EXPECT_EQ(DL_OK, DownloadLibStartJob(job, true));
  EXPECT_EQ(DL_ERR_ALREADY_QUEUED, DownloadLibStartJob(job, true));
  EXPECT_EQ(DL_OK, DownloadLibAnswerResume(job, true, false));
  EXPECT_EQ(DL_OK, DownloadLibStopJob(job));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStopJob(job));
  EXPECT_EQ(DL_ERR_NOT_QUEUED, DownloadLibAnswerResume(job, true, false));
  EXPECT_EQ(DL_OK, DownloadLibSetEngineReport(job));
  EXPECT_EQ(DL_OK, DownloadLibSetServiceCode("x"));
  EXPECT_EQ(DL_OK, DownloadLibDeleteJob(job));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDeleteJob(job));
}

TEST_F(LibraryInterfaceTest, CallsFromManyHostThreadsWhileTheLibraryThreadRuns) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string target = folder / ("t" + std::to_string(t));
      for (int i = 0; i < 50; ++i) {
        JobHandle job = 0;
        if (DownloadLibCreateJob(&job, nullptr, nullptr) != DL_OK) ++failures;
        std::string url = "http://h/f" + std::to_string(i);
        if (DownloadLibAddFile(job, url.c_str(), target.c_str(), nullptr, -1, 1) != DL_OK) ++failures;
        JobStatus status{};
        if (DownloadLibGetJobStatus(job, &status) != DL_OK) ++failures;
        if (DownloadLibDeleteJob(job) != DL_OK) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
}

}  // namespace
