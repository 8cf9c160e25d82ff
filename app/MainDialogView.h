#pragma once
// What the main dialog's controller needs from a front end: the window (Qt widgets) or the
// terminal (headless). The controller owns every rule; a view only shows and asks.

#include <QString>
#include <cstdint>

// Controls of the main window, by their ids.
enum class DialogLabel {
  kFile = 1002,
  kDownloaded = 1015,
  kTotal = 1005,
  kRemaining = 1003,
  kElapsed = 1020,
  kSpeed = 1019,
  kFolder = 1007
};
enum class DialogButton { kStart = 1011, kClose = 1012, kFolder = 1008, kInstall = 1017, kConsent = 1010 };
enum class ProgressBar { kFile = 1013, kJob = 1016 };

enum class MessageIcon { kNone, kInformation, kExclamation };
enum class MessageButtons { kOk, kYesNo };
enum class MessageAnswer { kOk, kYes, kNo };

// The folder a user chose, or nothing when the choice was cancelled.
struct FolderChoice {
  bool chosen = false;
  QString path;
};

class MainDialogView {
 public:
  virtual ~MainDialogView() = default;

  virtual void SetLabel(DialogLabel label, const QString& text) = 0;
  virtual void SetProgress(ProgressBar bar, int percent) = 0;
  virtual void AddSpeedSample(int64_t megabitsPerSecond) = 0;
  virtual void SetButtonEnabled(DialogButton button, bool enabled) = 0;
  // The start button's two looks: start (no job) or stop (a job exists).
  virtual void SetStartButtonShowsStop(bool stop) = 0;
  virtual void SetConsentChecked(bool checked) = 0;
  // The status label after completion (yellow) and after Install (taller, the install text).
  virtual void SetStatusFinished() = 0;
  virtual void SetStatusEnlarged() = 0;
  // Writes the display strings to the controls (the dialog's refresh).
  virtual void Refresh() = 0;
  virtual void CenterWindow() = 0;

  // The one seam of every message box: text, caption, icon and buttons, as the rules give them.
  virtual MessageAnswer ShowMessage(const QString& text, const QString& caption, MessageIcon icon,
                                    MessageButtons buttons) = 0;
  // The resume question: returns {resume, applyToAll}.
  virtual void AskResume(bool* resume, bool* applyToAll) = 0;
  // The folder browser: `requiredSize` is the formatted size the download needs.
  virtual FolderChoice ChooseFolder(const QString& currentFolder, const QString& requiredSize) = 0;
  // Ends the program with `exitCode` once the current event is handled.
  virtual void Quit(int exitCode) = 0;
  // Closes the window (the user's close after confirmation).
  virtual void CloseWindow() = 0;
  // Asks the front end to post the launch step to itself (so the install text shows first).
  virtual void PostLaunch() = 0;
};
