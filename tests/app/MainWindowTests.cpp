// The main window driven like a user would, against a real local HTTP server: the file list
// arrives, sizes show, the download runs with progress, completes, and the installer starts.
// Message boxes and the folder chooser are answered through the window's seams.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/CQTXDownloaderDlg.h"
#include "app/CResumeDlg.h"
#include "app/Formats.h"
#include "app/widgets/BannerView.h"
#include "app/widgets/CGraphCtrl.h"
#include "app/widgets/CSkinButton.h"
#include "app/widgets/CSkinProgress.h"
#include "tests/app/ControllerTestSupport.h"
#include "tests/app/EngineScript.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using apptest::Content;
using apptest::ReadFile;
using guitest::WaitUntil;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::ScopedEnvironment;

HttpResourceOptions Typed(const std::string& contentType) {
  HttpResourceOptions options;
  options.contentType = contentType;
  return options;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A 1 x 1 PNG, enough for the banner to have something to show.
std::string PngBytes() {
  static const unsigned char kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D,
                                       0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
                                       0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x77, 0x53, 0xDE, 0x00, 0x00, 0x00,
                                       0x0C, 0x49, 0x44, 0x41, 0x54, 0x08, 0xD7, 0x63, 0xF8, 0xCF, 0xC0, 0x00,
                                       0x00, 0x03, 0x01, 0x01, 0x00, 0x18, 0xDD, 0x8D, 0xB0, 0x00, 0x00, 0x00,
                                       0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  return std::string(reinterpret_cast<const char*>(kPng), sizeof kPng);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relay_ = std::make_unique<ScopedEnvironment>("ORBA_RELAY_PORT", std::to_string(closedRelay_.Port()));
    // A started job claims its folder in a runtime folder of this test's own.
    std::filesystem::permissions(runtime_.Path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    server_.AddResource("/banner.png", PngBytes(), Typed("image/png"));
    banner_ = std::make_unique<ScopedEnvironment>("ORBA_BANNER_URL", server_.Url("/banner.png"));
  }
  void TearDown() override { window_.reset(); }

  // Serves `files` (name, bytes) below /files/ and a list of them, CR LF ended.
  void ServeList(const std::vector<std::pair<std::string, std::string>>& files, int64_t bytesPerSecond = 0) {
    apptest::ServeFileList(server_, files, {.bytesPerSecond = bytesPerSecond, .listType = "text/plain"});
  }

  MainDialogOptions Options(const std::string& listPath = "/filelist.txt") {
    MainDialogOptions options;
    options.fileListUrl = Q(server_.Url(listPath));
    options.defaultFolder = Q(folder_ / "ORBA");
    options.engineFolder = Q(folder_ / "engine");
    options.applicationName = QStringLiteral("orba-downloader");
    return options;
  }

  CQTXDownloaderDlg& Open(const MainDialogOptions& options) {
    window_ = std::make_unique<CQTXDownloaderDlg>(options);
    window_->SetMessageSeam([this](const MessageRequest& request) {
      messages_.push_back(request);
      if (answers_.empty())
        return request.buttons == MessageButtons::kYesNo ? MessageAnswer::kNo : MessageAnswer::kOk;
      MessageAnswer answer = answers_.front();
      answers_.pop_front();
      return answer;
    });
    window_->Begin();
    return *window_;
  }

  // Opens the window on the served list and waits until the sizes are known.
  CQTXDownloaderDlg& OpenReady() {
    CQTXDownloaderDlg& window = Open(Options());
    EXPECT_TRUE(
        WaitUntil([&] { return !window.LabelText(DialogLabel::kTotal).isEmpty() || window.Ended(); }));
    EXPECT_FALSE(window.Ended());
    return window;
  }

  testsupport::ClosedPort closedRelay_;
  ScopedEnvironment network_{"ORBA_NETWORK_STATE", std::string("online")};
  ScopedEnvironment relayHost_{"ORBA_RELAY_HOST", std::string("127.0.0.1")};
  std::unique_ptr<ScopedEnvironment> relay_;
  std::unique_ptr<ScopedEnvironment> banner_;
  testsupport::TempFolder runtime_;
  ScopedEnvironment runtimeFolder_{"XDG_RUNTIME_DIR", runtime_.Path()};
  testsupport::TempFolder folder_;
  HttpFileServer server_;
  std::unique_ptr<CQTXDownloaderDlg> window_;
  std::vector<MessageRequest> messages_;
  std::deque<MessageAnswer> answers_;
};

TEST_F(MainWindowTest, WholeDownloadShowsSizesProgressCompletionAndStartsTheInstaller) {
  // The installer opener: an installer that is no program of this system, without wine, goes
  // through xdg-open, here a script that records what it was asked to open.
  testsupport::TempFolder bin;
  std::string launched = bin / "launched.txt";
  testsupport::WriteFileText(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + launched + "'\n");
  QFile::setPermissions(Q(bin / "xdg-open"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  ScopedEnvironment path("PATH", bin.Path());

  std::string data = Content(1200000, 1);
  std::string setup = "MZ\x90 a Windows program";
  ServeList({{"data.bin", data}, {"setup.exe", setup}}, 400000);
  CQTXDownloaderDlg& window = OpenReady();

  // Ready: the sizes, the first file, zero times and speed, the default folder.
  EXPECT_EQ(FormatSize(static_cast<double>(data.size() + setup.size())),
            window.LabelText(DialogLabel::kTotal));
  EXPECT_EQ(QStringLiteral("data.bin [1/2]"), window.LabelText(DialogLabel::kFile));
  EXPECT_EQ(QStringLiteral("0 Bytes"), window.LabelText(DialogLabel::kDownloaded));
  EXPECT_EQ(QStringLiteral("00:00:00"), window.LabelText(DialogLabel::kElapsed));
  EXPECT_EQ(QStringLiteral("00:00:00"), window.LabelText(DialogLabel::kRemaining));
  EXPECT_EQ(QStringLiteral("0.0 Bytes"), window.LabelText(DialogLabel::kSpeed));
  EXPECT_EQ(Q(folder_ / "ORBA/"), window.LabelText(DialogLabel::kFolder));
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kStart));
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kFolder));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kInstall));
  EXPECT_TRUE(window.ButtonVisible(DialogButton::kInstall));
  EXPECT_FALSE(window.StartButtonShowsStop());
  EXPECT_EQ(QStringLiteral("0%"), window.ProgressText(ProgressBar::kJob));

  window.Button(DialogButton::kStart)->click();
  EXPECT_TRUE(window.StartButtonShowsStop());
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kFolder));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kInstall));

  // Midway: the bars, the received size and a speed move.
  ASSERT_TRUE(WaitUntil([&] {
    int percent = window.ProgressValue(ProgressBar::kJob);
    return percent > 0 && percent < 100;
  }));
  EXPECT_NE(QStringLiteral("0 Bytes"), window.LabelText(DialogLabel::kDownloaded));
  EXPECT_TRUE(window.LabelText(DialogLabel::kSpeed).endsWith(QStringLiteral("/Sec")) ||
              window.LabelText(DialogLabel::kSpeed).endsWith(QStringLiteral("Bytes")));
  EXPECT_EQ(QString::number(window.ProgressValue(ProgressBar::kJob)) + QLatin1Char('%'),
            window.ProgressText(ProgressBar::kJob));
  EXPECT_EQ(68, window.SpeedSamples().size());

  int fileBarSeen = 0;
  ASSERT_TRUE(WaitUntil([&] {
    fileBarSeen = std::max(fileBarSeen, window.ProgressValue(ProgressBar::kFile));
    return window.ButtonEnabled(DialogButton::kInstall);
  }));
  EXPECT_GT(fileBarSeen, 0);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(100, window.ProgressValue(ProgressBar::kJob));
  EXPECT_EQ(QStringLiteral("100%"), window.ProgressText(ProgressBar::kJob));
  EXPECT_EQ(window.LabelText(DialogLabel::kTotal), window.LabelText(DialogLabel::kDownloaded));
  EXPECT_EQ(QStringLiteral("setup.exe [2/2]"), window.LabelText(DialogLabel::kFile));
  EXPECT_EQ(QStringLiteral("00:00:00"), window.LabelText(DialogLabel::kRemaining));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kStart));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kFolder));
  EXPECT_EQ(QColor(255, 255, 0), window.LabelTextColor(DialogLabel::kSpeed));
  EXPECT_EQ(QColor(0xEF, 0xEF, 0xEF), window.LabelTextColor(DialogLabel::kTotal));
  QVector<int> samples = window.SpeedSamples();
  EXPECT_GT(*std::max_element(samples.begin(), samples.end()), 0);
  EXPECT_TRUE(ReadFile(folder_ / "ORBA/data.bin") == data);
  EXPECT_EQ(setup, ReadFile(folder_ / "ORBA/setup.exe"));

  window.Button(DialogButton::kInstall)->click();
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kInstall));
  EXPECT_EQ(QStringLiteral("檢查下載的文件後執行安裝。"), window.LabelText(DialogLabel::kSpeed));
  EXPECT_EQ(QRect(456, 173, 270, 42), window.Geometry(DialogLabel::kSpeed));
  EXPECT_FALSE(window.Ended());  // the launch follows once the install text is shown

  ASSERT_TRUE(WaitUntil([&] { return window.Ended(); }));
  EXPECT_EQ(0, window.ExitCode());
  EXPECT_FALSE(window.isVisible());
  for (const MessageRequest& m : messages_) ADD_FAILURE() << m.text.toStdString();
  ASSERT_TRUE(WaitUntil([&] { return !ReadFile(launched).empty(); }, 10000));
  EXPECT_EQ(folder_ / "ORBA/setup.exe", ReadFile(launched));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, StartOptionRunsTheDownloadIntoItsFolderAndInstallsByItself) {
  std::string marker = folder_ / "installed.txt";
  std::string data = Content(300000, 4);
  ServeList({{"data.bin", data}, {"setup.exe", "#!/bin/sh\nprintf ran > '" + marker + "'\n"}});
  std::string chosen = folder_ / "chosen";
  window_ = std::make_unique<CQTXDownloaderDlg>(Options());
  window_->SetMessageSeam([this](const MessageRequest& request) {
    messages_.push_back(request);
    return MessageAnswer::kOk;
  });
  window_->SetAutomation(WindowAutomation{true, Q(chosen), true, QString()});
  window_->Begin();
  ASSERT_TRUE(WaitUntil([&] { return window_->Ended(); }, 20000));
  EXPECT_EQ(0, window_->ExitCode());
  for (const MessageRequest& m : messages_) ADD_FAILURE() << m.text.toStdString();
  EXPECT_TRUE(ReadFile(chosen + "/data.bin") == data);
  EXPECT_TRUE(ReadFile(folder_ / "ORBA/data.bin").empty());
  EXPECT_TRUE(window_->Controller().InstallerStarted());
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(marker) == "ran"; }, 10000));
}

// The engine asks whether to resume; the window's own question answers it (here: start over,
// for this file only) and the job goes on through the engine.
TEST_F(MainWindowTest, TheEnginesResumeQuestionIsAnsweredFromTheDialog) {
  testsupport::FakeEngine engine;
  ScopedEnvironment enabled("ORBA_ENGINE_ENABLED", std::string("1"));
  ScopedEnvironment port("ORBA_ENGINE_PORT", std::to_string(engine.Port()));
  std::string data = Content(50000, 3);
  std::string setup = "MZ setup";
  ServeList({{"data.bin", data}, {"setup.exe", setup}});
  apptest::ResumedJobScript script(engine, {{"data.bin", data}, {"setup.exe", setup}});
  CQTXDownloaderDlg& window = OpenReady();

  bool asked = false;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* question = qobject_cast<CResumeDlg*>(QApplication::activeModalWidget());
    if (question == nullptr) return;
    asked = true;
    question->ApplyToAllBox()->setChecked(false);
    question->CancelButton()->click();
  });
  answerer.start(20);
  window.Button(DialogButton::kStart)->click();
  ASSERT_TRUE(WaitUntil([&] { return window.ButtonEnabled(DialogButton::kInstall); }));
  EXPECT_TRUE(asked);
  std::optional<engineproto::ResumeAnswer> answer = script.Answer();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(0, answer->resume);
  EXPECT_EQ(0, answer->applyToAll);
  for (const MessageRequest& m : messages_) ADD_FAILURE() << m.text.toStdString();
}

TEST_F(MainWindowTest, EveryControlHasANameAndTabGoesThroughTheButtons) {
  ServeList({{"data.bin", Content(1000, 4)}});
  CQTXDownloaderDlg& window = OpenReady();
  EXPECT_EQ(QStringLiteral("ORBA Downloader"), window.accessibleName());
  QList<QWidget*> controls;
  for (auto* label : window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
    // The frame pictures are decoration: nothing for a screen reader. The banner counts.
    if (!label->pixmap().isNull() && qobject_cast<BannerView*>(label) == nullptr) continue;
    controls.append(label);
  }
  for (auto* button : window.findChildren<QAbstractButton*>(QString(), Qt::FindDirectChildrenOnly))
    controls.append(button);
  for (auto* bar : window.findChildren<CSkinProgress*>(QString(), Qt::FindDirectChildrenOnly))
    controls.append(bar);
  for (auto* graph : window.findChildren<CGraphCtrl*>(QString(), Qt::FindDirectChildrenOnly))
    controls.append(graph);
  EXPECT_EQ(7 + 1 + 5 + 2 + 1, controls.size());
  for (QWidget* control : controls) {
    EXPECT_FALSE(control->accessibleName().isEmpty())
        << control->metaObject()->className() << " at " << control->geometry().x() << ","
        << control->geometry().y();
  }
  window.activateWindow();
  QPushButton* start = window.Button(DialogButton::kStart);
  start->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return QApplication::focusWidget() == start; }, 5000));
  auto tab = [] {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(QApplication::focusWidget(), &press);
    return QApplication::focusWidget();
  };
  EXPECT_EQ(window.Button(DialogButton::kClose), tab()) << "install is disabled until the end";
  EXPECT_EQ(window.Button(DialogButton::kFolder), tab());
  EXPECT_EQ(start, tab()) << "the hidden consent box is skipped";
  EXPECT_TRUE(start->isDefault()) << "Enter starts";
}

TEST_F(MainWindowTest, BeforeTheListArrivesTheWindowIsIdle) {
  // The list never comes within this test: its route is paced to a crawl.
  HttpResourceOptions slow;
  slow.bytesPerSecond = 1;
  server_.AddResource("/filelist.txt", "http://127.0.0.1:1/never.bin\r\n", slow);
  CQTXDownloaderDlg& window = Open(Options());
  EXPECT_EQ(QStringLiteral("ORBA Downloader"), window.windowTitle());
  EXPECT_EQ(QSize(748, 437), window.size());
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kStart));
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kFolder));
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kClose));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kInstall));
  EXPECT_EQ(QStringLiteral("開始"), window.ButtonText(DialogButton::kStart));
  EXPECT_TRUE(window.LabelText(DialogLabel::kTotal).isEmpty());
  EXPECT_EQ(0, window.ProgressValue(ProgressBar::kFile));
  EXPECT_TRUE(window.Button(DialogButton::kStart)->isDefault());
}

TEST_F(MainWindowTest, StopReturnsToReadyAndStartShowsItsLookAgain) {
  ServeList({{"big.bin", Content(3000000, 2)}}, 100000);
  CQTXDownloaderDlg& window = OpenReady();
  window.Button(DialogButton::kStart)->click();
  EXPECT_EQ(QStringLiteral("停止"), window.ButtonText(DialogButton::kStart));
  EXPECT_NE(0u, window.Controller().Job());
  window.Button(DialogButton::kStart)->click();
  EXPECT_EQ(QStringLiteral("開始"), window.ButtonText(DialogButton::kStart));
  EXPECT_EQ(0u, window.Controller().Job());
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kFolder));
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kStart));
  EXPECT_FALSE(window.ButtonEnabled(DialogButton::kInstall));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, EscDuringADownloadAsksAndNoKeepsItRunning) {
  ServeList({{"big.bin", Content(3000000, 3)}}, 100000);
  CQTXDownloaderDlg& window = OpenReady();
  window.Button(DialogButton::kStart)->click();

  answers_.push_back(MessageAnswer::kNo);
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &escape);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(QStringLiteral("關閉視窗時，即會中止下載 ORBA\n確定要關閉視窗嗎？"), messages_[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), messages_[0].caption);
  EXPECT_EQ(MessageIcon::kInformation, messages_[0].icon);
  EXPECT_EQ(MessageButtons::kYesNo, messages_[0].buttons);
  EXPECT_FALSE(window.Ended());
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.StartButtonShowsStop());

  // The close button asks the same.
  answers_.push_back(MessageAnswer::kNo);
  window.Button(DialogButton::kClose)->click();
  ASSERT_EQ(2u, messages_.size());
  EXPECT_EQ(messages_[0].text, messages_[1].text);
  EXPECT_FALSE(window.Ended());
}

TEST_F(MainWindowTest, WindowCloseDuringADownloadAsksWithItsOwnTextAndYesEndsTheWindow) {
  ServeList({{"big.bin", Content(3000000, 4)}}, 100000);
  CQTXDownloaderDlg& window = OpenReady();
  window.Button(DialogButton::kStart)->click();

  answers_.push_back(MessageAnswer::kNo);
  EXPECT_FALSE(window.close());
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(QStringLiteral("關閉視窗時，將立即終止下載 ORBA\n確定要關閉視窗嗎？"), messages_[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), messages_[0].caption);
  EXPECT_EQ(MessageButtons::kYesNo, messages_[0].buttons);
  EXPECT_TRUE(window.isVisible());

  answers_.push_back(MessageAnswer::kYes);
  window.close();
  EXPECT_EQ(2u, messages_.size());
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(0, window.ExitCode());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(0u, window.Controller().Job());
}

TEST_F(MainWindowTest, CloseWithoutADownloadEndsAtOnce) {
  ServeList({{"a.bin", Content(1000, 5)}});
  CQTXDownloaderDlg& window = OpenReady();
  window.Button(DialogButton::kClose)->click();
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(0, window.ExitCode());
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, AFileListThatCannotBeFetchedEndsWithItsMessage) {
  CQTXDownloaderDlg& window = Open(Options("/missing.txt"));
  ASSERT_TRUE(WaitUntil([&] { return window.Ended(); }));
  EXPECT_NE(0, window.ExitCode());
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(QStringLiteral("下載檔案目錄失敗"), messages_[0].text);
  EXPECT_EQ(QStringLiteral("ORBA"), messages_[0].caption);
  EXPECT_EQ(MessageIcon::kNone, messages_[0].icon);
  EXPECT_EQ(MessageButtons::kOk, messages_[0].buttons);
}

TEST_F(MainWindowTest, ChosenFolderShowsAtOnceAndTheEngineFolderIsRefused) {
  ServeList({{"a.bin", Content(5000, 6)}});
  CQTXDownloaderDlg& window = OpenReady();
  QString askedFolder;
  QString askedSize;
  QString answer = Q(folder_ / "elsewhere");
  window.SetFolderSeam([&](const QString& current, const QString& required) {
    askedFolder = current;
    askedSize = required;
    return FolderChoice{true, answer};
  });
  window.Button(DialogButton::kFolder)->click();
  EXPECT_EQ(Q(folder_ / "ORBA/"), askedFolder);
  EXPECT_EQ(FormatSize(5000), askedSize);
  EXPECT_EQ(Q(folder_ / "elsewhere/"), window.LabelText(DialogLabel::kFolder));
  EXPECT_TRUE(messages_.empty());

  answer = Q(folder_ / "engine");
  window.Button(DialogButton::kFolder)->click();
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(QStringLiteral("選擇的路徑無法使用"), messages_[0].text);
  EXPECT_EQ(QStringLiteral("orba-downloader"), messages_[0].caption);
  EXPECT_EQ(MessageIcon::kExclamation, messages_[0].icon);
  EXPECT_EQ(Q(folder_ / "elsewhere/"), window.LabelText(DialogLabel::kFolder));
}

TEST_F(MainWindowTest, ConsentBoxIsHiddenWithItsTipAndAsksBeforeNormalDownload) {
  ServeList({{"a.bin", Content(1000, 7)}});
  CQTXDownloaderDlg& window = OpenReady();
  EXPECT_FALSE(window.ButtonVisible(DialogButton::kConsent));
  EXPECT_TRUE(window.ConsentChecked());
  EXPECT_EQ(QStringLiteral("超高速下載只有在下載時才會共享PC資源。"), window.ConsentToolTip());

  answers_.push_back(MessageAnswer::kNo);
  window.ConsentBox()->click();
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(QStringLiteral("不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？"),
            messages_[0].text);
  EXPECT_EQ(MessageIcon::kInformation, messages_[0].icon);
  EXPECT_EQ(MessageButtons::kYesNo, messages_[0].buttons);
  EXPECT_TRUE(window.ConsentChecked());
  EXPECT_TRUE(window.Controller().Consent());

  answers_.push_back(MessageAnswer::kYes);
  window.ConsentBox()->click();
  EXPECT_EQ(2u, messages_.size());
  EXPECT_FALSE(window.ConsentChecked());
  EXPECT_FALSE(window.Controller().Consent());

  window.ConsentBox()->click();
  EXPECT_EQ(2u, messages_.size());
  EXPECT_TRUE(window.Controller().Consent());
}

// The whole window, ready to start, against its checked-in picture: a few pixels may differ (text
// smoothing), the look may not. ORBA_UPDATE_REFERENCE=1 writes the picture anew instead.
TEST_F(MainWindowTest, TheReadyWindowLooksLikeItsReference) {
  ServeList({{"ORBA_Client_1.bin", Content(1500000, 21)}, {"setup.exe", "MZ setup"}});
  MainDialogOptions options = Options();
  options.defaultFolder = QStringLiteral("/tmp/orba-reference/ORBA");
  CQTXDownloaderDlg& window = Open(options);
  ASSERT_TRUE(WaitUntil([&] { return !window.LabelText(DialogLabel::kTotal).isEmpty(); }));
  ASSERT_TRUE(WaitUntil([&] { return window.Banner()->HasPicture(); }));
  guitest::Pump(50);
  const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QString reference = QStringLiteral(ORBA_REFERENCE_FOLDER "/main-window-ready.png");
  if (qEnvironmentVariable("ORBA_UPDATE_REFERENCE") == QLatin1String("1")) {
    ASSERT_TRUE(shot.save(reference, "PNG"));
    GTEST_SKIP() << "wrote " << reference.toStdString();
  }
  const QImage expected = QImage(reference).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(expected.size(), shot.size());
  int differing = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      const QColor a = shot.pixelColor(x, y);
      const QColor b = expected.pixelColor(x, y);
      const int delta = std::max(
          {std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
      differing += delta > 24 ? 1 : 0;
    }
  }
  EXPECT_LE(differing, shot.width() * shot.height() / 200)
      << "pixels that differ from " << reference.toStdString();
}

// The longest texts each label shows, Chinese included, fit its place in the font it has.
TEST_F(MainWindowTest, TheLongestTextsFitTheirLabels) {
  ServeList({{"a.bin", Content(1000, 12)}});
  CQTXDownloaderDlg& window = Open(Options());
  struct Case {
    DialogLabel label;
    const char16_t* text;
  };
  const Case cases[] = {
      {DialogLabel::kFile, u"ORBA_Client_Patch_12.bin [12/12]"},
      {DialogLabel::kDownloaded, u"1023.99 MB"},
      {DialogLabel::kTotal, u"1023.99 GB"},
      {DialogLabel::kElapsed, u"99:59:59"},
      {DialogLabel::kRemaining, u"99:59:59"},
      {DialogLabel::kSpeed, u"1023.99 MB/Sec"},
      {DialogLabel::kFolder, u"/home/player/velmoor/ORBA/"},
  };
  for (const Case& c : cases) {
    QLabel* label = nullptr;
    for (QLabel* candidate : window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (candidate->geometry() == window.Geometry(c.label)) label = candidate;
    }
    ASSERT_NE(nullptr, label);
    const QFontMetrics metrics(label->font());
    const QString text = QString::fromUtf16(c.text);
    EXPECT_LE(metrics.horizontalAdvance(text), label->width()) << text.toStdString();
    EXPECT_LE(metrics.height(), label->height()) << text.toStdString();
  }
  CSkinButton* consent = window.ConsentBox();
  const QFontMetrics consentFont(consent->font());
  EXPECT_LE(13 + 3 + 3 + consentFont.horizontalAdvance(consent->text()), consent->width())
      << "the check box's caption beside its box";
  EXPECT_TRUE(QFontInfo(consent->font()).family().contains(QStringLiteral("WenQuanYi")) ||
              QFontInfo(consent->font()).family().contains(QStringLiteral("Dotum")) ||
              QFontInfo(consent->font()).family().contains(QStringLiteral("돋움")))
      << "a face that has the Chinese characters: " << QFontInfo(consent->font()).family().toStdString();
}

TEST_F(MainWindowTest, BannerShowsThePictureOfTheBannerSetting) {
  ServeList({{"a.bin", Content(1000, 8)}});
  CQTXDownloaderDlg& window = OpenReady();
  ASSERT_TRUE(WaitUntil([&] { return window.Banner()->HasPicture(); }));
  EXPECT_EQ(QSize(1, 1), window.Banner()->PictureSize());
}

TEST_F(MainWindowTest, ABannerThatFailsLeavesTheAreaEmptyAndTheWindowWorking) {
  server_.AddStatus("/banner.png", 404);
  ServeList({{"a.bin", Content(1000, 9)}});
  CQTXDownloaderDlg& window = OpenReady();
  ASSERT_TRUE(WaitUntil([&] { return server_.RequestCount("/banner.png") > 0; }));
  guitest::Pump(200);
  EXPECT_FALSE(window.Banner()->HasPicture());
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(window.ButtonEnabled(DialogButton::kStart));
}

// The place of every control, in window pixels (buttons: their top-left corner).
struct PlaceCase {
  const char* name;
  std::function<QRect(const CQTXDownloaderDlg&)> place;
  QRect expected;
};

void PrintTo(const PlaceCase& place, std::ostream* out) { *out << place.name; }

class ControlPlaceTest : public MainWindowTest, public ::testing::WithParamInterface<PlaceCase> {};

TEST_P(ControlPlaceTest, ControlSitsAtItsPlace) {
  ServeList({{"a.bin", Content(1000, 10)}});
  CQTXDownloaderDlg& window = Open(Options());
  EXPECT_EQ(GetParam().expected, GetParam().place(window));
}

QRect LabelPlace(const CQTXDownloaderDlg& window, DialogLabel label) { return window.Geometry(label); }

INSTANTIATE_TEST_SUITE_P(
    Layout, ControlPlaceTest,
    ::testing::Values(
        PlaceCase{"Banner", [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kBanner); },
                  QRect(9, 3, 383, 442)},
        PlaceCase{"TopStrip", [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kTopStrip); },
                  QRect(0, 0, 748, 21)},
        PlaceCase{"BottomStrip",
                  [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kBottomStrip); },
                  QRect(0, 416, 748, 21)},
        PlaceCase{"LeftStrip",
                  [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kLeftStrip); },
                  QRect(0, 20, 21, 396)},
        PlaceCase{"RightPanel",
                  [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kRightPanel); },
                  QRect(363, 20, 385, 396)},
        PlaceCase{"FileLabel", [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kFile); },
                  QRect(456, 28, 263, 14)},
        PlaceCase{"DownloadedLabel",
                  [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kDownloaded); },
                  QRect(456, 59, 263, 14)},
        PlaceCase{"TotalLabel", [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kTotal); },
                  QRect(456, 90, 263, 14)},
        PlaceCase{"ElapsedLabel",
                  [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kElapsed); },
                  QRect(460, 134, 85, 14)},
        PlaceCase{"RemainingLabel",
                  [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kRemaining); },
                  QRect(634, 134, 85, 14)},
        PlaceCase{"StatusLabel",
                  [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kSpeed); },
                  QRect(456, 173, 270, 14)},
        PlaceCase{"FolderLabel",
                  [](const CQTXDownloaderDlg& w) { return LabelPlace(w, DialogLabel::kFolder); },
                  QRect(447, 356, 201, 14)},
        PlaceCase{"SpeedGraph",
                  [](const CQTXDownloaderDlg& w) { return w.Geometry(DialogControl::kSpeedGraph); },
                  QRect(385, 191, 342, 69)},
        PlaceCase{"FileBar", [](const CQTXDownloaderDlg& w) { return w.Geometry(ProgressBar::kFile); },
                  QRect(441, 282, 286, 18)},
        PlaceCase{"JobBar", [](const CQTXDownloaderDlg& w) { return w.Geometry(ProgressBar::kJob); },
                  QRect(441, 312, 286, 18)},
        PlaceCase{"FolderButton",
                  [](const CQTXDownloaderDlg&
                         w) { return QRect(w.Geometry(DialogButton::kFolder).topLeft(), QSize(0, 0)); },
                  QRect(662, 352, 0, 0)},
        PlaceCase{"StartButton",
                  [](const CQTXDownloaderDlg&
                         w) { return QRect(w.Geometry(DialogButton::kStart).topLeft(), QSize(0, 0)); },
                  QRect(384, 391, 0, 0)},
        PlaceCase{"InstallButton",
                  [](const CQTXDownloaderDlg&
                         w) { return QRect(w.Geometry(DialogButton::kInstall).topLeft(), QSize(0, 0)); },
                  QRect(502, 391, 0, 0)},
        PlaceCase{"CloseButton",
                  [](const CQTXDownloaderDlg&
                         w) { return QRect(w.Geometry(DialogButton::kClose).topLeft(), QSize(0, 0)); },
                  QRect(620, 391, 0, 0)},
        PlaceCase{"ConsentBox",
                  [](const CQTXDownloaderDlg&
                         w) { return QRect(w.Geometry(DialogButton::kConsent).topLeft(), QSize(0, 0)); },
                  QRect(13, 293, 0, 0)},
        PlaceCase{"ClientArea", [](const CQTXDownloaderDlg& w) { return w.rect(); }, QRect(0, 0, 748, 437)}),
    [](const ::testing::TestParamInfo<PlaceCase>& place) { return std::string(place.param.name); });

TEST_F(MainWindowTest, PressingTheTopStripDragsTheWindowAndLowerDoesNot) {
  ServeList({{"a.bin", Content(1000, 11)}});
  // Ready first: the window centres itself once the sizes are known, which would undo a drag.
  CQTXDownloaderDlg& window = OpenReady();
  window.move(100, 100);
  QCoreApplication::processEvents();  // the moves posted meanwhile
  QPoint start = window.pos();
  auto send = [&](QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QPointF global = window.mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &event);
  };
  send(QEvent::MouseButtonPress, QPoint(200, 10), Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, QPoint(230, 50), Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, QPoint(230, 50), Qt::LeftButton, Qt::NoButton);
  QCoreApplication::processEvents();  // the moves posted meanwhile
  EXPECT_EQ(start + QPoint(30, 40), window.pos());

  QPoint moved = window.pos();
  send(QEvent::MouseButtonPress, QPoint(200, 28), Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, QPoint(260, 90), Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, QPoint(260, 90), Qt::LeftButton, Qt::NoButton);
  QCoreApplication::processEvents();  // the moves posted meanwhile
  EXPECT_EQ(moved, window.pos());
}

TEST_F(MainWindowTest, StatusLabelTurnsYellowAndGrowsOnlyWhenAsked) {
  ServeList({{"a.bin", Content(1000, 12)}});
  CQTXDownloaderDlg& window = Open(Options());
  EXPECT_EQ(QColor(0xEF, 0xEF, 0xEF), window.LabelTextColor(DialogLabel::kSpeed));
  window.SetStatusFinished();
  EXPECT_EQ(QColor(255, 255, 0), window.LabelTextColor(DialogLabel::kSpeed));
  EXPECT_EQ(QRect(456, 173, 270, 14), window.Geometry(DialogLabel::kSpeed));
  window.SetStatusEnlarged();
  EXPECT_EQ(QRect(456, 173, 270, 42), window.Geometry(DialogLabel::kSpeed));
}

TEST_F(MainWindowTest, LabelsShowTheirTextsOnRefreshOnly) {
  ServeList({{"a.bin", Content(1000, 13)}});
  CQTXDownloaderDlg& window = Open(Options());
  window.SetLabel(DialogLabel::kElapsed, QStringLiteral("01:02:03"));
  EXPECT_NE(QStringLiteral("01:02:03"), window.LabelText(DialogLabel::kElapsed));
  window.Refresh();
  EXPECT_EQ(QStringLiteral("01:02:03"), window.LabelText(DialogLabel::kElapsed));
}

TEST_F(MainWindowTest, SpeedGraphKeepsTheLast68SamplesCappedAt100) {
  ServeList({{"a.bin", Content(1000, 14)}});
  CQTXDownloaderDlg& window = Open(Options());
  window.AddSpeedSample(250);
  QVector<int> samples = window.SpeedSamples();
  ASSERT_EQ(68, samples.size());
  EXPECT_EQ(100, samples.back());
  for (int i = 1; i <= 68; ++i) window.AddSpeedSample(i);
  samples = window.SpeedSamples();
  EXPECT_EQ(1, samples.front());
  EXPECT_EQ(68, samples.back());
}

}  // namespace
