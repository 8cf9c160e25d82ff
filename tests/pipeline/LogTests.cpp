#include "pipeline/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ScopedEnvironment;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLogPathForTesting(); }
  void TearDown() override { ResetLogPathForTesting(); }

  std::string LogFile() const { return data_ / "Norvik/qtxDownloadV32/config/service.log"; }
  std::string LogText() const { return testsupport::ReadFileText(LogFile()); }
  // The line the log writes for `message` at the manual clock's current second.
  std::string Line(const std::string& message) const {
    return "[" + platform::CtimeText(clock_.NowMilliseconds() / 1000) + "] " + message + "\r\n";
  }

  testsupport::TempFolder data_;
  ScopedEnvironment dataHome_{"XDG_DATA_HOME", data_.Path()};
  platform::ManualClock clock_{1'700'000'123'456};
  platform::ScopedClock scopedClock_{clock_};
};

TEST_F(LogTest, ResetCreatesMissingFoldersAndAnEmptyLog) {
  ASSERT_FALSE(platform::PathExists(data_ / "Norvik"));
  ResetLog();
  EXPECT_TRUE(platform::DirectoryExists(data_ / "Norvik/qtxDownloadV32/config"));
  EXPECT_TRUE(platform::FileExists(LogFile()));
  EXPECT_EQ(platform::FileSize(LogFile()), 0);
}

TEST_F(LogTest, ResetEmptiesThePreviousLog) {
  ResetLog();
  WriteLog("[TessenLib] Launch(3.5.0.2)");
  ASSERT_FALSE(LogText().empty());
  ResetLog();
  EXPECT_EQ(LogText(), "");
}

TEST_F(LogTest, LineIsTimeStampMessageAndCarriageReturnLineFeed) {
  ResetLog();
  WriteLog("[TessenLib] Initialize");
  std::string stamp = platform::CtimeText(1'700'000'123);
  ASSERT_EQ(stamp.size(), 24u);
  EXPECT_EQ(LogText(), "[" + stamp + "] [TessenLib] Initialize\r\n");
}

TEST_F(LogTest, LinesAreAppendedWithTheClockOfTheirMoment) {
  ResetLog();
  WriteLog("first");
  std::string expected = Line("first");
  clock_.Advance(61'000);
  WriteLog("second");
  expected += Line("second");
  EXPECT_EQ(LogText(), expected);
}

TEST_F(LogTest, FormatFillsInArguments) {
  ResetLog();
  LogFormat("[TessenLib] Execute Fail(3) %s:%d", "/tmp/engine", 13);
  EXPECT_EQ(LogText(), Line("[TessenLib] Execute Fail(3) /tmp/engine:13"));
}

class LogLengthTest : public LogTest, public ::testing::WithParamInterface<size_t> {};

// Around the 512-byte local buffer: the last length that fits, the first that does not, a long one.
TEST_P(LogLengthTest, FormattedMessageIsWrittenIntact) {
  std::string message(GetParam(), 'x');
  for (size_t i = 0; i < message.size(); i += 10) message[i] = static_cast<char>('a' + (i / 10) % 26);
  ResetLog();
  LogFormat("%s", message.c_str());
  EXPECT_EQ(LogText(), Line(message));
}

INSTANTIATE_TEST_SUITE_P(AroundTheLocalBuffer, LogLengthTest, ::testing::Values(0u, 510u, 511u, 512u, 1000u));

TEST_F(LogTest, FormatThatGrowsPastTheBufferIsIntact) {
  std::string half(300, 'h');
  ResetLog();
  LogFormat("%s|%s|%d", half.c_str(), half.c_str(), 42);
  EXPECT_EQ(LogText(), Line(half + "|" + half + "|42"));
}

TEST_F(LogTest, MessageEndingInNewLineGivesAnEmptyLineAfterIt) {
  ResetLog();
  LogFormat("Add Certificate Ok - %s\n", "root");
  EXPECT_EQ(LogText(), Line("Add Certificate Ok - root\n"));
  EXPECT_EQ(LogText().substr(LogText().size() - 3), "\n\r\n");
}

TEST_F(LogTest, TraceDiagnosticWritesNothing) {
  ResetLog();
  TraceDiagnostic("[TessenLib_D] 0x0003");
  EXPECT_EQ(LogText(), "");
}

TEST_F(LogTest, TraceDiagnosticCreatesNothing) {
  TraceDiagnostic("[TessenLib_D] 0x00A0");
  EXPECT_FALSE(platform::PathExists(data_ / "Norvik"));
}

TEST_F(LogTest, WriteWithoutFoldersCreatesNothing) {
  WriteLog("lost");
  LogFormat("lost %d", 1);
  EXPECT_FALSE(platform::PathExists(data_ / "Norvik"));
}

TEST_F(LogTest, UnwritableLogFolderIsSkippedSilently) {
  // A regular file where a folder is expected: nothing below it can be created, even for root.
  testsupport::WriteFileText(data_ / "blocker", "not a folder");
  ScopedEnvironment dataHome("XDG_DATA_HOME", data_ / "blocker");
  ResetLogPathForTesting();
  ResetLog();
  WriteLog("[TessenLib] Initialize");
  LogFormat("[TessenLib] Initialize Failed : %d", 2);
  TraceDiagnostic("[TessenLib_D] 0x0007");
  EXPECT_EQ(testsupport::ReadFileText(data_ / "blocker"), "not a folder");
}

TEST_F(LogTest, NullMessageIsIgnored) {
  ResetLog();
  WriteLog(nullptr);
  TraceDiagnostic(nullptr);
  EXPECT_EQ(LogText(), "");
}

TEST_F(LogTest, PathIsKeptOnceBuilt) {
  std::string first = LogPath();
  testsupport::TempFolder other;
  ScopedEnvironment dataHome("XDG_DATA_HOME", other.Path());
  EXPECT_EQ(LogPath(), first);
  ResetLogPathForTesting();
  EXPECT_EQ(LogPath(), other.Path() + "/Norvik/qtxDownloadV32/config/service.log");
}

TEST_F(LogTest, ThreadsAskingAtOnceGetOnePath) {
  std::vector<std::string> paths(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < paths.size(); ++i) threads.emplace_back([&paths, i] { paths[i] = LogPath(); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& path : paths) EXPECT_EQ(path, LogFile());
}

TEST_F(LogTest, LinesOfSeveralThreadsStayWhole) {
  ResetLog();
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LogFormat("[TessenLib] thread %d line %d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::string text = LogText();
  size_t lines = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    EXPECT_EQ(
        line.rfind("[" + platform::CtimeText(clock_.NowMilliseconds() / 1000) + "] [TessenLib] thread ", 0),
        0u)
        << line;
    ++lines;
    start = end + 2;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
