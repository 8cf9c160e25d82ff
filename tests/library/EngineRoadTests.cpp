// A job on the library's whole engine road, with real servers on loopback: the engine the library
// installed and started carries it; an engine killed mid-job is started again and the job resumes
// through it; an engine whose connections keep closing, or an update that cannot be had, leaves
// the job to direct download. Every file is checked byte for byte and reported once.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "library/DownloadLib.h"
#include "tests/library/EngineTestSupport.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using enginetest::InstalledEngine;
using enginetest::KillInstalledEngines;
using enginetest::LogHas;
using enginetest::UnusedPort;
using testsupport::ScopedEnvironment;

const std::string kDeployment = ORBA_UPDATE_DEPLOYMENT_DIR;

// What the host sees of one job: the file-done records and the events, answering the resume
// question with "resume, for every file" as the headless front end does.
class JobWatch {
 public:
  static void OnEvent(int32_t code, intptr_t lParam, void* userData) {
    auto* self = static_cast<JobWatch*>(userData);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->codes_.push_back(code);
    const auto job = static_cast<JobHandle>(lParam);
    if (code == DL_EV_FILE_DONE) {
      FileDoneInfo info{};
      DownloadLibGetFileDone(job, &info);
      info.text[sizeof info.text - 1] = '\0';
      self->done_.emplace_back(info.text);
    } else if (code == DL_EV_RESUME_QUERY) {
      DownloadLibAnswerResume(job, true, true);
    }
  }
  int Count(int32_t code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (int32_t seen : codes_) count += seen == code ? 1 : 0;
    return count;
  }
  std::vector<std::string> Done() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int32_t> codes_;
  std::vector<std::string> done_;
};

class EngineRoadTest : public ::testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override {
    DownloadLibFinalize();
    Forget();
  }
  static void Forget() {
    KillInstalledEngines();
    std::filesystem::remove(InstalledEngine());
  }

  // Serves `sizes.size()` files below /files/ (paced at `rate` bytes per second per response).
  void Serve(const std::vector<size_t>& sizes, int64_t rate = 0) {
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      contents_.push_back(testsupport::PatternedBytes(sizes[i], static_cast<uint32_t>(i) + 1));
      names_.push_back(name);
      testsupport::HttpResourceOptions options;
      options.bytesPerSecond = rate;
      files_.AddResource("/files/" + name, contents_.back(), options);
    }
  }
  // Starts the library and one job over the served files, with the player's consent.
  void Start() {
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &JobWatch::OnEvent, &watch_));
    ASSERT_EQ(DL_OK, DownloadLibCreateJob(&job_, nullptr, "svc"));
    for (const std::string& name : names_) {
      ASSERT_EQ(DL_OK, DownloadLibAddFile(job_, files_.Url("/files/" + name).c_str(), Dest().c_str(), nullptr,
                                          -1, 1));
    }
    ASSERT_EQ(DL_OK, DownloadLibStartJob(job_, true));
  }
  bool WaitForEnd(int timeoutMs = 60000) const {
    return testsupport::WaitUntil([this] { return watch_.Count(DL_EV_JOB_DONE) == 1; }, timeoutMs);
  }
  std::string Dest() const { return dest_.Path() + "/"; }
  // Every file as served, each reported done exactly once.
  void ExpectExactFilesReportedOnce() const {
    for (size_t i = 0; i < names_.size(); ++i) {
      EXPECT_TRUE(testsupport::ReadFileText(Dest() + names_[i]) == contents_[i]) << names_[i];
    }
    const std::vector<std::string> done = watch_.Done();
    EXPECT_EQ(names_.size(), done.size());
    EXPECT_EQ(done.size(), std::set<std::string>(done.begin(), done.end()).size()) << "a file reported twice";
  }
  static bool DirectDownloadRan() { return LogHas("[TessenLib] CPlatFormDownloader Begin"); }

  ScopedEnvironment online_{"ORBA_NETWORK_STATE", "online"};
  ScopedEnvironment engine_{"ORBA_ENGINE_ENABLED", "1"};
  ScopedEnvironment port_{"ORBA_ENGINE_PORT", std::to_string(UnusedPort())};
  ScopedEnvironment relayHost_{"ORBA_RELAY_HOST", "127.0.0.1"};
  ScopedEnvironment relayPort_{"ORBA_RELAY_PORT", std::to_string(UnusedPort())};
  testsupport::HttpFileServer files_;
  testsupport::TempFolder dest_;
  std::vector<std::string> names_;
  std::vector<std::string> contents_;
  JobWatch watch_;
  JobHandle job_ = 0;
};

TEST_F(EngineRoadTest, TheInstalledEngineCarriesTheJob) {
  testsupport::HttpFileServer update;
  update.ServeDirectory(kDeployment);
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", update.Url(enginetest::kManifestPath));
  Serve({300000, 1, 2500000});
  Start();
  ASSERT_TRUE(WaitForEnd());
  ExpectExactFilesReportedOnce();
  EXPECT_TRUE(LogHas("[TessenLib] Patch Success"));
  EXPECT_EQ(1, watch_.Count(DL_EV_ENGINE_READY));
  EXPECT_GE(watch_.Count(DL_EV_ENGINE_MODE), 1);
  EXPECT_FALSE(DirectDownloadRan());
}

TEST_F(EngineRoadTest, AKilledEngineIsStartedAgainAndTheJobResumesThroughIt) {
  testsupport::HttpFileServer update;
  update.ServeDirectory(kDeployment);
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", update.Url(enginetest::kManifestPath));
  Serve({200000, 1500000, 1500000}, 96 * 1024);
  Start();
  ASSERT_TRUE(testsupport::WaitUntil([this] { return watch_.Count(DL_EV_FILE_DONE) >= 1; }, 30000));
  KillInstalledEngines();
  ASSERT_TRUE(WaitForEnd(90000));
  ExpectExactFilesReportedOnce();
  EXPECT_TRUE(LogHas("[TessenLib] localClosed()"));
  EXPECT_FALSE(DirectDownloadRan()) << "the relaunched engine finished the job";
}

TEST_F(EngineRoadTest, SixShortLivedConnectionsGiveTheEngineUpAndTheJobGoesDirect) {
  testsupport::FakeEngine engine;
  ScopedEnvironment port("ORBA_ENGINE_PORT", std::to_string(engine.Port()));
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", "");
  Serve({100000, 5000});
  Start();
  for (int connection = 1; connection <= 6; ++connection) {
    ASSERT_TRUE(engine.WaitForConnection(connection)) << connection;
    engine.CloseConnection();
  }
  ASSERT_TRUE(WaitForEnd());
  ExpectExactFilesReportedOnce();
  EXPECT_TRUE(LogHas("[TessenLib] CEngineDownloader MaxTry Over"));
  EXPECT_EQ(6, engine.Connections()) << "no seventh launch";
  EXPECT_TRUE(DirectDownloadRan());
}

TEST_F(EngineRoadTest, AnUpdateThatCannotBeHadLeavesTheJobToDirectDownload) {
  testsupport::HttpFileServer update;  // serves nothing: every address answers 404
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", update.Url(enginetest::kManifestPath));
  Serve({150000});
  Start();
  ASSERT_TRUE(WaitForEnd());
  ExpectExactFilesReportedOnce();
  EXPECT_EQ(1, watch_.Count(DL_EV_ENGINE_UPDATE_FAILED));
  EXPECT_TRUE(LogHas("[TessenLib] Patch Fail"));
  EXPECT_TRUE(DirectDownloadRan());
  EXPECT_FALSE(std::filesystem::exists(InstalledEngine()));
}

TEST_F(EngineRoadTest, AnEngineFolderThatCannotBeUsedIsReportedAndTheJobGoesDirect) {
  testsupport::HttpFileServer update;
  update.ServeDirectory(kDeployment);
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", update.Url(enginetest::kManifestPath));
  // The engine's folder is a file: nothing can be unpacked into it.
  testsupport::TempFolder data;
  std::filesystem::create_directories(data / "Norvik");
  testsupport::WriteFileText(data / "Norvik/qtxDownloadV32", "not a folder");
  ScopedEnvironment home("XDG_DATA_HOME", data.Path());
  Serve({120000});
  Start();
  ASSERT_TRUE(WaitForEnd());
  ExpectExactFilesReportedOnce();
  EXPECT_EQ(1, watch_.Count(DL_EV_ENGINE_PATH_FAILED));
  EXPECT_EQ(0, watch_.Count(DL_EV_ENGINE_READY));
}

}  // namespace
