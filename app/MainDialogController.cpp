#include "app/MainDialogController.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include "app/FileListParser.h"
#include "app/Formats.h"
#include "app/SingleInstance.h"
#include "platform/Process.h"

namespace {

QByteArray Local(const QString& text) { return text.toUtf8(); }

QString WithSeparator(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder.append(QLatin1Char('/'));
  return folder;
}

// The folder as the library writes it: either separator counts, a trailing '/' is added.
QString LibraryFolder(QString folder) {
  folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return WithSeparator(folder);
}

// The name the library gives a line's file: the last path segment of the trimmed URL, without
// its query or fragment.
QString LibraryFileName(const QString& line) {
  QString url = line.trimmed();
  for (QChar end : {QLatin1Char('?'), QLatin1Char('#')}) {
    qsizetype at = url.indexOf(end);
    if (at >= 0) url.truncate(at);
  }
  qsizetype slash = url.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? QString() : url.mid(slash + 1);
}

// A name that stays inside its folder and that the file systems we write to can hold.
bool IsUsableFileName(const QString& name) {
  constexpr qsizetype kMaxName = 259;
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  if (name.contains(QLatin1Char('\\')) || name.toUtf8().size() > kMaxName) return false;
  return true;
}

// The same folder, however it was written.
bool SameFolder(const QString& a, const QString& b) {
  QString cleanA = QDir::cleanPath(QFileInfo(a).absoluteFilePath());
  QString cleanB = QDir::cleanPath(QFileInfo(b).absoluteFilePath());
  if (cleanA == cleanB) return true;
  QString canonicalA = QFileInfo(cleanA).canonicalFilePath();
  return !canonicalA.isEmpty() && canonicalA == QFileInfo(cleanB).canonicalFilePath();
}

}  // namespace

MainDialogController::MainDialogController(MainDialogView& view, MainDialogOptions options)
    : view_(view), options_(std::move(options)) {
  folder_ = WithSeparator(options_.defaultFolder);
  consent_ = options_.consent ? QStringLiteral("2") : QStringLiteral("1");
}

MainDialogController::~MainDialogController() { Shutdown(); }

MessageAnswer MainDialogController::Message(const QString& text, const QString& caption, MessageIcon icon,
                                            MessageButtons buttons) {
  return view_.ShowMessage(text, caption, icon, buttons);
}

void MainDialogController::AppMessage(const QString& text) {
  view_.ShowMessage(text, options_.applicationName, MessageIcon::kExclamation, MessageButtons::kOk);
}

void MainDialogController::FailAndQuit(const QString& text, bool applicationCaption) {
  if (applicationCaption) {
    Message(text, options_.applicationName);
  } else {
    Message(text);
  }
  StopJob();
  view_.Quit(1);
}

bool MainDialogController::Start(DownloadLibWindow window) {
  int32_t initialised = DownloadLibInitialize(window, nullptr, nullptr);
  if (initialised != DL_OK) {
    // A failed start leaves the library registered, its worker maybe still starting: finalised
    // at once, unless the library is another owner's that refused a second start.
    if (initialised != DL_ERR_ALREADY_INITIALIZED) DownloadLibFinalize();
    AppMessage(QStringLiteral("初始化失敗。"));
    view_.Quit(1);
    return false;
  }
  initialised_ = true;
  if (DownloadLibDownloadData(Local(options_.fileListUrl).constData()) != DL_OK) {
    AppMessage(QStringLiteral("下載檔案目錄失敗。"));
    view_.Quit(1);
    return false;
  }
  view_.SetConsentChecked(consent_ != QLatin1String("1"));
  view_.SetLabel(DialogLabel::kFolder, folder_);
  ShowRunningState();
  return true;
}

void MainDialogController::Shutdown() {
  if (!initialised_) return;
  StopLibraryJob();
  DownloadLibFinalize();
  initialised_ = false;
}

void MainDialogController::OnLibraryEvent(int32_t code, intptr_t lParam) {
  (void)DownloadLibGetUserData();
  auto job = static_cast<JobHandle>(lParam);
  switch (code) {
    case DL_EV_DATA_DONE:
      OnListArrived();
      break;
    case DL_EV_DATA_FAILED:
      FailAndQuit(QStringLiteral("下載檔案目錄失敗"));
      break;
    case DL_EV_SIZE_CHECK_DONE:
      OnSizeKnown();
      break;
    case DL_EV_SIZE_CHECK_FAILED:
      FailAndQuit(QStringLiteral("檔案大小確認失敗"), true);
      break;
    case DL_EV_RESUME_QUERY:
      if (job != 0) OnResumeQuery(job);
      break;
    case DL_EV_JOB_SIZE:
      if (job != 0) {
        JobSizeInfo info{};
        DownloadLibGetJobSizeInfo(job, &info);
        view_.SetLabel(DialogLabel::kRemaining, QStringLiteral("00:00:00"));
        view_.Refresh();
      }
      break;
    case DL_EV_JOB_STATUS:
      if (job != 0) OnStatus(job);
      break;
    case DL_EV_FILE_DONE:
      if (job != 0) OnFileDone(job);
      break;
    case DL_EV_JOB_DONE:
      // A job stopped and deleted while its end was on the way must not finish the window, nor
      // may it end a job started since.
      if (job != 0 && job == job_) OnCompleted(job);
      break;
    case DL_EV_JOB_NOTICE:
      if (job != 0) OnNotice(job);
      break;
    default:
      break;
  }
}

void MainDialogController::OnListArrived() {
  if (listReady_) return;  // the list is read once
  int64_t size = 0;
  if (DownloadLibGetDataSize(&size) != DL_OK || size <= 0 || size > INT32_MAX) {
    FailAndQuit(QStringLiteral("下載檔案目錄失敗"));
    return;
  }
  QByteArray data(static_cast<qsizetype>(size), '\0');
  DataBuffer buffer{data.data(), size};
  if (DownloadLibGetData(&buffer) != DL_OK) {
    FailAndQuit(QStringLiteral("下載檔案目錄失敗"));
    return;
  }
  FileListParse parse = ParseFileList(data);
  switch (parse.outcome) {
    case FileListParse::kLineTooLong:
    case FileListParse::kBadLine:
      FailAndQuit(QStringLiteral("輸入了錯誤的URL"));
      return;
    case FileListParse::kEmpty:
      FailAndQuit(QStringLiteral("下載檔案目錄失敗"));
      return;
    case FileListParse::kOk:
      break;
  }
  if (parse.lines.size() > kMaxListLines) {
    FailAndQuit(QStringLiteral("下載檔案目錄失敗"));
    return;
  }
  lines_ = parse.lines;
  // A line the library could not turn into a file inside the folder would be left out of the
  // job silently, and a job that can never complete would look like one still running.
  if (!LinesNameDistinctFiles()) {
    lines_.clear();
    FailAndQuit(QStringLiteral("輸入了錯誤的URL"));
    return;
  }
  listReady_ = true;
  bool failed = false;
  for (const QString& line : lines_) {
    if (DownloadLibAddSizeCheck(Local(line).constData()) != DL_OK) failed = true;
  }
  // One message for the whole list, not one per line of a hostile list.
  if (failed || DownloadLibStartSizeCheck() != DL_OK) {
    AppMessage(QStringLiteral("檔案大小確認失敗"));
    view_.Quit(1);
  }
}

bool MainDialogController::LinesNameDistinctFiles() const {
  QSet<QString> names;
  for (const QString& line : lines_) {
    QString name = LibraryFileName(line);
    if (!IsUsableFileName(name)) return false;
    // The library tells files apart by their path without letter case.
    QString key = name.toLower();
    if (names.contains(key)) return false;
    names.insert(key);
  }
  return true;
}

void MainDialogController::OnSizeKnown() {
  int64_t total = 0;
  DownloadLibGetSizeCheckTotal(&total);
  requiredSize_ = total;
  view_.SetLabel(DialogLabel::kTotal, FormatSize(static_cast<double>(total)));
  ShowFileLabel();
  view_.SetLabel(DialogLabel::kRemaining, QStringLiteral("00:00:00"));
  view_.SetLabel(DialogLabel::kElapsed, QStringLiteral("00:00:00"));
  view_.SetLabel(DialogLabel::kDownloaded, FormatSize(0));
  view_.SetLabel(DialogLabel::kSpeed, FormatSpeed(0));
  folder_ = WithSeparator(options_.defaultFolder);
  view_.SetLabel(DialogLabel::kFolder, folder_);
  view_.CenterWindow();
  view_.Refresh();
}

void MainDialogController::ShowFileLabel() {
  if (filesDone_ < lines_.size()) {
    view_.SetLabel(DialogLabel::kFile,
                   FileLabel(lines_[filesDone_], currentFile_, static_cast<int>(lines_.size())));
  }
}

void MainDialogController::OnStatus(JobHandle job) {
  JobStatus status{};
  if (DownloadLibGetJobStatus(job, &status) != DL_OK) return;
  view_.SetLabel(DialogLabel::kRemaining, FormatTime(status.remainingSeconds));
  view_.SetLabel(DialogLabel::kElapsed, FormatTime(status.elapsedSeconds));
  view_.SetProgress(ProgressBar::kFile, status.currentFilePercent);
  view_.SetProgress(ProgressBar::kJob, status.percent);
  view_.SetLabel(DialogLabel::kDownloaded,
                 FormatSize(static_cast<double>(static_cast<uint64_t>(status.downloadedBytes))));
  view_.SetLabel(DialogLabel::kTotal,
                 FormatSize(static_cast<double>(static_cast<uint64_t>(status.totalBytes))));
  view_.SetLabel(DialogLabel::kSpeed, FormatSpeed(status.bytesPerSecond));
  view_.AddSpeedSample(static_cast<int64_t>(status.bytesPerSecond) * 8 / 1048576);
  view_.Refresh();
}

void MainDialogController::OnFileDone(JobHandle job) {
  FileDoneInfo done{};
  DownloadLibGetFileDone(job, &done);
  if (job_ == 0 || job != job_) return;
  ++filesDone_;
  ++currentFile_;
  ShowFileLabel();
  done.text[sizeof done.text - 1] = '\0';
  QString text = QString::fromUtf8(done.text);
  // The record is "source,local path". A source with a comma of its own would cut the path at
  // the wrong place, so a path of this job is recognised by the record's end first; only such
  // a path counts as completed.
  QString path;
  for (const QString& expected : expectedPaths_) {
    if (text.endsWith(QLatin1Char(',') + expected)) {
      path = expected;
      if (!completedFiles_.contains(path)) completedFiles_.append(path);
      break;
    }
  }
  if (path.isEmpty()) {
    qsizetype comma = text.indexOf(QLatin1Char(','));
    path = comma < 0 ? text : text.mid(comma + 1);
  }
  qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
  bool exe = dot >= 0 && path.mid(dot).compare(QLatin1String(".exe"), Qt::CaseInsensitive) == 0;
  if (lines_.size() == 1 || exe) installerPath_ = path;
  view_.Refresh();
}

void MainDialogController::OnCompleted(JobHandle job) {
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  StopJob();
  finished_ = true;
  view_.SetLabel(DialogLabel::kRemaining, QStringLiteral("00:00:00"));
  view_.SetButtonEnabled(DialogButton::kInstall, true);
  view_.SetButtonEnabled(DialogButton::kStart, false);
  view_.SetButtonEnabled(DialogButton::kFolder, false);
  view_.SetStatusFinished();
  view_.Refresh();
}

void MainDialogController::OnNotice(JobHandle job) {
  int32_t length = 0;
  DownloadLibGetNoticeLength(job, &length);
  // The window shows no notice's text, so none is fetched: a buffer sized by the length call
  // could meet a different notice by the time it is filled.
  JobNotice notice{0, nullptr};
  DownloadLibGetNotice(job, &notice);
  if (job_ == 0 || job != job_) return;
  lastNotice_ = notice.code;
  switch (notice.code) {
    case DL_NOTE_DISK_FULL: {
      int64_t remaining = 0;
      DownloadLibGetRemainingSize(job_, &remaining);
      StopJob();
      Message(QStringLiteral("硬碟(%1)的空間不足(%2)。")
                  .arg(folder_, FormatSize(static_cast<double>(remaining))));
      break;
    }
    case DL_NOTE_NETWORK_DOWN:
      Message(QStringLiteral("您的網路狀態不佳"));
      break;
    case DL_NOTE_NETWORK_UP:
      Message(QStringLiteral("您的網路回復正常"));
      break;
    case DL_NOTE_DOWNLOAD_FAILED:
      Message(QStringLiteral("下載%1失敗\n請稍候再試").arg(options_.gameName));
      break;
    default:
      break;
  }
}

void MainDialogController::OnResumeQuery(JobHandle job) {
  bool resume = true;
  bool applyToAll = true;
  view_.AskResume(&resume, &applyToAll);
  DownloadLibAnswerResume(job, resume, applyToAll);
}

void MainDialogController::OnStartStop() {
  if (finished_) return;
  if (job_ == 0) {
    StartJob();
  } else {
    StopJob();
  }
}

void MainDialogController::StartJob() {
  // A headless run or another window downloading into the same folder would spoil its files.
  if (!LockFolder(folder_)) {
    startResult_ = DL_ERR_FAILED;
    return;
  }
  // Only what this job completes may become its installer.
  installerPath_.clear();
  completedFiles_.clear();
  lastNotice_ = 0;
  jobFolder_ = LibraryFolder(folder_);
  expectedPaths_.clear();
  for (const QString& line : lines_) expectedPaths_.append(jobFolder_ + LibraryFileName(line));

  QByteArray service = Local(options_.serviceCode);
  DownloadLibSetServiceCode(service.constData());
  DownloadLibCreateJob(&job_, nullptr, service.constData());
  DownloadLibSetEngineReport(job_);
  QByteArray folder = Local(folder_);
  for (const QString& line : lines_) {
    DownloadLibAddFile(job_, Local(line).constData(), folder.constData(), nullptr, -1, 1);
  }
  startResult_ = DownloadLibStartJob(job_, consent_ != QLatin1String("1"));
  StoreFolder();
  ShowRunningState();
}

void MainDialogController::StopJob() {
  if (finished_) return;
  StopLibraryJob();
  ShowRunningState();
}

void MainDialogController::StopLibraryJob() {
  if (finished_ || job_ == 0) return;
  DownloadLibStopJob(job_);
  DownloadLibDeleteJob(job_);
  job_ = 0;
  filesDone_ = 0;
  currentFile_ = 1;
  folderLock_.reset();
  folderLockName_.clear();
}

bool MainDialogController::LockFolder(const QString& folder) {
  QString name = FolderInstanceName(folder);
  if (folderLock_ && folderLockName_ == name) return true;
  folderLock_.reset();
  folderLockName_.clear();
  auto lock = std::make_unique<SingleInstance>(name);
  if (!lock->IsFirst()) {
    AppMessage(QStringLiteral("正在進行下載作業"));
    return false;
  }
  folderLock_ = std::move(lock);
  folderLockName_ = name;
  return true;
}

void MainDialogController::ShowRunningState() {
  view_.SetButtonEnabled(DialogButton::kInstall, false);
  view_.SetStartButtonShowsStop(job_ != 0);
  view_.SetButtonEnabled(DialogButton::kFolder, job_ == 0);
  view_.Refresh();
}

void MainDialogController::StoreFolder() const {
  QSettings settings(QStringLiteral("Norvik Inc."), QStringLiteral("DownloadPath"));
  settings.setValue(options_.gameName, folder_);
}

void MainDialogController::OnConsentClicked(bool checked) {
  if (checked) {
    consent_ = QStringLiteral("2");
    return;
  }
  MessageAnswer answer = view_.ShowMessage(
      QStringLiteral("不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？"),
      options_.applicationName, MessageIcon::kInformation, MessageButtons::kYesNo);
  if (answer == MessageAnswer::kYes) {
    consent_ = QStringLiteral("1");
  } else {
    consent_ = QStringLiteral("2");
    view_.SetConsentChecked(true);
  }
}

void MainDialogController::OnChooseFolder() {
  if (job_ != 0 || finished_) return;
  QDir().mkdir(folder_);
  FolderChoice choice = view_.ChooseFolder(folder_, FormatSize(static_cast<double>(requiredSize_)));
  if (!choice.chosen || choice.path.isEmpty()) return;
  SetDestinationFolder(choice.path);
}

bool MainDialogController::SetDestinationFolder(const QString& folder) {
  QString path = WithSeparator(folder);
  if (!options_.engineFolder.isEmpty() && SameFolder(path, options_.engineFolder)) {
    AppMessage(QStringLiteral("選擇的路徑無法使用"));
    return false;
  }
  folder_ = path;
  view_.SetLabel(DialogLabel::kFolder, folder_);
  view_.Refresh();
  return true;
}

void MainDialogController::OnInstall() {
  if (!finished_) {
    AppMessage(QStringLiteral("尚未結束下載。"));
    return;
  }
  view_.SetButtonEnabled(DialogButton::kInstall, false);
  view_.SetStatusEnlarged();
  view_.SetLabel(DialogLabel::kSpeed, QStringLiteral("檢查下載的文件後執行安裝。"));
  view_.Refresh();
  view_.PostLaunch();
}

bool MainDialogController::IsLaunchable(const QString& path) const {
  if (!completedFiles_.contains(path)) return false;
  QFileInfo info(path);
  // A link put in the file's place could lead anywhere.
  if (!info.isFile() || info.isSymLink()) return false;
  QString folder = QFileInfo(jobFolder_).canonicalFilePath();
  return !folder.isEmpty() && info.canonicalFilePath() == folder + QLatin1Char('/') + info.fileName();
}

void MainDialogController::OnLaunch() {
  if (installerPath_.isEmpty()) {
    AppMessage(QStringLiteral("該路徑(NULL)檔案不存在。"));
  } else if (!IsLaunchable(installerPath_)) {
    // Only a file this job completed, still in its place inside the job's folder, is started.
    AppMessage(QStringLiteral("該路徑(%1)檔案不存在。").arg(installerPath_));
  } else {
    installerStarted_ = platform::ShellOpen(installerPath_.toStdString()).started;
  }
  view_.Quit(0);
}

void MainDialogController::OnClose() {
  if (job_ == 0) {
    view_.CloseWindow();
    return;
  }
  MessageAnswer answer =
      Message(QStringLiteral("關閉視窗時，即會中止下載 %1\n確定要關閉視窗嗎？").arg(options_.gameName),
              QStringLiteral("ORBA"), MessageIcon::kInformation, MessageButtons::kYesNo);
  if (answer == MessageAnswer::kYes) {
    StopJob();
    view_.CloseWindow();
  }
}

void MainDialogController::OnWindowClose() {
  if (job_ == 0) {
    view_.CloseWindow();
    return;
  }
  MessageAnswer answer =
      Message(QStringLiteral("關閉視窗時，將立即終止下載 %1\n確定要關閉視窗嗎？").arg(options_.gameName),
              QStringLiteral("ORBA"), MessageIcon::kInformation, MessageButtons::kYesNo);
  if (answer == MessageAnswer::kYes) {
    StopJob();
    view_.CloseWindow();
  }
}
