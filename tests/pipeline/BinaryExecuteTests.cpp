#include "pipeline/CBinaryExecute_V3.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/CGetPath_V32.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ScopedEnvironment;

class BinaryExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLogPathForTesting();
    ResetLog();  // also creates the program folder the executable goes into
    PathResolver().GetExecutablePath(executable_);
  }
  void TearDown() override {
    // Lets a waiting script end, so no test leaves a program running.
    testsupport::WriteFileText(data_ / "stop", "");
    SetLaunchElevation(false);
    ResetLogPathForTesting();
  }

  // The log's messages without their time stamps.
  std::vector<std::string> LogMessages() const {
    std::string text = testsupport::ReadFileText(LogPath());
    std::vector<std::string> messages;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      // "[" + 24 characters of time + "] "
      EXPECT_TRUE(line.size() >= 27 && line[0] == '[' && line.compare(25, 2, "] ") == 0) << line;
      messages.push_back(line.size() >= 27 ? line.substr(27) : line);
      start = end + 2;
    }
    return messages;
  }

  // The script lets go of the test's output, which a test runner may wait on until it is closed.
  void PlaceScript(const std::string& body) {
    testsupport::WriteFileText(executable_, "#!/bin/sh\nexec </dev/null >/dev/null 2>&1\n" + body);
    std::filesystem::permissions(executable_, std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec);
  }
  // A script that announces its start, then runs until the test ends (its folder goes) or 30 s pass.
  void PlaceWaitingScript() {
    PlaceScript("touch '" + (data_ / "started") + "'\ni=0\nwhile [ -d '" + data_.Path() + "' ] && [ ! -f '" +
                (data_ / "stop") + "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n");
  }
  bool WaitForFile(const std::string& path) const {
    for (int i = 0; i < 500 && !platform::FileExists(path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return platform::FileExists(path);
  }

  testsupport::TempFolder data_;
  ScopedEnvironment dataHome_{"XDG_DATA_HOME", data_.Path()};
  std::string executable_;
};

// A wait that would run to the limit of kNoLimitMs hangs the test (until its time-out) instead of
// passing: a test that expects an earlier end needs no clock.
constexpr int64_t kNoLimitMs = 3'600'000;

ReadinessWait NeverReady(int64_t limitMilliseconds) {
  ReadinessWait wait;
  wait.limitMilliseconds = limitMilliseconds;
  wait.probe = [] { return false; };
  return wait;
}

TEST_F(BinaryExecuteTest, MissingExecutableWritesOneLineAndStartsNothing) {
  int shellStarts = 0;
  ProgramStarter starter;
  starter.shellExecute = [&](const std::string&, const std::string&) {
    ++shellStarts;
    return platform::ProcessStart{};
  };
  CBinaryExecute_V3 executor(NeverReady(100), starter);
  EXPECT_EQ(executor.RunExecutable(), 0);
  EXPECT_EQ(shellStarts, 0);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"[TessenLib] Run Binary (no executable file)"});
}

TEST_F(BinaryExecuteTest, ExecutablePathNeedsAnExistingFile) {
  CBinaryExecute_V3 executor;
  std::string out = "untouched";
  EXPECT_EQ(executor.GetExecutablePath(out), 0);
  EXPECT_EQ(out, "untouched");
  testsupport::WriteFileText(executable_, "engine");
  EXPECT_EQ(executor.GetExecutablePath(out), 1);
  EXPECT_EQ(out, executable_);
}

TEST_F(BinaryExecuteTest, TransformPathCopies) {
  std::string out;
  BinaryExecutor().TransformPath(out, "/some/path");
  EXPECT_EQ(out, "/some/path");
}

TEST_F(BinaryExecuteTest, ExecutorIsOneProcessWideObject) { EXPECT_EQ(&BinaryExecutor(), &BinaryExecutor()); }

TEST_F(BinaryExecuteTest, StartedScriptIsWaitedForUntilItEnds) {
  PlaceScript("touch '" + (data_ / "started") + "'\n");
  CBinaryExecute_V3 executor(NeverReady(kNoLimitMs));
  EXPECT_EQ(executor.RunExecutable(), 1);
  EXPECT_TRUE(WaitForFile(data_ / "started"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"[TessenLib] Execute OK(0)", "[TessenLib] Begin WFII",
                                                     "[TessenLib] End WFII"}));
}

TEST_F(BinaryExecuteTest, WaitEndsWhenTheProgramIsReady) {
  PlaceWaitingScript();
  int probes = 0;
  ReadinessWait wait = NeverReady(kNoLimitMs);
  wait.probe = [&] { return ++probes >= 3; };
  CBinaryExecute_V3 executor(wait);
  EXPECT_EQ(executor.RunExecutable(), 1);
  EXPECT_EQ(probes, 3);
  EXPECT_TRUE(WaitForFile(data_ / "started"));
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"[TessenLib] Execute OK(0)", "[TessenLib] Begin WFII",
                                                     "[TessenLib] End WFII"}));
}

TEST_F(BinaryExecuteTest, WaitIsBoundedWhenTheProgramNeverBecomesReady) {
  PlaceWaitingScript();
  CBinaryExecute_V3 executor(NeverReady(300));
  int64_t before = platform::MonotonicMilliseconds();
  EXPECT_EQ(executor.RunExecutable(), 1);
  EXPECT_GE(platform::MonotonicMilliseconds() - before, 300);  // the limit; not ended sooner
  EXPECT_TRUE(WaitForFile(data_ / "started"));
  EXPECT_EQ(LogMessages().back(), "[TessenLib] End WFII");
}

TEST_F(BinaryExecuteTest, ByDefaultTheProgramIsReadyWhenItsEnginePortAccepts) {
  uint16_t port = 0;
  int listener = testsupport::ListenOnLoopback(8, &port);
  ASSERT_GE(listener, 0);
  ScopedEnvironment enginePort("ORBA_ENGINE_PORT", std::to_string(port));
  PlaceWaitingScript();
  ReadinessWait byPort;  // the default probe: the engine port
  byPort.limitMilliseconds = kNoLimitMs;
  CBinaryExecute_V3 executor(byPort);
  EXPECT_EQ(executor.RunExecutable(), 1);
  EXPECT_TRUE(WaitForFile(data_ / "started"));
  testsupport::CloseGracefully(listener);
}

TEST_F(BinaryExecuteTest, FileThatCannotBeStartedFailsAfterTheShellAttempt) {
  testsupport::WriteFileText(executable_, "not a program");
  testsupport::TempFolder emptyPath;  // no xdg-open, no wine
  ScopedEnvironment path("PATH", emptyPath.Path());
  CBinaryExecute_V3 executor(NeverReady(100));
  EXPECT_EQ(executor.RunExecutable(), 0);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"[TessenLib] Execute Fail(3) " + executable_ + ":" +
                                                    std::to_string(EACCES)});
}

TEST_F(BinaryExecuteTest, ElevationFlagStillUsesTheOpenVerb) {
  testsupport::WriteFileText(executable_, "engine");
  SetLaunchElevation(true);
  EXPECT_TRUE(LaunchElevation());
  std::vector<std::string> verbs;
  ProgramStarter starter;
  starter.shellExecute = [&](const std::string& verb, const std::string&) {
    verbs.push_back(verb);
    return platform::ProcessStart{true, 0, 0};
  };
  CBinaryExecute_V3 executor(NeverReady(100), starter);
  EXPECT_EQ(executor.RunExecutable(), 1);
  EXPECT_EQ(verbs, std::vector<std::string>{"open"});
  EXPECT_EQ(LogMessages().front(), "[TessenLib] Execute OK(0)");
}

// One scripted run of the attempt chain: what each start answers, in order, and what is logged.
struct ChainCase {
  const char* name;
  std::vector<int> shellErrors;    // 0 = started
  std::vector<int> directErrors;   // 0 = started
  std::vector<std::string> lines;  // "%p" stands for the executable's path
  int result;
};

void PrintTo(const ChainCase& c, std::ostream* out) { *out << c.name; }

class AttemptChainTest : public BinaryExecuteTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(AttemptChainTest, LogsEveryAttempt) {
  const ChainCase& chain = GetParam();
  testsupport::WriteFileText(executable_, "engine");
  size_t shellCalls = 0;
  size_t directCalls = 0;
  auto answer = [](int error) {
    platform::ProcessStart start;
    start.started = error == 0;
    start.error = error;
    return start;  // pid 0: the wait sees no running program and ends at once
  };
  ProgramStarter starter;
  starter.shellExecute = [&](const std::string& verb, const std::string& path) {
    EXPECT_EQ(verb, "open");
    EXPECT_EQ(path, executable_);
    EXPECT_LT(shellCalls, chain.shellErrors.size());
    return answer(shellCalls < chain.shellErrors.size() ? chain.shellErrors[shellCalls++] : EINVAL);
  };
  starter.createProcess = [&](const std::string& path) {
    EXPECT_EQ(path, executable_);
    EXPECT_LT(directCalls, chain.directErrors.size());
    return answer(directCalls < chain.directErrors.size() ? chain.directErrors[directCalls++] : EINVAL);
  };
  CBinaryExecute_V3 executor(NeverReady(5'000), starter);
  EXPECT_EQ(executor.RunExecutable(), chain.result);
  EXPECT_EQ(shellCalls, chain.shellErrors.size());
  EXPECT_EQ(directCalls, chain.directErrors.size());
  std::vector<std::string> expected;
  for (std::string line : chain.lines) {
    if (size_t at = line.find("%p"); at != std::string::npos) line.replace(at, 2, executable_);
    expected.push_back(line);
  }
  EXPECT_EQ(LogMessages(), expected);
}

const std::string kRefused = std::to_string(kElevationRefused);

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AttemptChainTest,
    ::testing::Values(
        ChainCase{"ShellStarts",
                  {0},
                  {},
                  {"[TessenLib] Execute OK(0)", "[TessenLib] Begin WFII", "[TessenLib] End WFII"},
                  1},
        ChainCase{"RefusedThenPlainShellStarts",
                  {kElevationRefused, 0},
                  {},
                  {"[TessenLib] Execute Fail(0) %p:" + kRefused, "[TessenLib] Execute OK(1)",
                   "[TessenLib] Begin WFII", "[TessenLib] End WFII"},
                  1},
        ChainCase{"RefusedShellFailsDirectStarts",
                  {kElevationRefused, EACCES},
                  {0},
                  {"[TessenLib] Execute Fail(0) %p:" + kRefused, "[TessenLib] Execute Fail(1) %p:13",
                   "[TessenLib] Execute OK(2)", "[TessenLib] Begin WFII", "[TessenLib] End WFII"},
                  1},
        ChainCase{"RefusedEverythingFails",
                  {kElevationRefused, EACCES},
                  {ENOENT},
                  {"[TessenLib] Execute Fail(0) %p:" + kRefused, "[TessenLib] Execute Fail(1) %p:13",
                   "[TessenLib] Execute Fail(2) %p:2"},
                  0},
        ChainCase{"ShellFailsDirectStarts",
                  {ENOEXEC},
                  {0},
                  {"[TessenLib] Execute OK(3)", "[TessenLib] Begin WFII", "[TessenLib] End WFII"},
                  1},
        ChainCase{"ShellAndDirectFail", {ENOEXEC}, {EACCES}, {"[TessenLib] Execute Fail(3) %p:13"}, 0}),
    [](const ::testing::TestParamInfo<ChainCase>& param) { return std::string(param.param.name); });

}  // namespace
