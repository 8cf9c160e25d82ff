#include "app/HeadlessView.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include "app/LibraryEventBridge.h"

namespace {

constexpr int kBarWidth = 20;
// A terminal is redrawn often enough to look alive; a log gets one line per second.
constexpr int64_t kTerminalDrawMs = 200;
constexpr int64_t kLineDrawMs = 1000;

QString Bar(int percent) {
  int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  int filled = clamped * kBarWidth / 100;
  return QStringLiteral("[%1%2] %3%")
      .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('-')))
      .arg(clamped, 3);
}

}  // namespace

HeadlessView::HeadlessView(MainDialogOptions dialogOptions, HeadlessOptions options, std::FILE* out,
                           std::FILE* err)
    : dialogOptions_(std::move(dialogOptions)), options_(std::move(options)), out_(out), err_(err) {
  clock_.start();
}

HeadlessView::~HeadlessView() {
  // The controller's last steps must not reach a view that is being destroyed.
  if (controller_) controller_->Shutdown();
  controller_.reset();
  bridge_.reset();
}

int HeadlessView::Run() {
  // A relative folder would depend on where the library happens to resolve it.
  if (!options_.destination.isEmpty())
    options_.destination = QFileInfo(options_.destination).absoluteFilePath();
  QString folder = options_.destination.isEmpty() ? dialogOptions_.defaultFolder : options_.destination;
  controller_ = std::make_unique<MainDialogController>(*this, dialogOptions_);
  // Two downloads writing the same files would spoil each other: the folder is claimed before
  // anything is fetched (the job's start keeps the same claim).
  if (!controller_->LockFolder(folder)) return 1;

  bridge_ = std::make_unique<LibraryEventBridge>(
      [this](int32_t code, intptr_t lParam) { OnLibraryEvent(code, lParam); });
  if (!controller_->Start(bridge_->Window())) {
    End(1);  // the controller has said why and asked to quit already
    return exitCode_;
  }
  if (options_.noConsent) {
    // As a user clearing the box: the confirmation is answered with yes.
    askingConsent_ = true;
    controller_->OnConsentClicked(false);
    askingConsent_ = false;
  }
  if (!ended_) {
    QEventLoop loop;
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
  }
  CloseStatusLine();
  controller_->Shutdown();
  return exitCode_;
}

void HeadlessView::OnLibraryEvent(int32_t code, intptr_t lParam) {
  if (ended_) return;
  controller_->OnLibraryEvent(code, lParam);
  if (ended_) return;
  switch (code) {
    case DL_EV_SIZE_CHECK_DONE:
      BeginDownload();
      break;
    case DL_EV_JOB_NOTICE:
      // The job does not go on after these: waiting would never end.
      if (controller_->LastNotice() == DL_NOTE_DISK_FULL ||
          controller_->LastNotice() == DL_NOTE_DOWNLOAD_FAILED) {
        End(1);
      }
      break;
    case DL_EV_JOB_DONE:
      if (controller_->Finished()) OnJobFinished();
      break;
    default:
      break;
  }
  ShowEngineEvent(code);
}

void HeadlessView::ShowEngineEvent(int32_t code) {
  QString line;
  switch (code) {
    case DL_EV_ENGINE_UPDATE_FILE:
      line = QStringLiteral("engine update: fetching a file");
      updateProgressShown_ = false;
      break;
    case DL_EV_ENGINE_UPDATE_PROGRESS:
      // Reported for every piece received: one line per file is enough.
      if (updateProgressShown_) return;
      updateProgressShown_ = true;
      line = QStringLiteral("engine update: receiving");
      break;
    case DL_EV_ENGINE_READY:
      line = QStringLiteral("engine ready: the download goes through the high-speed engine");
      break;
    case DL_EV_ENGINE_UPDATE_FAILED:
      line = QStringLiteral("engine update failed: the download goes direct");
      break;
    case DL_EV_ENGINE_PATH_FAILED:
      line = QStringLiteral("the engine's folder cannot be used: the download goes direct");
      break;
    case DL_EV_ENGINE_MODE:
      line = QStringLiteral("engine mode changed");
      break;
    case DL_EV_JOB_NOTICE:
      if (controller_->LastNotice() != DL_NOTE_ENGINE_FALLBACK) return;
      line = QStringLiteral("the engine gave the job back: the download goes direct");
      break;
    default:
      return;
  }
  CloseStatusLine();
  Write(out_, line + QLatin1Char('\n'));
}

void HeadlessView::BeginDownload() {
  // The size check has just put the default folder back; the chosen one applies from here on.
  if (!options_.destination.isEmpty() && !controller_->SetDestinationFolder(options_.destination)) {
    End(1);
    return;
  }
  Write(out_, QStringLiteral("%1 file(s), %2, into %3\n")
                  .arg(QString::number(controller_->Lines().size()), labels_[DialogLabel::kTotal],
                       controller_->DestinationFolder()));
  controller_->OnStartStop();
  if (controller_->StartResult() != DL_OK) {
    End(1, QStringLiteral("The download could not start in %1").arg(controller_->DestinationFolder()));
    return;
  }
  downloading_ = true;
  Draw(true);
}

void HeadlessView::OnJobFinished() {
  Draw(true);
  CloseStatusLine();
  qsizetype done = controller_->CompletedFiles().size();
  qsizetype count = controller_->Lines().size();
  if (done < count) {
    End(1, QStringLiteral("%1 of %2 files completed").arg(done).arg(count));
    return;
  }
  if (!options_.install) {
    End(0);
    return;
  }
  controller_->OnInstall();
}

void HeadlessView::Launch() {
  if (ended_) return;
  launching_ = true;
  int before = messages_;
  controller_->OnLaunch();
  // The controller ends the run through Quit; a start that failed without a message gets one.
  if (!controller_->InstallerStarted() && messages_ == before) {
    End(1, QStringLiteral("The installer %1 could not be started").arg(controller_->InstallerPath()));
  }
}

void HeadlessView::End(int exitCode, const QString& message) {
  if (!message.isEmpty()) {
    CloseStatusLine();
    Write(err_, message + QLatin1Char('\n'));
  }
  if (ended_) return;
  ended_ = true;
  exitCode_ = exitCode;
  if (loop_ != nullptr) loop_->exit(exitCode);
}

QString HeadlessView::StatusLine() const {
  auto label = [this](DialogLabel which) {
    auto it = labels_.find(which);
    return it != labels_.end() ? it->second : QString();
  };
  return QStringLiteral("%1  %2 / %3  %4  elapsed %5  remaining %6  file %7  total %8")
      .arg(label(DialogLabel::kFile), label(DialogLabel::kDownloaded), label(DialogLabel::kTotal),
           label(DialogLabel::kSpeed), label(DialogLabel::kElapsed), label(DialogLabel::kRemaining),
           Bar(filePercent_), Bar(jobPercent_));
}

void HeadlessView::Draw(bool force) {
  if (!downloading_) return;
  int64_t now = clock_.elapsed();
  int64_t interval = options_.terminal ? kTerminalDrawMs : kLineDrawMs;
  if (!force && drawn_ && now - lastDrawMs_ < interval) return;
  lastDrawMs_ = now;
  drawn_ = true;
  if (options_.terminal) {
    // Back to the line's start, the new text, then erase what a longer old text left behind.
    Write(out_, QStringLiteral("\r") + StatusLine() + QStringLiteral("\x1b[K"));
    lineOpen_ = true;
  } else {
    Write(out_, StatusLine() + QLatin1Char('\n'));
  }
}

void HeadlessView::CloseStatusLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  Write(out_, QStringLiteral("\n"));
}

void HeadlessView::Write(std::FILE* stream, const QString& text) {
  QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
  std::fflush(stream);
}

void HeadlessView::SetLabel(DialogLabel label, const QString& text) { labels_[label] = text; }

void HeadlessView::SetProgress(ProgressBar bar, int percent) {
  (bar == ProgressBar::kFile ? filePercent_ : jobPercent_) = percent;
}

void HeadlessView::AddSpeedSample(int64_t /*megabitsPerSecond*/) {}
void HeadlessView::SetButtonEnabled(DialogButton /*button*/, bool /*enabled*/) {}
void HeadlessView::SetStartButtonShowsStop(bool /*stop*/) {}
void HeadlessView::SetConsentChecked(bool /*checked*/) {}
void HeadlessView::SetStatusFinished() {}
void HeadlessView::SetStatusEnlarged() {}
void HeadlessView::CenterWindow() {}

void HeadlessView::Refresh() { Draw(false); }

MessageAnswer HeadlessView::ShowMessage(const QString& text, const QString& caption, MessageIcon /*icon*/,
                                        MessageButtons buttons) {
  ++messages_;
  MessageAnswer answer = MessageAnswer::kOk;
  QString shown;
  if (buttons == MessageButtons::kYesNo) {
    // The only questions are the consent confirmation and the close confirmations.
    bool yes = askingConsent_ ? options_.noConsent : true;
    answer = yes ? MessageAnswer::kYes : MessageAnswer::kNo;
    shown = yes ? QStringLiteral(" [是]") : QStringLiteral(" [否]");
  }
  CloseStatusLine();
  Write(err_, caption + QStringLiteral(": ") + text + shown + QLatin1Char('\n'));
  return answer;
}

void HeadlessView::AskResume(bool* resume, bool* applyToAll) {
  *resume = true;
  *applyToAll = true;
  CloseStatusLine();
  Write(err_, QStringLiteral("下載的檔案已存在。 是否繼續上次的下載？ [確認] [適用整體檔案]\n"));
}

FolderChoice HeadlessView::ChooseFolder(const QString& /*currentFolder*/, const QString& /*requiredSize*/) {
  return FolderChoice{};
}

void HeadlessView::Quit(int exitCode) {
  if (launching_) {
    // Ending after the launch is a success only when the installer really started.
    End(controller_->InstallerStarted() ? 0 : 1);
    return;
  }
  End(exitCode);
}

void HeadlessView::CloseWindow() { End(1); }

void HeadlessView::PostLaunch() {
  CloseStatusLine();
  auto it = labels_.find(DialogLabel::kSpeed);
  if (it != labels_.end()) Write(out_, it->second + QLatin1Char('\n'));
  // After the current event, as the window shows the install text before the launch.
  QTimer::singleShot(0, bridge_.get(), [this] { Launch(); });
}
