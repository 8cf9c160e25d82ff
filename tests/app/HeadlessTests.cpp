// The built orba-downloader run without a window against real local servers: whole downloads,
// the installer, and every way a run ends with a message and a non-zero code instead of waiting.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/SingleInstance.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/app/EngineScript.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

#ifdef ORBA_DOWNLOADER_PATH

namespace {

using apptest::Content;
using apptest::Q;
using apptest::ReadFile;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::ScopedEnvironment;
using testsupport::Script;
using testsupport::ScriptedServer;

struct Outcome {
  bool ended = false;
  int exitCode = -1;
  QString out;
  QString err;
  int64_t milliseconds = 0;
};

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apptest::MakePrivate(runtime_.Path());
    apptest::WriteScript(bin_ / "xdg-open",
                         "#!/bin/sh\nprintf '%s' \"$1\" > '" + (bin_ / "opened.txt") + "'\n/bin/sh \"$1\"\n");
  }

  // The program's world: its own home, data, settings and runtime folders, the loopback relay,
  // and a PATH holding only the desktop opener (so no wine is found).
  QProcessEnvironment Environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
      if (name.startsWith(QStringLiteral("ORBA_"))) environment.remove(name);
    }
    // No window system: a window opens only where the command line names a platform.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
      environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), Q(home_.Path()));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), Q(home_ / "data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Q(home_ / "config"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Q(runtime_.Path()));
    environment.insert(QStringLiteral("PATH"), Q(bin_.Path()));
    environment.insert(QStringLiteral("ORBA_NETWORK_STATE"), QStringLiteral("online"));
    // Direct download unless a test brings an engine: none of another test, no update server.
    environment.insert(QStringLiteral("ORBA_ENGINE_ENABLED"), QStringLiteral("0"));
    environment.insert(QStringLiteral("ORBA_UPDATE_MANIFEST_URL"), QString());
    environment.insert(QStringLiteral("ORBA_RELAY_HOST"), QStringLiteral("127.0.0.1"));
    environment.insert(QStringLiteral("ORBA_RELAY_PORT"), QString::number(closedRelay_.Port()));
    environment.insert(QStringLiteral("ORBA_FILE_LIST_URL"), Q(builtInList_));
    environment.insert(QStringLiteral("ORBA_BANNER_URL"), Q(server_.Url("/banner.gif")));
    for (const auto& [name, value] : extraEnvironment_) environment.insert(Q(name), Q(value));
    return environment;
  }

  Outcome Run(const QStringList& arguments, int timeoutMs = 90000) {
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.setWorkingDirectory(Q(home_.Path()));
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(ORBA_DOWNLOADER_PATH), arguments);
    Outcome outcome;
    if (!process.waitForStarted(10000)) return outcome;
    outcome.ended = process.waitForFinished(timeoutMs);
    if (!outcome.ended) {
      process.kill();
      process.waitForFinished(5000);
    }
    outcome.milliseconds = timer.elapsed();
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
  }

  // Serves `files` (name, bytes) below /files/ and a list naming them, LF ended.
  std::string ServeList(const std::vector<std::pair<std::string, std::string>>& files) {
    return apptest::ServeFileList(server_, files, {.lineEnd = "\n"});
  }

  std::string Dest() const { return home_ / "dest"; }

  testsupport::ClosedPort closedRelay_;
  testsupport::TempFolder home_;
  testsupport::TempFolder runtime_;
  testsupport::TempFolder bin_;
  std::string builtInList_ = "http://127.0.0.1:1/download/orba/qtxdownload/filelist.txt";
  std::vector<std::pair<std::string, std::string>> extraEnvironment_;
  HttpFileServer server_;
};

TEST_F(HeadlessTest, DownloadsEveryFileAndEndsWithZero) {
  std::string a = Content(1500000, 1);
  std::string b = Content(2000, 2);
  std::string c = Content(64000, 3);
  server_.AddResource("/files/a.bin", a);
  server_.AddResource("/files/b.bin", b);
  server_.AddResource("/files/c.bin", c);
  server_.AddResource("/filelist.txt", "\r\n" + server_.Url("/files/a.bin") + "\r\n\r\n" +
                                           server_.Url("/files/b.bin") + "\n" + server_.Url("/files/c.bin"));
  Outcome run = Run(
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
  EXPECT_TRUE(ReadFile(Dest() + "/a.bin") == a);
  EXPECT_TRUE(ReadFile(Dest() + "/b.bin") == b);
  EXPECT_TRUE(ReadFile(Dest() + "/c.bin") == c);
  EXPECT_EQ((std::vector<std::string>{"a.bin", "b.bin", "c.bin"}), apptest::FolderEntries(Dest()));
  // The last status line: the last file, both sizes alike, both bars full.
  QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_GE(lines.size(), 2) << run.out.toStdString();
  EXPECT_TRUE(lines.first().startsWith(QStringLiteral("3 file(s), 1.49 MB, into "))) << run.out.toStdString();
  EXPECT_TRUE(lines.last().startsWith(QStringLiteral("c.bin [3/3]  1.49 MB / 1.49 MB")))
      << run.out.toStdString();
  EXPECT_TRUE(lines.last().endsWith(QStringLiteral("total [####################] 100%")))
      << run.out.toStdString();
}

TEST_F(HeadlessTest, TheEngineCarriesTheJobAndItsResumeQuestionIsAnsweredAlone) {
  testsupport::FakeEngine engine;
  extraEnvironment_ = {{"ORBA_ENGINE_ENABLED", "1"}, {"ORBA_ENGINE_PORT", std::to_string(engine.Port())}};
  std::string a = Content(70000, 5);
  std::string b = Content(1000, 6);
  std::string list = ServeList({{"a.bin", a}, {"b.bin", b}});
  apptest::ResumedJobScript script(engine, {{"a.bin", a}, {"b.bin", b}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  std::optional<engineproto::ResumeAnswer> answer = script.Answer();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(1, answer->resume);
  EXPECT_EQ(1, answer->applyToAll);
  EXPECT_TRUE(run.err.contains(QStringLiteral("是否繼續上次的下載"))) << run.err.toStdString();
  EXPECT_TRUE(
      run.out.startsWith(QStringLiteral("engine ready: the download goes through the high-speed engine\n")))
      << run.out.toStdString();
  EXPECT_TRUE(ReadFile(Dest() + "/a.bin") == a);
  EXPECT_TRUE(ReadFile(Dest() + "/b.bin") == b);
  std::string log = ReadFile(home_ / "data/Norvik/qtxDownloadV32/config/service.log");
  EXPECT_EQ(std::string::npos, log.find("CPlatFormDownloader Begin")) << log;
}

TEST_F(HeadlessTest, WithoutAnEngineToInstallTheDownloadGoesDirectAndSaysSo) {
  testsupport::ClosedPort engine;
  extraEnvironment_ = {{"ORBA_ENGINE_ENABLED", "1"},
                       {"ORBA_ENGINE_PORT", std::to_string(engine.Port())},
                       {"ORBA_UPDATE_MANIFEST_URL", server_.Url("/no-deployment/qtxdownload_updater.xml")}};
  std::string a = Content(90000, 7);
  std::string list = ServeList({{"a.bin", a}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains(QStringLiteral("engine update failed: the download goes direct\n")))
      << run.out.toStdString();
  EXPECT_TRUE(ReadFile(Dest() + "/a.bin") == a);
}

TEST_F(HeadlessTest, AListThatIsNotThereEndsWithItsMessage) {
  server_.AddStatus("/filelist.txt", 404);
  Outcome run = Run(
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_NE(0, run.exitCode);
  EXPECT_TRUE(run.err.contains(QStringLiteral("下載檔案目錄失敗"))) << run.err.toStdString();
  EXPECT_EQ(std::vector<std::string>{}, apptest::FolderEntries(Dest()));
}

TEST_F(HeadlessTest, AHostileListEndsWithOneMessage) {
  std::string list = server_.Url("/files/..") + "\r\n" + std::string("\0\x01\x02garbage", 10) + "\n";
  server_.AddResource("/filelist.txt", list);
  Outcome run = Run(
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_NE(0, run.exitCode);
  EXPECT_EQ(QStringLiteral("ORBA: 輸入了錯誤的URL\n"), run.err);
  EXPECT_EQ(std::vector<std::string>{}, apptest::FolderEntries(home_.Path() + "/dest"));
}

TEST_F(HeadlessTest, InstallStartsTheInstallerAtTheEnd) {
  std::string marker = home_ / "marker.txt";
  std::string list = ServeList(
      {{"data.bin", Content(300000, 4)}, {"setup.exe", "#!/bin/sh\nprintf ran > '" + marker + "'\n"}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest()),
                     QStringLiteral("--install")});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains(QStringLiteral("檢查下載的文件後執行安裝。")));
  ASSERT_TRUE(guitest::WaitUntil([&] { return ReadFile(marker) == "ran"; }, 10000));
  // A script is a program of this system: it starts directly, not through the desktop opener.
  EXPECT_FALSE(apptest::FileExists(bin_ / "opened.txt"));
}

TEST_F(HeadlessTest, TheWindowLeavesQtItsOwnOptions) {
  std::string marker = home_ / "marker.txt";
  std::string list = ServeList({{"setup.exe", "#!/bin/sh\nprintf ran > '" + marker + "'\n"}});
  Outcome run =
      Run({QStringLiteral("-platform"), QStringLiteral("offscreen"), Q(list), QStringLiteral("--start"),
           QStringLiteral("--dest"), Q(Dest()), QStringLiteral("--install")});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  ASSERT_TRUE(guitest::WaitUntil([&] { return ReadFile(marker) == "ran"; }, 10000));
}

TEST_F(HeadlessTest, InstallWithoutAnInstallerEndsWithNonZero) {
  std::string list = ServeList({{"a.bin", Content(1000, 5)}, {"b.bin", Content(1000, 6)}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest()),
                     QStringLiteral("--install")});
  ASSERT_TRUE(run.ended);
  EXPECT_NE(0, run.exitCode);
  EXPECT_TRUE(run.err.contains(QStringLiteral("該路徑(NULL)檔案不存在。"))) << run.err.toStdString();
  EXPECT_TRUE(apptest::FileExists(Dest() + "/b.bin"));
}

TEST_F(HeadlessTest, AFailedDownloadEndsWithItsMessage) {
  HttpResourceOptions broken;
  broken.cutAfter = 0;
  server_.AddResource("/files/broken.bin", Content(50000, 7), broken);
  server_.AddResource("/filelist.txt", server_.Url("/files/broken.bin") + "\n");
  Outcome run = Run(
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended) << "the run waited for a download that had failed";
  EXPECT_NE(0, run.exitCode);
  EXPECT_TRUE(run.err.contains(QStringLiteral("ORBA: 下載ORBA失敗\n請稍候再試\n"))) << run.err.toStdString();
}

TEST_F(HeadlessTest, TooLittleDiskSpaceEndsWithItsMessage) {
  const std::string kLength = std::to_string(900LL * 1024 * 1024 * 1024 * 1024);
  ScriptedServer huge(
      Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: " + kLength + "\r\n\r\n").Close());
  server_.AddResource("/filelist.txt", huge.Url("/files/huge.bin") + "\n");
  Outcome run = Run(
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())},
      60000);
  ASSERT_TRUE(run.ended) << "the run waited after the job had stopped";
  EXPECT_NE(0, run.exitCode);
  EXPECT_TRUE(run.err.contains(QStringLiteral("ORBA: 硬碟(%1/)的空間不足(900.00 TB)。").arg(Q(Dest()))))
      << run.err.toStdString();
}

TEST_F(HeadlessTest, WithoutConsentTheDownloadIsPaced) {
  std::string data = Content(4 * 393216, 8);
  std::string list = ServeList({{"paced.bin", data}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest()),
                     QStringLiteral("--no-consent")});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  EXPECT_GE(run.milliseconds, 2500);
  EXPECT_TRUE(run.err.contains(
      QStringLiteral("不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？ [是]")))
      << run.err.toStdString();
  EXPECT_TRUE(ReadFile(Dest() + "/paced.bin") == data);
}

TEST_F(HeadlessTest, TheDefaultFolderIsInTheHomeFolder) {
  std::string a = Content(1000, 9);
  std::string list = ServeList({{"a.bin", a}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list)});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
  EXPECT_TRUE(ReadFile(home_ / "velmoor/ORBA/a.bin") == a);
}

TEST_F(HeadlessTest, TwoRunsIntoOneFolderDoNotRunTogether) {
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", runtime_.Path());
  SingleInstance running(FolderInstanceName(Q(Dest())));
  ASSERT_TRUE(running.IsFirst());
  std::string list = ServeList({{"a.bin", Content(1000, 10)}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest() + "/")});
  ASSERT_TRUE(run.ended);
  EXPECT_NE(0, run.exitCode);
  EXPECT_TRUE(run.err.contains(QStringLiteral("正在進行下載作業"))) << run.err.toStdString();
  EXPECT_EQ(0, server_.RequestCount());
}

TEST_F(HeadlessTest, ARunningWindowDoesNotBlockAHeadlessRun) {
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", runtime_.Path());
  SingleInstance window(WindowInstanceName(Q(builtInList_)));
  ASSERT_TRUE(window.IsFirst());
  std::string list = ServeList({{"a.bin", Content(1000, 11)}});
  Outcome run = Run({QStringLiteral("--headless"), Q(list), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode) << run.err.toStdString();
}

TEST_F(HeadlessTest, AKilledRunLeavesItsFolderFree) {
  HttpResourceOptions slow;
  slow.bytesPerSecond = 1;  // the list never arrives while the run lives
  server_.AddResource("/filelist.txt", "never\n", slow);
  QProcess process;
  process.setProcessEnvironment(Environment());
  process.start(
      QStringLiteral(ORBA_DOWNLOADER_PATH),
      {QStringLiteral("--headless"), Q(server_.Url("/filelist.txt")), QStringLiteral("--dest"), Q(Dest())});
  ASSERT_TRUE(process.waitForStarted(10000));
  ASSERT_TRUE(server_.WaitForRequests(1, 20000));
  process.kill();
  ASSERT_TRUE(process.waitForFinished(10000));
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", runtime_.Path());
  SingleInstance next(FolderInstanceName(Q(Dest())));
  EXPECT_TRUE(next.IsFirst());
}

TEST_F(HeadlessTest, HelpExplainsBothWaysAndMistakesAreRefused) {
  Outcome help = Run({QStringLiteral("--help")});
  ASSERT_TRUE(help.ended);
  EXPECT_EQ(0, help.exitCode);
  EXPECT_TRUE(help.out.contains(QStringLiteral("orba-downloader [URL]")));
  EXPECT_TRUE(help.out.contains(
      QStringLiteral("orba-downloader --headless [URL] [--dest DIR] [--no-consent] [--install]")));
  Outcome wrong = Run({QStringLiteral("--headless"), QStringLiteral("--fast")});
  ASSERT_TRUE(wrong.ended);
  EXPECT_EQ(2, wrong.exitCode);
  EXPECT_TRUE(wrong.err.contains(QStringLiteral("unknown option --fast")));
}

}  // namespace

#endif  // ORBA_DOWNLOADER_PATH
