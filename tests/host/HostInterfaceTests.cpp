// A host program that knows only the public header and libdownloadlib.so.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DownloadLib.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/ScriptedServer.h"

namespace {

namespace fs = std::filesystem;

using hosttest::LogText;

struct Event {
  int32_t code;
  intptr_t lParam;
  std::thread::id thread;
};

std::mutex g_mutex;
std::vector<Event> g_events;

void Record(int32_t code, intptr_t lParam, void* /*userData*/) {
  std::lock_guard lock(g_mutex);
  g_events.push_back(Event{code, lParam, std::this_thread::get_id()});
}

std::vector<Event> Events() {
  std::lock_guard lock(g_mutex);
  return g_events;
}

// The library builds its log path once per process, so the whole program shares one data folder;
// every library start empties the log, so each test reads only its own lines.
class UserFolders : public ::testing::Environment {
 public:
  void SetUp() override {
    std::random_device random;
    root = fs::temp_directory_path() / ("orba-host-" + std::to_string(random()));
    fs::create_directories(root);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    // Downloads must not depend on the interfaces of the machine the tests run on.
    setenv("ORBA_NETWORK_STATE", "online", 1);
    // No engine and no self-update: these hosts never reach an update server or an engine.
    setenv("ORBA_UPDATE_MANIFEST_URL", "", 1);
    setenv("ORBA_ENGINE_ENABLED", "0", 1);
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(root, error);
  }
  fs::path root;
};

UserFolders* const g_folders =
    static_cast<UserFolders*>(::testing::AddGlobalTestEnvironment(new UserFolders));

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = g_folders->root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(root_);
    std::lock_guard lock(g_mutex);
    g_events.clear();
  }
  void TearDown() override { DownloadLibFinalize(); }

  std::string Folder(const std::string& name) const { return (root_ / name).string(); }

  fs::path root_;
};

TEST_F(HostTest, EveryFunctionAnswersNotInitialised) {
  JobHandle job = 0;
  int64_t value = 0;
  int32_t length = 0;
  JobSizeInfo size{};
  JobStatus status{};
  FileDoneInfo done{};
  JobResult result{};
  JobNotice notice{};
  DataBuffer buffer{nullptr, 0};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibCreateJob(&job, nullptr, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDeleteJob(1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(1, "http://h/a", "/tmp", nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFileEx(1, "http://h/a", "/tmp", nullptr, 0, 1, 0));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStartJob(1, true));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStopJob(1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAnswerResume(1, true, true));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibSetEngineReport(1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibSetServiceCode("x"));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetRemainingSize(1, &value));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddSizeCheck("http://h/a"));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStartSizeCheck());
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetSizeCheckTotal(&value));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDownloadData("http://h/a"));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetDataSize(&value));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&buffer));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetJobSizeInfo(1, &size));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetJobStatus(1, &status));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetFileDone(1, &done));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetJobResult(1, &result));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetNoticeLength(1, &length));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetNotice(1, &notice));
  EXPECT_EQ(nullptr, DownloadLibGetUserData());
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  EXPECT_EQ(0, job);
}

TEST_F(HostTest, InitialisationFinalisationAndTheLog) {
  int data = 0;
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Record, &data));
  EXPECT_EQ(DL_ERR_ALREADY_INITIALIZED, DownloadLibInitialize(nullptr, &Record, nullptr));
  EXPECT_EQ(&data, DownloadLibGetUserData());
  EXPECT_EQ(DL_OK, DownloadLibFinalize());
  EXPECT_EQ(nullptr, DownloadLibGetUserData());

  std::string log = LogText();
  const char* expected[] = {"Launch(3.5.0.2)",      "Initialize",         "Finalize Begin",
                            "Exit GetMessage Loop", "Destroy JobManager", "CPlatFormDownloader Destroy",
                            "Finalize End"};
  std::istringstream lines(log);
  std::string line;
  size_t index = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(index, std::size(expected)) << line;
    // "[Wed Jun 30 21:49:08 1993] [TessenLib] message\r"
    ASSERT_EQ(27u + 12u + std::string(expected[index]).size() + 1u, line.size()) << line;
    EXPECT_EQ('[', line[0]);
    EXPECT_EQ("] [TessenLib] " + std::string(expected[index]) + "\r", line.substr(25));
    ++index;
  }
  EXPECT_EQ(std::size(expected), index);
  EXPECT_EQ(DL_OK, DownloadLibInitializeEx(nullptr, nullptr, nullptr, false));
}

TEST_F(HostTest, JobsFilesAndReads) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Record, nullptr));
  JobHandle job = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, "ORB", "code"));
  ASSERT_NE(0u, job);
  JobHandle same = job;
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibCreateJob(&same, nullptr, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibCreateJob(nullptr, nullptr, nullptr));

  std::string target = Folder("games/orba");
  EXPECT_EQ(DL_ERR_BAD_SIZE, DownloadLibAddFile(job + 64, "http://h/a", target.c_str(), nullptr, 0, 1));
  EXPECT_EQ(DL_ERR_BAD_SIZE, DownloadLibAddFile(job, "http://h/a", target.c_str(), nullptr, -2, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(job + 64, "http://h/a", target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(0, "http://h/a", target.c_str(), nullptr, 0, 1));
  EXPECT_EQ(DL_ERR_NO_URL, DownloadLibAddFile(job, "", target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_NO_URL, DownloadLibAddFile(job, nullptr, target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_OK, DownloadLibAddFile(job, " http://h/dir/a.bin ", target.c_str(), nullptr, -1, 1));
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(DL_OK, DownloadLibAddFileEx(job, "http://h/b.bin?x=1", (target + "/").c_str(), nullptr, 1, 1, 0));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(job, "http://other/A.BIN", target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(job, "http://h/x", target.c_str(), "b.bin", -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(job, "http://h/..", target.c_str(), nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAddFile(job, "http://h/x", target.c_str(), "../escape", -1, 1));
  EXPECT_FALSE(fs::exists(Folder("games/escape")));

  EXPECT_EQ(DL_ERR_NOT_QUEUED, DownloadLibAnswerResume(job, true, false));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibAnswerResume(job + 64, true, false));
  EXPECT_EQ(DL_OK, DownloadLibSetEngineReport(job));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibSetEngineReport(job + 64));
  EXPECT_EQ(DL_OK, DownloadLibSetServiceCode(nullptr));

  int64_t remaining = -1;
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetRemainingSize(job, &remaining));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStartSizeCheck());
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetSizeCheckTotal(&remaining));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetDataSize(&remaining));
  char bytes[4];
  DataBuffer buffer{bytes, 4};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&buffer));
  EXPECT_EQ(-1, remaining);

  JobSizeInfo size{-1, -1};
  EXPECT_EQ(DL_OK, DownloadLibGetJobSizeInfo(job, &size));
  EXPECT_EQ(-1, size.fileCount);
  JobStatus status;
  std::memset(&status, 0x5A, sizeof status);
  EXPECT_EQ(DL_OK, DownloadLibGetJobStatus(job, &status));
  EXPECT_EQ(0, status.totalBytes);
  EXPECT_EQ('\0', status.currentFileName[0]);
  FileDoneInfo done{};
  done.sequence = 77;
  EXPECT_EQ(DL_OK, DownloadLibGetFileDone(job, &done));
  EXPECT_EQ(77, done.sequence);
  JobResult result{-1, -1, -1};
  EXPECT_EQ(DL_OK, DownloadLibGetJobResult(job, &result));
  EXPECT_EQ(-1, result.fileCount);
  int32_t length = -1;
  EXPECT_EQ(DL_OK, DownloadLibGetNoticeLength(job, &length));
  EXPECT_EQ(0, length);
  JobNotice notice{0, nullptr};
  EXPECT_EQ(DL_OK, DownloadLibGetNotice(job, &notice));
  EXPECT_EQ(DL_OK, notice.code);
  for (auto read : {DownloadLibGetJobStatus}) EXPECT_EQ(DL_ERR_FAILED, read(0, &status));

  EXPECT_TRUE(Events().empty());
  // A started job is held until stopped; stopping twice finds nobody holding it. Its file is on a
  // server that never answers, so no failed size check lets go of the job meanwhile.
  testsupport::ScriptedServer silent(testsupport::Script().Stall());
  JobHandle held = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&held, "ORB", "code"));
  ASSERT_EQ(DL_OK, DownloadLibAddFile(held, silent.Url("/slow.bin").c_str(), Folder("held").c_str(), nullptr,
                                      -1, 1));
  EXPECT_EQ(DL_OK, DownloadLibStartJob(held, true));
  EXPECT_EQ(DL_ERR_ALREADY_QUEUED, DownloadLibStartJob(held, true));
  EXPECT_EQ(DL_OK, DownloadLibAnswerResume(held, true, false));
  EXPECT_EQ(DL_OK, DownloadLibStopJob(held));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStopJob(held));
  EXPECT_EQ(DL_OK, DownloadLibDeleteJob(held));

  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDeleteJob(0));
  EXPECT_EQ(DL_OK, DownloadLibDeleteJob(job));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDeleteJob(job));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetJobStatus(job, &status));
}

TEST_F(HostTest, StartWithoutFilesFails) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  JobHandle job = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, nullptr, nullptr));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStartJob(job, true));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibStartJob(0, true));
}

TEST_F(HostTest, FolderFailureRaises528OnTheCallersThreadBeforeAddFileReturns) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Record, nullptr));
  JobHandle job = 0;
  ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, nullptr, nullptr));
  std::ofstream(Folder("plainfile")) << "x";
  std::string underFile = Folder("plainfile/inside");
  EXPECT_EQ(DL_ERR_FOLDER, DownloadLibAddFile(job, "http://h/a", underFile.c_str(), nullptr, -1, 1));
  ASSERT_EQ(1u, Events().size());
  EXPECT_EQ(DL_EV_FOLDER_FAILED, Events()[0].code);
  EXPECT_EQ(std::this_thread::get_id(), Events()[0].thread);
  EXPECT_NE(0, Events()[0].lParam);

  EXPECT_EQ(DL_ERR_FOLDER, DownloadLibAddFile(job, "http://h/a", "", nullptr, -1, 1));
  EXPECT_EQ(DL_ERR_FOLDER, DownloadLibAddFile(job, "http://h/a", nullptr, nullptr, -1, 1));
  EXPECT_EQ(3u, Events().size());
  // Without a window the failure is not logged.
  EXPECT_EQ(std::string::npos, LogText().find("path access failed"));
}

size_t CountEntries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = opendir(folder)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

TEST_F(HostTest, FiftyCyclesLeakNeitherThreadsNorDescriptors) {
  // One cycle first, so that lazily created process state is in place before counting.
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  ASSERT_EQ(DL_OK, DownloadLibFinalize());
  size_t threads = CountEntries("/proc/self/task");
  size_t descriptors = CountEntries("/proc/self/fd");
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Record, nullptr)) << i;
    JobHandle job = 0;
    ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job, nullptr, nullptr));
    ASSERT_EQ(DL_OK, DownloadLibFinalize());
  }
  EXPECT_EQ(threads, CountEntries("/proc/self/task"));
  EXPECT_EQ(descriptors, CountEntries("/proc/self/fd"));
}

}  // namespace
