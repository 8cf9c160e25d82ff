// orba-downloader: the downloader window, or the same download without a window (--headless).
#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "app/ApplicationOptions.h"
#include "app/CQTXDownloaderDlg.h"
#include "app/CommandLine.h"
#include "app/HeadlessView.h"
#include "app/SingleInstance.h"
#include "platform/Terminal.h"

namespace {

void Print(std::FILE* stream, const QString& text) {
  QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

// The arguments as the program received them.
QStringList Arguments(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  return arguments;
}

int RunWindow(const CommandLine& line) {
  MainDialogOptions options = DefaultDialogOptions(line.fileListUrl);
  // One window per built-in list, whatever list this start names.
  SingleInstance instance(WindowInstanceName(BuiltInFileListUrl()));
  if (!instance.IsFirst()) {
    ShowMessageBox(nullptr, MessageRequest{QStringLiteral("正在進行下載作業"), options.applicationName,
                                           MessageIcon::kExclamation, MessageButtons::kOk});
    instance.ActivateFirst();
    return 1;
  }
  CQTXDownloaderDlg dialog(options);
  if (line.start) {
    QString destination =
        line.destination.isEmpty() ? QString() : QFileInfo(line.destination).absoluteFilePath();
    // ORBA_SCREENSHOT_FILE: the documentation's picture of the window in the middle of the download.
    dialog.SetAutomation(
        WindowAutomation{true, destination, line.install, qEnvironmentVariable("ORBA_SCREENSHOT_FILE")});
  }
  QObject::connect(&instance, &SingleInstance::activationRequested, &dialog, [&dialog] {
    dialog.Activate();
    // A message box the window shows comes to the front with it.
    QWidget* popup = QApplication::activeModalWidget();
    if (popup != nullptr && popup != &dialog) {
      popup->raise();
      popup->activateWindow();
    }
  });
  return dialog.Run();
}

int RunHeadless(const CommandLine& line) {
  HeadlessOptions options;
  options.destination = line.destination;
  options.noConsent = line.noConsent;
  options.install = line.install;
  options.terminal = platform::StandardOutputIsTerminal();
  HeadlessView view(DefaultDialogOptions(line.fileListUrl), options);
  return view.Run();
}

}  // namespace

int main(int argc, char** argv) {
  // Qt takes its own options (-platform, -session, -style, ...) out of the arguments when its
  // application object is made, so ours are read from what it leaves. Which object that is
  // depends on ours: a run without a window needs no window system.
  CommandLine wanted = ParseCommandLine(Arguments(argc, argv));
  std::unique_ptr<QCoreApplication> application;
  if (wanted.headless || wanted.help) {
    application = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    application = std::make_unique<QApplication>(argc, argv);
  }
  CommandLine line = ParseCommandLine(QCoreApplication::arguments().mid(1));
  QString program = QStringLiteral("orba-downloader");
  if (line.help) {
    Print(stdout, CommandLineHelp(program));
    return 0;
  }
  if (!line.error.isEmpty()) {
    Print(stderr, QStringLiteral("%1: %2\n\n").arg(program, line.error) + CommandLineHelp(program));
    return 2;
  }
  // Only a window needs the window system's application object.
  if (!line.headless && qobject_cast<QApplication*>(application.get()) == nullptr) {
    Print(stderr, QStringLiteral("%1: the arguments ask for a window and for none\n").arg(program));
    return 2;
  }
  return line.headless ? RunHeadless(line) : RunWindow(line);
}
