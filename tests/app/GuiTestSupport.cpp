#include "tests/app/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/WaitUntil.h"

namespace guitest {
namespace {

// Windows need a QApplication, and no test may need a display: the offscreen platform unless the
// caller chose one (a screenshot run under xvfb-run chooses xcb).
class GuiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    folders_ = std::make_unique<testsupport::IsolatedUserFolders>();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (QCoreApplication::instance() == nullptr) application_ = std::make_unique<QApplication>(argc_, argv_);
    ASSERT_NE(nullptr, qobject_cast<QApplication*>(QCoreApplication::instance()))
        << "the window tests need a QApplication, not a plain QCoreApplication";
    // A window ending must not end the application that the next test still uses.
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    application_.reset();
    folders_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "orba_app_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
  std::unique_ptr<testsupport::IsolatedUserFolders> folders_;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace

void Pump(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  return testsupport::WaitUntil(done, timeoutMs, [] {
    Pump(10);
    return true;
  });
}

void PaintBackground(QWidget& widget, const QColor& colour) {
  widget.setAutoFillBackground(true);
  QPalette colours = widget.palette();
  colours.setColor(QPalette::Window, colour);
  widget.setPalette(colours);
}

}  // namespace guitest
