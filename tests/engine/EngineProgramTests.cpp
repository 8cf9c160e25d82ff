// The engine program as the library meets it: started by hand, on its port, with its command line;
// a job over the port with every message of the contract; killed in the middle and started again.

#include <gtest/gtest.h>

#include "engine/EngineVersion.h"
#include "platform/FileSystem.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/EngineProcess.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using enginetest::File;
using enginetest::FollowJob;
using enginetest::JobOutcome;
using testsupport::EngineClient;
using testsupport::EngineProcess;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::PatternedBytes;
using testsupport::ReadFileText;
using testsupport::TempFolder;

const EngineProcess::Environment kOnline = {{"ORBA_NETWORK_STATE", "online"}};

class EngineProgramTest : public ::testing::Test {
 protected:
  void StartEngine(const EngineProcess::Environment& environment = kOnline) {
    ASSERT_TRUE(
        engine_.Start(ORBA_ENGINE_PROGRAM, {"--log-dir", logs_.Path(), "--idle-exit", "30"}, environment));
    ASSERT_TRUE(client_.Connect(engine_.Port()));
    ASSERT_TRUE(client_.Send(engineproto::ServiceCode{"ORBA"}));
  }

  TempFolder logs_;
  TempFolder folder_;
  HttpFileServer server_;
  EngineProcess engine_;
  EngineClient client_;
};

TEST_F(EngineProgramTest, ServesAJobWithEveryMessageOfTheContract) {
  // Paced over few connections, so that the job lasts long enough for progress messages.
  std::string a = PatternedBytes(2 * 1024 * 1024, 1);
  std::string b = PatternedBytes(200000, 2);
  HttpResourceOptions paced;
  paced.bytesPerSecond = 256 * 1024;
  server_.AddResource("/a.pak", a, paced);
  server_.AddResource("/b.pak", b);
  StartEngine(EngineProcess::Environment{{"ORBA_NETWORK_STATE", "online"},
                                         {"ORBA_ENGINE_CONNECTIONS_PER_SERVER", "3"}});
  ASSERT_TRUE(client_.Send(engineproto::EngineTag{"ORB"}));
  ASSERT_TRUE(client_.Send(engineproto::JobReport{5}));
  ASSERT_TRUE(client_.StartJob(5, 2,
                               {File(folder_.Path(), "a.pak", server_.Url("/a.pak"), -1),
                                File(folder_.Path(), "b.pak", server_.Url("/b.pak"), 200000)}));
  JobOutcome outcome = FollowJob(client_);

  ASSERT_TRUE(outcome.Succeeded());
  std::vector<uint16_t> types = outcome.Types();
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.front(), engineproto::EngineMode::kType);
  EXPECT_EQ(types.back(), engineproto::JobFinished::kType);
  auto acceptedAt = std::find(types.begin(), types.end(), engineproto::JobAccepted::kType);
  auto firstProgress = std::find(types.begin(), types.end(), engineproto::JobProgress::kType);
  ASSERT_NE(acceptedAt, types.end());
  ASSERT_NE(firstProgress, types.end());
  EXPECT_LT(acceptedAt, firstProgress);
  EXPECT_EQ(outcome.accepted->totalBytes, static_cast<int64_t>(a.size() + b.size()));
  EXPECT_GE(outcome.progressCount, 2);
  ASSERT_EQ(outcome.filesDone.size(), 2u);
  EXPECT_EQ(outcome.finished->filesDone, 2);
  EXPECT_EQ(ReadFileText(folder_ / "a.pak"), a);
  EXPECT_EQ(ReadFileText(folder_ / "b.pak"), b);

  // The progress of the last second before the end counts the bytes and names the file in progress.
  engineproto::JobProgress last;
  for (const auto& message : outcome.messages) {
    if (message.type == engineproto::JobProgress::kType) {
      ASSERT_TRUE(engineproto::DecodePayload(message.payload, &last));
    }
  }
  EXPECT_EQ(last.fileCount, 2);
  EXPECT_EQ(last.totalBytes, static_cast<int64_t>(a.size() + b.size()));
  EXPECT_GT(last.doneBytes, 0);
  ASSERT_EQ(last.entries.size(), 1u);
  EXPECT_NE(platform::FileSize(logs_ / "engine.log").value_or(0), 0);
}

// Killed in the middle and started again: the library sends the job anew, the engine asks, and the
// answer decides whether the kept ranges count (checked with If-Range) or the file starts again.
struct ResumeCase {
  const char* name;
  bool resume;
  bool changedOnServer;
};

class EngineResumeTest : public EngineProgramTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(EngineResumeTest, AKilledEngineStartedAgainFinishesTheFileExactly) {
  const ResumeCase& resumeCase = GetParam();
  std::string body = PatternedBytes(6 * 1024 * 1024 + 5, 3);
  HttpResourceOptions paced;
  paced.bytesPerSecond = 256 * 1024;  // per connection: about 4 MB/s over all of them
  paced.headers = {{"ETag", "\"e1\""}};
  server_.AddResource("/f", body, paced);
  StartEngine();
  std::vector<engineproto::FileRecord> files = {File(folder_.Path(), "f", server_.Url("/f"), -1)};
  ASSERT_TRUE(client_.StartJob(1, 2, files));
  ASSERT_TRUE(
      client_.WaitFor<engineproto::JobProgress>(10000, [](const auto& p) { return p.doneBytes > 1000000; }));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return platform::FileExists(folder_ / "f.part.ctrl"); }));
  engine_.Kill();
  EXPECT_FALSE(platform::PathExists(folder_ / "f"));

  std::string expected = body;
  if (resumeCase.changedOnServer) {
    expected = PatternedBytes(body.size(), 4);
    HttpResourceOptions changed = paced;
    changed.headers = {{"ETag", "\"e2\""}};
    server_.AddResource("/f", expected, changed);
  }
  HttpResourceOptions fast;
  fast.headers = resumeCase.changedOnServer
                     ? std::vector<std::pair<std::string, std::string>>{{"ETag", "\"e2\""}}
                     : paced.headers;
  server_.AddResource("/f", expected, fast);
  server_.ClearRequests();
  client_.Close();
  StartEngine();
  ASSERT_TRUE(client_.StartJob(1, 2, files));
  enginetest::JobRun run;
  run.resume = resumeCase.resume;
  JobOutcome outcome = FollowJob(client_, run);
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(outcome.resumeQueries, 1);
  EXPECT_EQ(ReadFileText(folder_ / "f"), expected);
  EXPECT_FALSE(platform::PathExists(folder_ / "f.part.ctrl"));

  bool fromZero = false;
  for (const auto& request : server_.Requests()) {
    std::string range = request.Header("Range");
    if (range.rfind("bytes=0-", 0) == 0) fromZero = true;
    if (resumeCase.resume && !resumeCase.changedOnServer && !range.empty()) {
      EXPECT_EQ(request.Header("If-Range"), "\"e1\"");
    }
  }
  // A resumed file does not fetch its first bytes again, unless it changed in between.
  EXPECT_EQ(fromZero, !resumeCase.resume || resumeCase.changedOnServer);
  if (resumeCase.changedOnServer) {
    EXPECT_EQ(server_.Requests().front().Header("If-Range"), "\"e1\"");
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, EngineResumeTest,
                         ::testing::Values(ResumeCase{"Resume", true, false},
                                           ResumeCase{"Restart", false, false},
                                           ResumeCase{"ResumeAChangedFile", true, true}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EngineCommandLineTest, VersionHelpAndWrongOptions) {
  std::string out;
  EXPECT_EQ(EngineProcess::RunToExit(ORBA_ENGINE_PROGRAM, {"--version"}, {}, 10000, &out), 0);
  EXPECT_EQ(out, std::string(engine::EngineVersion()) + "\n");
  EXPECT_EQ(EngineProcess::RunToExit(ORBA_ENGINE_PROGRAM, {"--help"}, {}, 10000, &out), 0);
  for (const char* option : {"--port", "--idle-exit", "--log-dir", "--version", "--help"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(EngineProcess::RunToExit(ORBA_ENGINE_PROGRAM, {"--frobnicate"}, {}, 10000), 2);
  EXPECT_EQ(EngineProcess::RunToExit(ORBA_ENGINE_PROGRAM, {"--port", "70000"}, {}, 10000), 2);
}

TEST(EngineLifetimeTest, ASecondEngineOnTheSamePortExitsAndAnIdleOneExitsByItself) {
  TempFolder logs;
  EngineProcess first;
  ASSERT_TRUE(first.Start(ORBA_ENGINE_PROGRAM, {"--log-dir", logs.Path(), "--idle-exit", "1"}, kOnline));
  std::string port = std::to_string(first.Port());
  EXPECT_EQ(EngineProcess::RunToExit(ORBA_ENGINE_PROGRAM, {"--port", port, "--log-dir", logs.Path()}, kOnline,
                                     10000),
            0);
  EXPECT_EQ(first.WaitExit(15000), 0);
}

}  // namespace
