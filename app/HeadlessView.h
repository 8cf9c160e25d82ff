#pragma once
// The downloader without a window: the same controller, shown on a terminal. Prints the file
// label, sizes, speed, elapsed and remaining time and two text progress bars (redrawn in place on
// a terminal, one line per second otherwise); message-box texts go to standard error. Questions
// are answered without a user: earlier data is resumed for every file, a close is confirmed, and
// the consent stays unless it was declined on the command line. The job starts by itself once the
// sizes are known, into the chosen or the default folder; with `install` the installer starts at
// the end. What the engine's update and connection report is printed one line each. The run
// ends with 0 when every file completed (and the installer started, if asked for), otherwise with
// 1 after the message that says why.

#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

#include "app/MainDialogController.h"
#include "app/MainDialogView.h"

class LibraryEventBridge;
class QEventLoop;

struct HeadlessOptions {
  QString destination;  // empty: the default folder
  bool noConsent = false;
  bool install = false;
  bool terminal = false;  // standard output is a terminal: the status line is redrawn in place
};

class HeadlessView final : public MainDialogView {
 public:
  HeadlessView(MainDialogOptions dialogOptions, HeadlessOptions options, std::FILE* out = stdout,
               std::FILE* err = stderr);
  ~HeadlessView() override;
  HeadlessView(const HeadlessView&) = delete;
  HeadlessView& operator=(const HeadlessView&) = delete;

  // Runs the whole download in the current thread's Qt event loop; returns the exit code.
  int Run();

  // MainDialogView
  void SetLabel(DialogLabel label, const QString& text) override;
  void SetProgress(ProgressBar bar, int percent) override;
  void AddSpeedSample(int64_t megabitsPerSecond) override;
  void SetButtonEnabled(DialogButton button, bool enabled) override;
  void SetStartButtonShowsStop(bool stop) override;
  void SetConsentChecked(bool checked) override;
  void SetStatusFinished() override;
  void SetStatusEnlarged() override;
  void Refresh() override;
  void CenterWindow() override;
  MessageAnswer ShowMessage(const QString& text, const QString& caption, MessageIcon icon,
                            MessageButtons buttons) override;
  void AskResume(bool* resume, bool* applyToAll) override;
  FolderChoice ChooseFolder(const QString& currentFolder, const QString& requiredSize) override;
  void Quit(int exitCode) override;
  void CloseWindow() override;
  void PostLaunch() override;

 private:
  void OnLibraryEvent(int32_t code, intptr_t lParam);
  // The engine's update and connection, one line each.
  void ShowEngineEvent(int32_t code);
  void BeginDownload();
  void OnJobFinished();
  void Launch();
  // Ends the run with `exitCode`, after `message` on standard error when there is one.
  void End(int exitCode, const QString& message = QString());
  void Draw(bool force);
  QString StatusLine() const;
  // Ends a status line drawn in place, so that the next output starts on a line of its own.
  void CloseStatusLine();
  void Write(std::FILE* stream, const QString& text);

  MainDialogOptions dialogOptions_;
  HeadlessOptions options_;
  std::FILE* out_;
  std::FILE* err_;
  // Declared before the controller: the library is finalised before its window goes.
  std::unique_ptr<LibraryEventBridge> bridge_;
  std::unique_ptr<MainDialogController> controller_;
  QEventLoop* loop_ = nullptr;

  std::map<DialogLabel, QString> labels_;
  int filePercent_ = 0;
  int jobPercent_ = 0;
  bool downloading_ = false;  // the status line is worth drawing
  bool lineOpen_ = false;     // a status line is on the terminal without its line end
  QElapsedTimer clock_;
  int64_t lastDrawMs_ = 0;
  bool drawn_ = false;  // a status line was written at all
  bool askingConsent_ = false;
  bool launching_ = false;
  bool updateProgressShown_ = false;
  int messages_ = 0;
  bool ended_ = false;
  int exitCode_ = 1;
};
