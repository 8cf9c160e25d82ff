// The window's smaller dialogs run modally as a user meets them: the resume question, the
// folder chooser with its free-space text, the standard message box behind the seam, and the
// banner view against a real local server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>

#include "app/CQTXDownloaderDlg.h"
#include "app/CResumeDlg.h"
#include "app/FolderBrowserDialog.h"
#include "app/Formats.h"
#include "app/widgets/BannerView.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using guitest::WaitUntil;
using testsupport::HttpResourceOptions;

HttpResourceOptions Typed(const std::string& contentType) {
  HttpResourceOptions options;
  options.contentType = contentType;
  return options;
}

// Runs `action` once the modal dialog of the current test is up.
void WhenModal(std::function<void(QWidget*)> action) {
  QTimer::singleShot(0, [action = std::move(action)] {
    ASSERT_TRUE(WaitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000));
    action(QApplication::activeModalWidget());
  });
}

void PressKey(QWidget* widget, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QCoreApplication::sendEvent(widget, &press);
}

// ---- the resume question

TEST(ResumeDialogTest, ShowsItsTextsWithTheBoxChecked) {
  CResumeDlg dialog;
  EXPECT_EQ(QStringLiteral("이어받기 "), dialog.windowTitle());
  EXPECT_EQ(QStringLiteral("適用整體檔案"), dialog.ApplyToAllBox()->text());
  EXPECT_TRUE(dialog.ApplyToAllBox()->isChecked());
  EXPECT_EQ(QStringLiteral("下載的檔案已存在。"), dialog.ExistsText()->text());
  EXPECT_EQ(QStringLiteral("是否繼續上次的下載？"), dialog.QuestionText()->text());
  EXPECT_EQ(QStringLiteral("確認"), dialog.ConfirmButton()->text());
  EXPECT_EQ(QStringLiteral("取消"), dialog.CancelButton()->text());
  EXPECT_TRUE(dialog.Resume());
  EXPECT_TRUE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, TitleBarCloseResumesWithTheBoxAsItIs) {
  CResumeDlg dialog;
  WhenModal([&](QWidget*) {
    dialog.ApplyToAllBox()->click();
    dialog.close();
  });
  EXPECT_EQ(QDialog::Rejected, dialog.exec());
  EXPECT_TRUE(dialog.Resume());
  EXPECT_FALSE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, EscResumesForAllWhateverTheBoxSays) {
  CResumeDlg dialog;
  WhenModal([&](QWidget*) {
    dialog.ApplyToAllBox()->click();
    PressKey(&dialog, Qt::Key_Escape);
  });
  EXPECT_EQ(QDialog::Rejected, dialog.exec());
  EXPECT_TRUE(dialog.Resume());
  EXPECT_TRUE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, EnterKeepsBothAnswersWhateverTheBoxSays) {
  CResumeDlg dialog;
  WhenModal([&](QWidget*) {
    dialog.ApplyToAllBox()->click();
    PressKey(&dialog, Qt::Key_Return);
  });
  EXPECT_EQ(QDialog::Accepted, dialog.exec());
  EXPECT_TRUE(dialog.Resume());
  EXPECT_TRUE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, ClearedBoxAndCancelStartOverForThisFileOnly) {
  CResumeDlg dialog;
  WhenModal([&](QWidget*) {
    dialog.ApplyToAllBox()->click();
    dialog.CancelButton()->click();
  });
  dialog.exec();
  EXPECT_FALSE(dialog.Resume());
  EXPECT_FALSE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, ConfirmResumesForAll) {
  CResumeDlg dialog;
  WhenModal([&](QWidget*) { dialog.ConfirmButton()->click(); });
  dialog.exec();
  EXPECT_TRUE(dialog.Resume());
  EXPECT_TRUE(dialog.ApplyToAll());
}

TEST(ResumeDialogTest, TheWindowAsksThroughTheResumeDialog) {
  CQTXDownloaderDlg window(MainDialogOptions{});
  WhenModal([](QWidget* modal) {
    auto* question = qobject_cast<CResumeDlg*>(modal);
    ASSERT_NE(nullptr, question);
    question->ApplyToAllBox()->click();
    question->CancelButton()->click();
  });
  bool resume = true;
  bool applyToAll = true;
  window.AskResume(&resume, &applyToAll);
  EXPECT_FALSE(resume);
  EXPECT_FALSE(applyToAll);
}

// ---- the folder chooser

TEST(FolderBrowserTest, InstructionNamesTheRequiredSizeAndThenTheFreeSpace) {
  EXPECT_EQ(QStringLiteral("至少需要 1.50 MB 容量。\n"), FolderInstructionText(QStringLiteral("1.50 MB")));
  EXPECT_EQ(QStringLiteral("至少需要 1.50 MB 容量。\n剩餘容量：2.00 KB"),
            FolderInstructionText(QStringLiteral("1.50 MB"), 2048));
  EXPECT_EQ(QStringLiteral("至少需要 0 Bytes 容量。\n剩餘容量：0 Bytes"),
            FolderInstructionText(QStringLiteral("0 Bytes"), 0));
}

TEST(FolderBrowserTest, WithoutASelectionOnlyTheRequiredSizeShows) {
  FolderBrowserDialog browser(QString(), QStringLiteral("3.00 GB"));
  EXPECT_EQ(QStringLiteral("至少需要 3.00 GB 容量。\n"), browser.InstructionText());
  EXPECT_TRUE(browser.SelectedFolder().isEmpty());
}

// The free space of a busy disk moves while the test reads it; the text must match one reading
// taken around the selection.
void ExpectFreeSpaceText(FolderBrowserDialog& browser, const QString& folder) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    QString before = FolderInstructionText(QStringLiteral("1.00 MB"), FolderFreeBytes(folder));
    browser.SelectFolder(QDir::rootPath());
    browser.SelectFolder(folder);
    QString after = FolderInstructionText(QStringLiteral("1.00 MB"), FolderFreeBytes(folder));
    if (browser.InstructionText() == before || browser.InstructionText() == after) return;
  }
  ADD_FAILURE() << browser.InstructionText().toStdString();
}

TEST(FolderBrowserTest, EverySelectionShowsTheFreeSpaceOfItsFileSystem) {
  testsupport::TempFolder folder;
  QString path = QString::fromStdString(folder.Path());
  EXPECT_GT(FolderFreeBytes(path), 0);
  FolderBrowserDialog browser(path, QStringLiteral("1.00 MB"));
  EXPECT_EQ(path, browser.SelectedFolder());
  EXPECT_TRUE(browser.InstructionText().startsWith(QStringLiteral("至少需要 1.00 MB 容量。\n剩餘容量：")));
  ExpectFreeSpaceText(browser, path);

  QDir(path).mkdir(QStringLiteral("sub"));
  browser.SelectFolder(path + QStringLiteral("/sub"));
  EXPECT_EQ(path + QStringLiteral("/sub"), browser.SelectedFolder());
  ExpectFreeSpaceText(browser, path + QStringLiteral("/sub"));
}

TEST(FolderBrowserTest, FreeSpaceOfAFolderThatDoesNotExistIsZero) {
  EXPECT_EQ(0, FolderFreeBytes(QStringLiteral("/nonexistent-orba-folder/deeper")));
}

TEST(FolderBrowserTest, TheWindowReturnsTheFolderChosenInTheBrowser) {
  testsupport::TempFolder folder;
  QString current = QString::fromStdString(folder / "current");
  QString chosen = QString::fromStdString(folder / "chosen");
  QDir().mkpath(current);
  QDir().mkpath(chosen);
  CQTXDownloaderDlg window(MainDialogOptions{});
  QString shownText;
  WhenModal([&](QWidget* modal) {
    auto* browser = qobject_cast<FolderBrowserDialog*>(modal);
    ASSERT_NE(nullptr, browser);
    EXPECT_EQ(current, browser->SelectedFolder());
    browser->SelectFolder(chosen);
    shownText = browser->InstructionText();
    browser->accept();
  });
  FolderChoice choice = window.ChooseFolder(current + QLatin1Char('/'), QStringLiteral("2.00 MB"));
  EXPECT_TRUE(choice.chosen);
  EXPECT_EQ(chosen, choice.path);
  EXPECT_TRUE(shownText.startsWith(QStringLiteral("至少需要 2.00 MB 容量。\n剩餘容量：")));

  WhenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
  EXPECT_FALSE(window.ChooseFolder(current, QStringLiteral("2.00 MB")).chosen);
}

// ---- the standard message box

TEST(MessageBoxTest, YesNoBoxCarriesCaptionIconAndTextAndAnswersNo) {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttonCount = 0;
  WhenModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(nullptr, box);
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttonCount = static_cast<int>(box->buttons().size());
    box->button(QMessageBox::No)->click();
  });
  MessageAnswer answer =
      ShowMessageBox(nullptr, {QStringLiteral("確定要關閉視窗嗎？"), QStringLiteral("ORBA"),
                               MessageIcon::kInformation, MessageButtons::kYesNo});
  EXPECT_EQ(MessageAnswer::kNo, answer);
  EXPECT_EQ(QStringLiteral("ORBA"), title);
  EXPECT_EQ(QStringLiteral("確定要關閉視窗嗎？"), text);
  EXPECT_EQ(QMessageBox::Information, icon);
  EXPECT_EQ(2, buttonCount);
}

TEST(MessageBoxTest, OkBoxWithTheExclamationIcon) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttonCount = 0;
  WhenModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(nullptr, box);
    icon = box->icon();
    buttonCount = static_cast<int>(box->buttons().size());
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(MessageAnswer::kOk,
            ShowMessageBox(nullptr, {QStringLiteral("尚未結束下載。"), QStringLiteral("orba-downloader"),
                                     MessageIcon::kExclamation, MessageButtons::kOk}));
  EXPECT_EQ(QMessageBox::Warning, icon);
  EXPECT_EQ(1, buttonCount);
}

TEST(MessageBoxTest, TheWindowUsesTheStandardBoxWithoutASeam) {
  CQTXDownloaderDlg window(MainDialogOptions{});
  QString text;
  WhenModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(nullptr, box);
    text = box->text();
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(MessageAnswer::kYes,
            window.ShowMessage(QStringLiteral("您的網路狀態不佳"), QStringLiteral("ORBA"), MessageIcon::kNone,
                               MessageButtons::kYesNo));
  EXPECT_EQ(QStringLiteral("您的網路狀態不佳"), text);
}

// ---- the banner view

// A GIF of two 1 x 1 frames (white, then black) that loops.
std::string AnimatedGif() {
  static const unsigned char kGif[] = {
      'G',  'I',  'F',  '8',  '9',  'a',  0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00,  // screen, 2-colour table
      0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,                                            // white, black
      0x21, 0xFF, 0x0B, 'N',  'E',  'T',  'S',  'C',  'A',  'P',  'E',  '2',  '.',  '0',
      0x03, 0x01, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00,  // 100 ms
      0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01,
      0x00, 0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x4C, 0x01, 0x00, 0x3B};
  return std::string(reinterpret_cast<const char*>(kGif), sizeof kGif);
}

std::string PngOfSize(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(QColor(20, 40, 60));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

class BannerViewTest : public ::testing::Test {
 protected:
  // Navigates and waits for the end of the fetch; true when a picture is shown.
  bool Load(const std::string& url) {
    int ends = 0;
    bool shown = false;
    QMetaObject::Connection connection = QObject::connect(&view_, &BannerView::loaded, [&](bool picture) {
      ++ends;
      shown = picture;
    });
    view_.Navigate(QString::fromStdString(url));
    EXPECT_TRUE(WaitUntil([&] { return ends > 0; }, 15000));
    QObject::disconnect(connection);
    EXPECT_EQ(1, ends);
    return shown;
  }

  testsupport::HttpFileServer server_;
  BannerView view_;
};

TEST_F(BannerViewTest, AnimatedGifPlays) {
  server_.AddResource("/ORBA.gif", AnimatedGif(), Typed("image/gif"));
  ASSERT_TRUE(Load(server_.Url("/ORBA.gif")));
  EXPECT_TRUE(view_.HasPicture());
  EXPECT_TRUE(view_.IsAnimated());
  EXPECT_EQ(QSize(1, 1), view_.PictureSize());
  ASSERT_NE(nullptr, view_.movie());
  EXPECT_EQ(2, view_.movie()->frameCount());
  EXPECT_EQ(QMovie::Running, view_.movie()->state());
}

TEST_F(BannerViewTest, StillPictureIsScaledIntoTheAreaWithoutScrolling) {
  server_.AddResource("/banner.png", PngOfSize(500, 600), Typed("image/png"));
  view_.setGeometry(9, 3, 383, 442);
  ASSERT_TRUE(Load(server_.Url("/banner.png")));
  EXPECT_FALSE(view_.IsAnimated());
  EXPECT_EQ(QSize(500, 600), view_.PictureSize());
  EXPECT_EQ(QSize(368, 442), view_.pixmap().size()) << "proportions kept, the height fills the area";
  EXPECT_EQ(QSize(383, 442), view_.size());
}

TEST_F(BannerViewTest, MissingPictureLeavesTheAreaEmpty) {
  ASSERT_FALSE(Load(server_.Url("/ORBA.gif")));
  EXPECT_FALSE(view_.HasPicture());
  EXPECT_TRUE(view_.pixmap().isNull());
  EXPECT_EQ(nullptr, view_.movie());
}

TEST_F(BannerViewTest, UnreadableBytesLeaveTheAreaEmpty) {
  server_.AddResource("/ORBA.gif", "GIF89a but not really a picture", Typed("image/gif"));
  ASSERT_FALSE(Load(server_.Url("/ORBA.gif")));
  EXPECT_FALSE(view_.HasPicture());
}

TEST_F(BannerViewTest, UnreachableServerLeavesTheAreaEmpty) {
  testsupport::ClosedPort closed;
  ASSERT_FALSE(Load("http://127.0.0.1:" + std::to_string(closed.Port()) + "/ORBA.gif"));
  EXPECT_FALSE(view_.HasPicture());
}

}  // namespace
