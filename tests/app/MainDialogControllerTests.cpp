// The main dialog's rules without a window: a recording view, the real library and real local
// servers. The list arrives, sizes show, the job runs, stops, completes; notices, the installer,
// consent, closing and the folder choice behave as the window's texts say.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSettings>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/Formats.h"
#include "app/LibraryEventBridge.h"
#include "app/MainDialogController.h"
#include "app/SingleInstance.h"
#include "library/DownloadLib.h"
#include "library/LibraryControl.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/app/LibraryShim.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using apptest::Content;
using apptest::Q;
using apptest::ReadFile;
using apptest::RecordingView;
using guitest::WaitUntil;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::ScopedEnvironment;
using testsupport::Script;
using testsupport::ScriptedServer;

const QString kApplication = QStringLiteral("orba-downloader");

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relayPort_ = std::make_unique<ScopedEnvironment>("ORBA_RELAY_PORT", std::to_string(closedRelay_.Port()));
    // Download folders are claimed in a runtime folder of this test's own.
    apptest::MakePrivate(runtime_.Path());
  }
  void TearDown() override {
    // The library ends before the window its events are posted to.
    controller_.reset();
    bridge_.reset();
  }

  MainDialogOptions Options(const std::string& listUrl) {
    MainDialogOptions options;
    options.fileListUrl = Q(listUrl);
    options.defaultFolder = Q(folder_ / "ORBA");
    options.engineFolder = Q(folder_ / "engine");
    options.applicationName = kApplication;
    return options;
  }

  std::string DefaultFolder() const { return folder_ / "ORBA/"; }

  // Serves `files` (name, bytes) below /files/ and a list naming them, CR LF ended.
  void ServeList(const std::vector<std::pair<std::string, std::string>>& files, int64_t bytesPerSecond = 0) {
    apptest::ServeFileList(server_, files, {.bytesPerSecond = bytesPerSecond});
  }

  void Begin(const MainDialogOptions& options) {
    bridge_ = std::make_unique<LibraryEventBridge>(
        [this](int32_t code, intptr_t lParam) { controller_->OnLibraryEvent(code, lParam); });
    controller_ = std::make_unique<MainDialogController>(view_, options);
    ASSERT_TRUE(controller_->Start(bridge_->Window()));
  }

  // Starts on the served list and waits until the sizes are known.
  void BeginReady(const std::string& listPath = "/filelist.txt") {
    Begin(Options(server_.Url(listPath)));
    ASSERT_TRUE(WaitUntil([&] { return view_.centred > 0 || view_.quitCode.has_value(); }));
    ASSERT_FALSE(view_.quitCode.has_value()) << view_.messages.front().text.toStdString();
  }

  // Starts the job on the ready list and waits until it has completed.
  void RunToCompletion() {
    // Messages shown before the start (a consent question) are not failures of the run.
    size_t shown = view_.messages.size();
    controller_->OnStartStop();
    ASSERT_TRUE(WaitUntil([&] { return controller_->Finished() || view_.messages.size() > shown; }));
    ASSERT_TRUE(controller_->Finished()) << view_.messages.back().text.toStdString();
  }

  testsupport::ClosedPort closedRelay_;
  ScopedEnvironment network_{"ORBA_NETWORK_STATE", std::string("online")};
  ScopedEnvironment relayHost_{"ORBA_RELAY_HOST", std::string("127.0.0.1")};
  std::unique_ptr<ScopedEnvironment> relayPort_;
  testsupport::TempFolder runtime_;
  ScopedEnvironment runtimeFolder_{"XDG_RUNTIME_DIR", runtime_.Path()};
  testsupport::TempFolder folder_;
  HttpFileServer server_;
  apptest::LibraryShim shim_;
  RecordingView view_;
  std::unique_ptr<LibraryEventBridge> bridge_;
  std::unique_ptr<MainDialogController> controller_;
};

// The installer opener of the desktop: records which file it was asked to open. No wine is found
// beside it. Installers that are programs of this system never reach it: they start directly.
class DesktopOpener {
 public:
  DesktopOpener() : path_("PATH", bin_.Path()) {
    apptest::WriteScript(bin_ / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + Opened() + "'\n");
  }
  std::string Opened() const { return bin_ / "opened.txt"; }

 private:
  testsupport::TempFolder bin_;
  ScopedEnvironment path_;
};

// An installer script that writes `word` into `marker` when it runs.
std::string Installer(const std::string& marker, const std::string& word) {
  return "#!/bin/sh\nprintf '" + word + "' > '" + marker + "'\n";
}

TEST_F(ControllerTest, SizesShowOnceTheListIsChecked) {
  std::string a = Content(70000, 1);
  std::string b = Content(1234, 2);
  server_.AddResource("/files/a.bin", a);
  server_.AddResource("/files/b.bin", b);
  // Blank lines of both kinds before, between and after the URLs.
  server_.AddResource("/filelist.txt", "\r\n\n" + server_.Url("/files/a.bin") + "\r\n\r\n\n" +
                                           server_.Url("/files/b.bin") + "\n\r\n");
  BeginReady();
  EXPECT_TRUE(view_.messages.empty());
  ASSERT_EQ(2, controller_->Lines().size());
  EXPECT_EQ(Q(server_.Url("/files/b.bin")), controller_->Lines()[1]);
  EXPECT_EQ(static_cast<int64_t>(a.size() + b.size()), controller_->RequiredSize());
  EXPECT_EQ(FormatSize(static_cast<double>(a.size() + b.size())), view_.Label(DialogLabel::kTotal));
  EXPECT_EQ(QStringLiteral("a.bin [1/2]"), view_.Label(DialogLabel::kFile));
  EXPECT_EQ(QStringLiteral("00:00:00"), view_.Label(DialogLabel::kRemaining));
  EXPECT_EQ(QStringLiteral("00:00:00"), view_.Label(DialogLabel::kElapsed));
  EXPECT_EQ(QStringLiteral("0 Bytes"), view_.Label(DialogLabel::kDownloaded));
  EXPECT_EQ(QStringLiteral("0.0 Bytes"), view_.Label(DialogLabel::kSpeed));
  EXPECT_EQ(Q(DefaultFolder()), view_.Label(DialogLabel::kFolder));
  EXPECT_EQ(Q(DefaultFolder()), controller_->DestinationFolder());
  EXPECT_FALSE(view_.Enabled(DialogButton::kInstall));
  EXPECT_TRUE(view_.Enabled(DialogButton::kFolder));
  EXPECT_FALSE(view_.startShowsStop);
  EXPECT_EQ(std::optional<bool>(true), view_.consentChecked);
  EXPECT_EQ(1, view_.centred);
}

TEST_F(ControllerTest, AWholeJobCompletesAndFinishesTheWindow) {
  std::string a = Content(300000, 3);
  std::string b = Content(5000, 4);
  ServeList({{"a.bin", a}, {"b.bin", b}});
  BeginReady();

  controller_->OnStartStop();
  EXPECT_NE(0u, controller_->Job());
  EXPECT_EQ(DL_OK, controller_->StartResult());
  EXPECT_TRUE(view_.startShowsStop);
  EXPECT_FALSE(view_.Enabled(DialogButton::kFolder));
  EXPECT_FALSE(view_.Enabled(DialogButton::kInstall));
  ASSERT_TRUE(WaitUntil([&] { return controller_->Finished() || !view_.messages.empty(); }));
  ASSERT_TRUE(controller_->Finished());

  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(0u, controller_->Job());
  EXPECT_TRUE(view_.Enabled(DialogButton::kInstall));
  EXPECT_FALSE(view_.Enabled(DialogButton::kStart));
  EXPECT_FALSE(view_.Enabled(DialogButton::kFolder));
  EXPECT_TRUE(view_.statusFinished);
  EXPECT_EQ(QStringLiteral("00:00:00"), view_.Label(DialogLabel::kRemaining));
  EXPECT_EQ(QStringLiteral("b.bin [2/2]"), view_.Label(DialogLabel::kFile));
  EXPECT_EQ(100, view_.progress[ProgressBar::kJob]);
  EXPECT_TRUE(ReadFile(DefaultFolder() + "a.bin") == a);
  EXPECT_TRUE(ReadFile(DefaultFolder() + "b.bin") == b);
  EXPECT_EQ(QStringList({Q(DefaultFolder() + "a.bin"), Q(DefaultFolder() + "b.bin")}),
            controller_->CompletedFiles());
  QSettings stored(QStringLiteral("Norvik Inc."), QStringLiteral("DownloadPath"));
  EXPECT_EQ(Q(DefaultFolder()), stored.value(QStringLiteral("ORBA")).toString());

  // Finished: start, stop and the folder choice do nothing any more.
  controller_->OnStartStop();
  EXPECT_EQ(0u, controller_->Job());
  controller_->OnChooseFolder();
  EXPECT_EQ(0, view_.folderQuestions);
  EXPECT_TRUE(controller_->Finished());
}

TEST_F(ControllerTest, InstallBeforeCompletionIsRefused) {
  ServeList({{"a.bin", Content(1000, 5)}});
  BeginReady();
  controller_->OnInstall();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("尚未結束下載。"), view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kExclamation, view_.messages[0].icon);
  EXPECT_EQ(0, view_.launchesPosted);
  EXPECT_FALSE(view_.statusEnlarged);
}

TEST_F(ControllerTest, StartBeforeTheListArrivesRunsAJobWithoutFilesUntilStop) {
  ServeList({{"a.bin", Content(1000, 6)}});
  Begin(Options(server_.Url("/filelist.txt")));
  // No event has been handled yet: the list is not there.
  controller_->OnStartStop();
  EXPECT_NE(0u, controller_->Job());
  EXPECT_EQ(DL_ERR_FAILED, controller_->StartResult());
  EXPECT_TRUE(view_.startShowsStop);
  EXPECT_FALSE(view_.Enabled(DialogButton::kFolder));
  controller_->OnStartStop();
  EXPECT_EQ(0u, controller_->Job());
  EXPECT_FALSE(view_.startShowsStop);
  EXPECT_TRUE(view_.Enabled(DialogButton::kFolder));
  EXPECT_TRUE(view_.messages.empty());
}

TEST_F(ControllerTest, StopReturnsToReadyAndAllowsAnotherStart) {
  ServeList({{"slow.bin", Content(2000000, 7)}}, 100000);
  BeginReady();
  controller_->OnStartStop();
  ASSERT_TRUE(WaitUntil([&] { return !view_.speedSamples.empty(); }));
  controller_->OnStartStop();
  EXPECT_EQ(0u, controller_->Job());
  EXPECT_FALSE(view_.startShowsStop);
  EXPECT_TRUE(view_.Enabled(DialogButton::kFolder));
  EXPECT_FALSE(view_.Enabled(DialogButton::kInstall));
  EXPECT_EQ(0, controller_->FilesDone());
  EXPECT_EQ(1, controller_->CurrentFileNumber());
  controller_->OnStartStop();
  EXPECT_NE(0u, controller_->Job());
  EXPECT_TRUE(view_.startShowsStop);
}

// A list that cannot be used: one message, the program ends, nothing is fetched or written.
struct BadList {
  const char* name;
  // The served list for the server's base URL; nothing: the list's address answers 404.
  std::function<std::optional<std::string>(const std::string& base)> body;
  const char* message;
};

void PrintTo(const BadList& list, std::ostream* out) { *out << list.name; }

class BadListTest : public ControllerTest, public ::testing::WithParamInterface<BadList> {};

TEST_P(BadListTest, EndsWithOneMessageAndNoFile) {
  const BadList& list = GetParam();
  if (std::optional<std::string> body = list.body(server_.BaseUrl()))
    server_.AddResource("/filelist.txt", *body);
  Begin(Options(server_.Url("/filelist.txt")));
  ASSERT_TRUE(WaitUntil([&] { return view_.quitCode.has_value(); }, 20000));
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QString::fromUtf8(list.message), view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[0].caption);
  EXPECT_NE(0, *view_.quitCode);
  EXPECT_FALSE(controller_->ListReady());
  // Nothing but the list was asked for, and nothing was written.
  EXPECT_EQ(server_.RequestCount("/filelist.txt"), server_.RequestCount());
  EXPECT_EQ(std::vector<std::string>{}, apptest::FolderEntries(folder_.Path()));
}

std::string Binary() {
  std::string bytes = Content(100000, 8);
  bytes[10] = '\n';
  return bytes;
}

std::string ManyLines(const std::string& base) {
  std::string list;
  for (int i = 0; i < 100000; ++i) list += base + "/files/f" + std::to_string(i) + ".bin\r\n";
  return list;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BadListTest,
    ::testing::Values(
        BadList{"Missing", [](const std::string&) { return std::optional<std::string>(); },
                "下載檔案目錄失敗"},
        BadList{"Empty", [](const std::string&) { return std::optional<std::string>(""); },
                "下載檔案目錄失敗"},
        BadList{"OnlyLineEnds", [](const std::string&) { return std::optional<std::string>("\r\n\n\r\n"); },
                "下載檔案目錄失敗"},
        BadList{"OnlySpaces",
                [](const std::string&) { return std::optional<std::string>("   \r\n    \n \t  "); },
                "下載檔案目錄失敗"},
        BadList{"Binary", [](const std::string&) { return std::optional<std::string>(Binary()); },
                "輸入了錯誤的URL"},
        BadList{"Nul",
                [](const std::string& base) {
                  return std::optional<std::string>(base + "/files/a" + std::string(1, '\0') + ".bin\r\n");
                },
                "輸入了錯誤的URL"},
        BadList{"LineOf1024Bytes",
                [](const std::string& base) {
                  std::string line = base + "/files/a.bin?pad=";
                  line.resize(1024, 'p');
                  return std::optional<std::string>(base + "/files/b.bin\r\n" + line + "\r\n");
                },
                "輸入了錯誤的URL"},
        BadList{"DotDotLast",
                [](const std::string& base) { return std::optional<std::string>(base + "/files/..\r\n"); },
                "輸入了錯誤的URL"},
        BadList{"DotDotBeforeTheQuery",
                [](const std::string& base) {
                  return std::optional<std::string>(base + "/files/..?name=x.bin\r\n");
                },
                "輸入了錯誤的URL"},
        BadList{"NoFileName",
                [](const std::string& base) { return std::optional<std::string>(base + "/files/\r\n"); },
                "輸入了錯誤的URL"},
        BadList{"TheSameNameTwice",
                [](const std::string& base) {
                  return std::optional<std::string>(base + "/a/x.bin\r\n" + base + "/b/X.BIN\r\n");
                },
                "輸入了錯誤的URL"},
        BadList{"AHundredThousandLines",
                [](const std::string& base) { return std::optional<std::string>(ManyLines(base)); },
                "下載檔案目錄失敗"}),
    [](const ::testing::TestParamInfo<BadList>& test) { return std::string(test.param.name); });

TEST_F(ControllerTest, ALineOf1023BytesIsUsed) {
  server_.AddResource("/files/a.bin", Content(100, 9));
  std::string line = server_.Url("/files/a.bin?pad=");
  line.resize(1023, 'p');
  server_.AddResource("/filelist.txt", line + "\r\n");
  BeginReady();
  ASSERT_EQ(1, controller_->Lines().size());
  EXPECT_EQ(1023, controller_->Lines()[0].size());
  EXPECT_EQ(100, controller_->RequiredSize());
}

TEST_F(ControllerTest, AUrlWithAQueryWritesOnlyInsideTheFolder) {
  std::string data = Content(4000, 10);
  server_.AddResource("/files/setup.bin", data);
  server_.AddResource("/filelist.txt", server_.Url("/files/setup.bin?next=/../../escape.bin") + "\r\n");
  BeginReady();
  // The label is only text: the file takes its name from the path, never from the query.
  EXPECT_EQ(QStringLiteral("escape.bin [1/1]"), view_.Label(DialogLabel::kFile));
  RunToCompletion();
  EXPECT_TRUE(ReadFile(DefaultFolder() + "setup.bin") == data);
  EXPECT_EQ(std::vector<std::string>{"ORBA"}, apptest::FolderEntries(folder_.Path()));
  EXPECT_EQ(std::vector<std::string>{"setup.bin"}, apptest::FolderEntries(DefaultFolder()));
  EXPECT_EQ(Q(DefaultFolder() + "setup.bin"), controller_->InstallerPath());
}

TEST_F(ControllerTest, AFailedDownloadIsNoticedWithTheGameName) {
  HttpResourceOptions broken;
  broken.cutAfter = 0;  // the headers, then the connection ends: every try fails
  server_.AddResource("/files/broken.bin", Content(50000, 11), broken);
  server_.AddResource("/filelist.txt", server_.Url("/files/broken.bin") + "\r\n");
  BeginReady();
  controller_->OnStartStop();
  ASSERT_TRUE(WaitUntil([&] { return !view_.messages.empty(); }, 60000));
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("下載ORBA失敗\n請稍候再試"), view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kNone, view_.messages[0].icon);
  EXPECT_EQ(DL_NOTE_DOWNLOAD_FAILED, controller_->LastNotice());
  EXPECT_FALSE(controller_->Finished());
}

TEST_F(ControllerTest, TooLittleDiskSpaceStopsTheJobAndNamesFolderAndSize) {
  // 900 TB: more than any test machine has, less than the 1024 TB where sizes stop showing.
  const std::string kLength = std::to_string(900LL * 1024 * 1024 * 1024 * 1024);
  ScriptedServer huge(
      Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: " + kLength + "\r\n\r\n").Close());
  server_.AddResource("/filelist.txt", huge.Url("/files/huge.bin") + "\r\n");
  BeginReady();
  EXPECT_EQ(QStringLiteral("900.00 TB"), view_.Label(DialogLabel::kTotal));
  controller_->OnStartStop();
  ASSERT_TRUE(WaitUntil([&] { return !view_.messages.empty(); }));
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("硬碟(%1)的空間不足(900.00 TB)。").arg(Q(DefaultFolder())),
            view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[0].caption);
  EXPECT_EQ(DL_NOTE_DISK_FULL, controller_->LastNotice());
  // The notice carries the URL as its text, which the window never shows: no buffer is passed.
  EXPECT_EQ(1, shim_.noticeReads);
  EXPECT_EQ(0, shim_.noticeTextBuffers);
  // Ready for another folder and another start.
  EXPECT_EQ(0u, controller_->Job());
  EXPECT_FALSE(view_.startShowsStop);
  EXPECT_TRUE(view_.Enabled(DialogButton::kFolder));
  EXPECT_FALSE(controller_->Finished());
  view_.folderAnswer = FolderChoice{true, Q(folder_ / "other")};
  controller_->OnChooseFolder();
  EXPECT_EQ(Q(folder_ / "other/"), controller_->DestinationFolder());
}

TEST_F(ControllerTest, LosingAndRegainingTheNetworkAreShown) {
  ServeList({{"slow.bin", Content(3000000, 12)}}, 200000);
  BeginReady();
  controller_->OnStartStop();
  {
    ScopedEnvironment offline("ORBA_NETWORK_STATE", std::string("offline"));
    ASSERT_TRUE(WaitUntil([&] { return !view_.messages.empty(); }, 10000));
  }
  ASSERT_TRUE(WaitUntil([&] { return view_.messages.size() >= 2; }, 10000));
  EXPECT_EQ(QStringLiteral("您的網路狀態不佳"), view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("您的網路回復正常"), view_.messages[1].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[1].caption);
  EXPECT_NE(0u, controller_->Job());
}

TEST_F(ControllerTest, AOneLineListMakesItsOnlyFileTheInstaller) {
  ServeList({{"data.bin", Content(2000, 13)}});
  BeginReady();
  RunToCompletion();
  EXPECT_EQ(Q(DefaultFolder() + "data.bin"), controller_->InstallerPath());
}

TEST_F(ControllerTest, WithoutAnInstallerTheLaunchSaysSo) {
  ServeList({{"a.bin", Content(2000, 14)}, {"b.bin", Content(2000, 15)}});
  BeginReady();
  RunToCompletion();
  EXPECT_TRUE(controller_->InstallerPath().isEmpty());
  controller_->OnInstall();
  controller_->OnLaunch();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("該路徑(NULL)檔案不存在。"), view_.messages[0].text);
  EXPECT_EQ(std::optional<int>(0), view_.quitCode);
  EXPECT_FALSE(controller_->InstallerStarted());
}

TEST_F(ControllerTest, TheExeCompletedLastIsTheInstallerAndOnlyItStarts) {
  DesktopOpener opener;
  std::string marker = folder_ / "marker.txt";
  ServeList({{"first.exe", Installer(marker, "first")},
             {"second.EXE", Installer(marker, "second")},
             {"data.bin", Content(3000, 16)}});
  BeginReady();
  RunToCompletion();
  EXPECT_EQ(Q(DefaultFolder() + "second.EXE"), controller_->InstallerPath());

  controller_->OnInstall();
  EXPECT_FALSE(view_.Enabled(DialogButton::kInstall));
  EXPECT_TRUE(view_.statusEnlarged);
  EXPECT_EQ(QStringLiteral("檢查下載的文件後執行安裝。"), view_.Label(DialogLabel::kSpeed));
  EXPECT_EQ(1, view_.launchesPosted);
  EXPECT_FALSE(view_.quitCode.has_value());  // the launch comes after the install text shows
  controller_->OnLaunch();
  EXPECT_TRUE(controller_->InstallerStarted());
  EXPECT_EQ(std::optional<int>(0), view_.quitCode);
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(marker) == "second"; }, 10000));
  EXPECT_FALSE(apptest::FileExists(opener.Opened()));  // a script starts without the opener
  EXPECT_TRUE(view_.messages.empty());
}

TEST_F(ControllerTest, AnInstallerReplacedByALinkIsNeverStarted) {
  DesktopOpener opener;
  std::string marker = folder_ / "marker.txt";
  std::string outside = folder_ / "outside.sh";
  apptest::WriteScript(outside, Installer(marker, "outside"));
  ServeList({{"setup.exe", Installer(marker, "setup")}});
  BeginReady();
  RunToCompletion();
  std::string installer = DefaultFolder() + "setup.exe";
  ASSERT_EQ(Q(installer), controller_->InstallerPath());
  std::filesystem::remove(installer);
  std::filesystem::create_symlink(outside, installer);

  controller_->OnInstall();
  controller_->OnLaunch();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("該路徑(%1)檔案不存在。").arg(Q(installer)), view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_FALSE(controller_->InstallerStarted());
  EXPECT_EQ(std::optional<int>(0), view_.quitCode);
  EXPECT_FALSE(apptest::FileExists(opener.Opened()));
  EXPECT_FALSE(apptest::FileExists(marker));
}

TEST_F(ControllerTest, ARemovedInstallerIsNotStarted) {
  DesktopOpener opener;
  std::string marker = folder_ / "marker.txt";
  ServeList({{"setup.exe", Installer(marker, "setup")}});
  BeginReady();
  RunToCompletion();
  std::string installer = DefaultFolder() + "setup.exe";
  std::filesystem::remove(installer);
  controller_->OnInstall();
  controller_->OnLaunch();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("該路徑(%1)檔案不存在。").arg(Q(installer)), view_.messages[0].text);
  EXPECT_FALSE(controller_->InstallerStarted());
  EXPECT_FALSE(apptest::FileExists(opener.Opened()));
}

TEST_F(ControllerTest, AOneLineInstallerThatIsNoProgramStartsThroughTheDesktopOpener) {
  DesktopOpener opener;
  ServeList({{"setup.msi", "\xD0\xCF\x11\xE0 a package, not a program"}});
  BeginReady();
  RunToCompletion();
  controller_->OnInstall();
  controller_->OnLaunch();
  EXPECT_TRUE(controller_->InstallerStarted());
  ASSERT_TRUE(WaitUntil([&] { return !ReadFile(opener.Opened()).empty(); }, 10000));
  EXPECT_EQ(DefaultFolder() + "setup.msi", ReadFile(opener.Opened()));
}

TEST_F(ControllerTest, AOneLineScriptInstallerStartsDirectly) {
  DesktopOpener opener;
  std::string marker = folder_ / "marker.txt";
  ServeList({{"setup.sh", Installer(marker, "ran")}});
  BeginReady();
  RunToCompletion();
  controller_->OnInstall();
  controller_->OnLaunch();
  EXPECT_TRUE(controller_->InstallerStarted());
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(marker) == "ran"; }, 10000));
  EXPECT_FALSE(apptest::FileExists(opener.Opened()));
}

TEST_F(ControllerTest, DecliningConsentAnsweredNoKeepsIt) {
  ServeList({{"a.bin", Content(1000, 17)}});
  BeginReady();
  view_.answers.push_back(MessageAnswer::kNo);
  view_.consentChecked.reset();
  controller_->OnConsentClicked(false);
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？"),
            view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kInformation, view_.messages[0].icon);
  EXPECT_EQ(MessageButtons::kYesNo, view_.messages[0].buttons);
  EXPECT_EQ(std::optional<bool>(true), view_.consentChecked);
  EXPECT_TRUE(controller_->Consent());
}

TEST_F(ControllerTest, CheckingTheBoxGivesConsentWithoutAQuestion) {
  ServeList({{"a.bin", Content(1000, 18)}});
  BeginReady();
  view_.answers.push_back(MessageAnswer::kYes);
  controller_->OnConsentClicked(false);
  EXPECT_FALSE(controller_->Consent());
  controller_->OnConsentClicked(true);
  EXPECT_TRUE(controller_->Consent());
  EXPECT_EQ(1u, view_.messages.size());
}

TEST_F(ControllerTest, DecliningConsentAnsweredYesDownloadsAtTheNormalPace) {
  // Four budgets of one paced second: the first at once, the others a second apart.
  std::string data = Content(4 * 393216, 19);
  ServeList({{"paced.bin", data}});
  BeginReady();
  view_.answers.push_back(MessageAnswer::kYes);
  view_.consentChecked.reset();
  controller_->OnConsentClicked(false);
  EXPECT_FALSE(controller_->Consent());
  EXPECT_FALSE(view_.consentChecked.has_value());  // the box stays as the user left it
  QElapsedTimer timer;
  timer.start();
  RunToCompletion();
  EXPECT_GE(timer.elapsed(), 2500);
  EXPECT_TRUE(ReadFile(DefaultFolder() + "paced.bin") == data);
}

TEST_F(ControllerTest, ConsentDeclinedBeforeStartShowsAnEmptyBox) {
  ServeList({{"a.bin", Content(1000, 20)}});
  MainDialogOptions options = Options(server_.Url("/filelist.txt"));
  options.consent = false;
  Begin(options);
  EXPECT_EQ(std::optional<bool>(false), view_.consentChecked);
  EXPECT_FALSE(controller_->Consent());
}

TEST_F(ControllerTest, WithoutAJobTheWindowClosesWithoutAQuestion) {
  ServeList({{"a.bin", Content(1000, 21)}});
  BeginReady();
  controller_->OnClose();
  EXPECT_TRUE(view_.closed);
  view_.closed = false;
  controller_->OnWindowClose();
  EXPECT_TRUE(view_.closed);
  EXPECT_TRUE(view_.messages.empty());
}

TEST_F(ControllerTest, TheCloseButtonAsksWhileAJobExists) {
  ServeList({{"slow.bin", Content(2000000, 22)}}, 100000);
  BeginReady();
  controller_->OnStartStop();
  view_.answers = {MessageAnswer::kNo, MessageAnswer::kYes};
  controller_->OnClose();
  EXPECT_FALSE(view_.closed);
  EXPECT_NE(0u, controller_->Job());
  controller_->OnClose();
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(0u, controller_->Job());
  ASSERT_EQ(2u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("關閉視窗時，即會中止下載 ORBA\n確定要關閉視窗嗎？"), view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kInformation, view_.messages[0].icon);
  EXPECT_EQ(MessageButtons::kYesNo, view_.messages[0].buttons);
}

TEST_F(ControllerTest, TheWindowsOwnCloseAsksWithItsOwnText) {
  ServeList({{"slow.bin", Content(2000000, 23)}}, 100000);
  BeginReady();
  controller_->OnStartStop();
  view_.answers = {MessageAnswer::kNo, MessageAnswer::kYes};
  controller_->OnWindowClose();
  EXPECT_FALSE(view_.closed);
  controller_->OnWindowClose();
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(0u, controller_->Job());
  ASSERT_EQ(2u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("關閉視窗時，將立即終止下載 ORBA\n確定要關閉視窗嗎？"), view_.messages[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kInformation, view_.messages[0].icon);
}

TEST_F(ControllerTest, TheEnginesFolderIsRefused) {
  std::string a = Content(3000, 24);
  ServeList({{"a.bin", a}});
  BeginReady();
  view_.folderAnswer = FolderChoice{true, Q(folder_ / "engine")};
  controller_->OnChooseFolder();
  EXPECT_EQ(1, view_.folderQuestions);
  EXPECT_EQ(Q(DefaultFolder()), view_.askedFolder);
  EXPECT_EQ(FormatSize(static_cast<double>(a.size())), view_.askedSize);
  EXPECT_TRUE(std::filesystem::is_directory(DefaultFolder()));  // the current folder is made first
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("選擇的路徑無法使用"), view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kExclamation, view_.messages[0].icon);
  EXPECT_EQ(Q(DefaultFolder()), controller_->DestinationFolder());
  // However it is written.
  EXPECT_FALSE(controller_->SetDestinationFolder(Q(folder_ / "engine/../engine/")));
  EXPECT_EQ(Q(DefaultFolder()), controller_->DestinationFolder());
}

TEST_F(ControllerTest, AChosenFolderReceivesTheFiles) {
  std::string a = Content(3000, 25);
  ServeList({{"a.bin", a}});
  BeginReady();
  view_.folderAnswer = FolderChoice{true, Q(folder_ / "games")};
  controller_->OnChooseFolder();
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(Q(folder_ / "games/"), controller_->DestinationFolder());
  EXPECT_EQ(Q(folder_ / "games/"), view_.Label(DialogLabel::kFolder));
  RunToCompletion();
  EXPECT_TRUE(ReadFile(folder_ / "games/a.bin") == a);
}

TEST_F(ControllerTest, TheFolderCannotChangeWhileAJobRuns) {
  ServeList({{"slow.bin", Content(2000000, 26)}}, 100000);
  BeginReady();
  controller_->OnStartStop();
  view_.folderAnswer = FolderChoice{true, Q(folder_ / "games")};
  controller_->OnChooseFolder();
  EXPECT_EQ(0, view_.folderQuestions);
  EXPECT_EQ(Q(DefaultFolder()), controller_->DestinationFolder());
}

TEST_F(ControllerTest, TheResumeQuestionIsAnsweredThroughTheView) {
  ServeList({{"a.bin", Content(1000, 27)}});
  BeginReady();
  controller_->OnLibraryEvent(DL_EV_RESUME_QUERY, 0x1234);
  EXPECT_EQ(1, view_.resumeQuestions);
  controller_->OnLibraryEvent(DL_EV_RESUME_QUERY, 0);
  EXPECT_EQ(1, view_.resumeQuestions);
}

TEST_F(ControllerTest, TheEndOfAnotherJobChangesNothing) {
  ServeList({{"a.bin", Content(1000, 28)}});
  BeginReady();
  controller_->OnLibraryEvent(DL_EV_JOB_DONE, 0x1234);
  EXPECT_FALSE(controller_->Finished());
  EXPECT_FALSE(view_.Enabled(DialogButton::kInstall));
  controller_->OnLibraryEvent(DL_EV_FILE_DONE, 0x1234);
  EXPECT_EQ(0, controller_->FilesDone());
}

TEST_F(ControllerTest, AJobDoesNotStartInAFolderAnotherDownloadHolds) {
  ServeList({{"a.bin", Content(1000, 29)}});
  BeginReady();
  auto other = std::make_unique<SingleInstance>(FolderInstanceName(Q(DefaultFolder())));
  ASSERT_TRUE(other->IsFirst());
  controller_->OnStartStop();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("正在進行下載作業"), view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kExclamation, view_.messages[0].icon);
  EXPECT_EQ(0u, controller_->Job());
  EXPECT_EQ(DL_ERR_FAILED, controller_->StartResult());
  EXPECT_FALSE(view_.startShowsStop);

  // Once the folder is free the job runs, and holds the folder until it has completed.
  other.reset();
  controller_->OnStartStop();
  EXPECT_NE(0u, controller_->Job());
  EXPECT_FALSE(SingleInstance(FolderInstanceName(Q(DefaultFolder()))).IsFirst());
  ASSERT_TRUE(WaitUntil([&] { return controller_->Finished() || view_.messages.size() > 1; }));
  ASSERT_TRUE(controller_->Finished());
  EXPECT_TRUE(SingleInstance(FolderInstanceName(Q(DefaultFolder()))).IsFirst());
}

TEST_F(ControllerTest, ALibraryWhoseStartFailedIsFinalised) {
  shim_.initialize = [](DownloadLibWindow window, DownloadLibCallback callback, void* userData) {
    CDownloadLibThread::Options options;
    options.startWorker = [](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    return LibraryInitialize(window, callback, userData, true, std::move(options));
  };
  bridge_ = std::make_unique<LibraryEventBridge>([](int32_t, intptr_t) {});
  controller_ = std::make_unique<MainDialogController>(view_, Options(server_.Url("/filelist.txt")));
  EXPECT_FALSE(controller_->Start(bridge_->Window()));
  // Nothing is left registered: a later start of the library succeeds.
  EXPECT_EQ(nullptr, LibraryThread());
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("初始化失敗。"), view_.messages[0].text);
  shim_.initialize = nullptr;
  EXPECT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  DownloadLibFinalize();
}

TEST_F(ControllerTest, ALibraryThatCannotStartEndsTheProgram) {
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  bridge_ = std::make_unique<LibraryEventBridge>([](int32_t, intptr_t) {});
  controller_ = std::make_unique<MainDialogController>(view_, Options(server_.Url("/filelist.txt")));
  EXPECT_FALSE(controller_->Start(bridge_->Window()));
  DownloadLibFinalize();
  ASSERT_EQ(1u, view_.messages.size());
  EXPECT_EQ(QStringLiteral("初始化失敗。"), view_.messages[0].text);
  EXPECT_EQ(kApplication, view_.messages[0].caption);
  EXPECT_EQ(MessageIcon::kExclamation, view_.messages[0].icon);
  EXPECT_NE(0, view_.quitCode.value_or(0));
}

}  // namespace
