#pragma once
// Every rule of the downloader's main window, apart from how it looks: fetching the file list,
// the size check, the folder, start and stop, progress from the library's events, notices,
// install and close. Views (the window, the terminal) show what it says and report what the user
// does; the library's events reach it in posting order on the view's thread.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "app/MainDialogView.h"
#include "library/DownloadLib.h"

class SingleInstance;

struct MainDialogOptions {
  QString fileListUrl;    // the first command-line argument, else the built-in list
  QString defaultFolder;  // where files go unless the user chooses another folder
  QString engineFolder;   // the local engine's folder, never a download folder
  QString serviceCode = QStringLiteral("sunnorel_orba_tw");
  QString gameName = QStringLiteral("ORBA");
  QString applicationName = QStringLiteral("orba-downloader");  // caption of the plain message boxes
  bool consent = true;
};

class MainDialogController {
 public:
  MainDialogController(MainDialogView& view, MainDialogOptions options);
  ~MainDialogController();
  MainDialogController(const MainDialogController&) = delete;
  MainDialogController& operator=(const MainDialogController&) = delete;

  // Initialises the library with `window` as its notify window and asks for the file list.
  // False when the program must end (the message was shown and Quit asked for); a library that
  // this start initialised is finalised by then or by Shutdown.
  bool Start(DownloadLibWindow window);
  // Stops and deletes the job, finalises the library (the window's destruction). Does not call
  // the view, which may be half destroyed by then.
  void Shutdown();

  // Message 11024 of the library.
  void OnLibraryEvent(int32_t code, intptr_t lParam);

  // The user's commands.
  void OnStartStop();     // button 1011
  void OnClose();         // button 1012 or Esc
  void OnWindowClose();   // the window's own close
  void OnChooseFolder();  // button 1008
  void OnConsentClicked(bool checked);
  void OnInstall();  // button 1017
  void OnLaunch();   // the launch step after Install
  // Set the destination folder directly (the headless front end's --dest), under the same rule
  // as a chosen folder: the engine's folder is refused with a message. False when refused.
  bool SetDestinationFolder(const QString& folder);
  // Claims `folder` for this program's download: one download into one folder at a time, by a
  // window or a headless run alike. A job start claims its folder itself; the headless front end
  // claims its folder before anything is fetched. False, after the message, when another holds
  // it. The claim ends with the job (or with this controller).
  bool LockFolder(const QString& folder);

  // What the views and tests read.
  const QStringList& Lines() const { return lines_; }
  JobHandle Job() const { return job_; }
  bool Finished() const { return finished_; }
  bool Consent() const { return consent_ != QLatin1String("1"); }
  const QString& DestinationFolder() const { return folder_; }
  const QString& InstallerPath() const { return installerPath_; }
  int64_t RequiredSize() const { return requiredSize_; }
  int FilesDone() const { return filesDone_; }
  int CurrentFileNumber() const { return currentFile_; }
  bool ListReady() const { return listReady_; }
  // The program was launched: the installer started (true) or could not be (false).
  bool InstallerStarted() const { return installerStarted_; }
  // The local paths of the files the current (or finished) job completed, in completion order.
  const QStringList& CompletedFiles() const { return completedFiles_; }
  // What the library answered to the last start of a job (DL_OK when it runs), 0 before any;
  // DL_ERR_FAILED when the folder was not free and no job was made.
  int32_t StartResult() const { return startResult_; }
  // The code of the last notice handled for the current job, 0 before any.
  int32_t LastNotice() const { return lastNotice_; }

  // Lists longer than this are refused: no deployment lists that many files.
  static constexpr int kMaxListLines = 10000;

 private:
  void OnListArrived();
  void OnSizeKnown();
  void OnStatus(JobHandle job);
  void OnFileDone(JobHandle job);
  void OnCompleted(JobHandle job);
  void OnNotice(JobHandle job);
  void OnResumeQuery(JobHandle job);
  void StartJob();
  void StopJob();
  // The library side of a stop, without touching the view.
  void StopLibraryJob();
  void ShowRunningState();
  void ShowFileLabel();
  void StoreFolder() const;
  MessageAnswer Message(const QString& text, const QString& caption = QStringLiteral("ORBA"),
                        MessageIcon icon = MessageIcon::kNone, MessageButtons buttons = MessageButtons::kOk);
  // The plain message boxes of the application: its name as caption, the exclamation icon.
  void AppMessage(const QString& text);
  void FailAndQuit(const QString& text, bool applicationCaption = false);
  // Whether `path` is a file this job completed, still in place (only such a file is launched).
  bool IsLaunchable(const QString& path) const;
  // Whether every line names a file the library can place inside the folder, each a different one.
  bool LinesNameDistinctFiles() const;

  MainDialogView& view_;
  MainDialogOptions options_;
  QString consent_ = QStringLiteral("2");
  QStringList lines_;
  JobHandle job_ = 0;
  int filesDone_ = 0;
  int currentFile_ = 1;
  bool finished_ = false;
  QString installerPath_;
  QStringList completedFiles_;
  // Where the running job puts each line's file (folder as the library writes it, plus the name).
  QStringList expectedPaths_;
  QString jobFolder_;
  int64_t requiredSize_ = 0;
  QString folder_;
  bool initialised_ = false;
  bool listReady_ = false;
  bool installerStarted_ = false;
  int32_t startResult_ = 0;
  int32_t lastNotice_ = 0;
  std::unique_ptr<SingleInstance> folderLock_;
  QString folderLockName_;
};
