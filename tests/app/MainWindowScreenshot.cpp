// Not a test of the suite: renders the window in the middle of a download into a PNG file for the
// documentation. Run it by hand, under a virtual display:
//
//   ORBA_SCREENSHOT_FILE=docs/main-window.png QT_QPA_PLATFORM=xcb xvfb-run -a
//     build/tests/orba_app_tests --gtest_also_run_disabled_tests --gtest_filter='MainWindowScreenshot.*'
#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <memory>
#include <string>
#include <vector>

#include "app/CQTXDownloaderDlg.h"
#include "app/widgets/BannerView.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ScopedEnvironment;

// A banner picture of the size the frame leaves visible.
std::string BannerPng() {
  QImage image(354, 413, QImage::Format_RGB32);
  QPainter painter(&image);
  QLinearGradient sky(0, 0, 0, image.height());
  sky.setColorAt(0, QColor(18, 32, 58));
  sky.setColorAt(0.6, QColor(64, 38, 78));
  sky.setColorAt(1, QColor(196, 98, 52));
  painter.fillRect(image.rect(), sky);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(12, 14, 22));
  painter.drawPolygon(QPolygon({QPoint(0, 413), QPoint(0, 300), QPoint(70, 250), QPoint(130, 310),
                                QPoint(210, 220), QPoint(290, 300), QPoint(354, 260), QPoint(354, 413)}));
  painter.setPen(QColor(240, 214, 120));
  QFont title(QStringLiteral("DejaVu Serif"));
  title.setPixelSize(64);
  title.setBold(true);
  painter.setFont(title);
  painter.drawText(QRect(0, 60, 354, 90), Qt::AlignCenter, QStringLiteral("ORBA"));
  painter.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

std::string Content(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

TEST(MainWindowScreenshot, DISABLED_MidDownload) {
  QString target = qEnvironmentVariable("ORBA_SCREENSHOT_FILE");
  if (target.isEmpty()) GTEST_SKIP() << "ORBA_SCREENSHOT_FILE names the picture to write";

  testsupport::ClosedPort relay;
  ScopedEnvironment network("ORBA_NETWORK_STATE", std::string("online"));
  ScopedEnvironment relayHost("ORBA_RELAY_HOST", std::string("127.0.0.1"));
  ScopedEnvironment relayPort("ORBA_RELAY_PORT", std::to_string(relay.Port()));
  testsupport::TempFolder folder;
  testsupport::HttpFileServer server;
  server.AddResource("/ORBA.png", BannerPng());
  ScopedEnvironment banner("ORBA_BANNER_URL", server.Url("/ORBA.png"));
  testsupport::HttpResourceOptions paced;
  paced.bytesPerSecond = 3 * 1024 * 1024;
  const std::vector<std::pair<std::string, size_t>> files = {
      {"ORBA_Client_1.bin", 16u << 20}, {"ORBA_Client_2.bin", 16u << 20}, {"ORBA_Setup.exe", 200u << 10}};
  std::string list;
  uint32_t seed = 1;
  for (const auto& [name, size] : files) {
    server.AddResource("/download/orba/" + name, Content(size, seed++), paced);
    list += server.Url("/download/orba/" + name) + "\r\n";
  }
  server.AddResource("/download/orba/qtxdownload/filelist.txt", list);

  MainDialogOptions options;
  options.fileListUrl = QString::fromStdString(server.Url("/download/orba/qtxdownload/filelist.txt"));
  // A short folder, as a player's would be, instead of the long name of a test folder.
  QDir portal(QDir::tempPath() + QStringLiteral("/velmoor"));
  ASSERT_FALSE(portal.exists()) << portal.path().toStdString();
  struct RemoveAfter {
    QDir dir;
    ~RemoveAfter() { dir.removeRecursively(); }
  } removeAfter{portal};
  options.defaultFolder = portal.filePath(QStringLiteral("ORBA"));
  options.engineFolder = QString::fromStdString(folder / "engine");
  CQTXDownloaderDlg window(options);
  window.SetMessageSeam([](const MessageRequest& request) {
    ADD_FAILURE() << request.text.toStdString();
    return MessageAnswer::kNo;
  });
  window.Begin();
  ASSERT_TRUE(guitest::WaitUntil([&] { return !window.LabelText(DialogLabel::kTotal).isEmpty(); }));
  ASSERT_TRUE(guitest::WaitUntil([&] { return window.Banner()->HasPicture(); }));
  window.Button(DialogButton::kStart)->click();
  ASSERT_TRUE(guitest::WaitUntil(
      [&] {
        return window.ProgressValue(ProgressBar::kJob) >= 55 &&
               window.ProgressValue(ProgressBar::kFile) >= 10;
      },
      60000));
  guitest::Pump(100);
  QPixmap picture = window.grab();
  ASSERT_TRUE(picture.save(target, "PNG")) << target.toStdString();
  window.Button(DialogButton::kStart)->click();  // stop before the window goes
}

}  // namespace
