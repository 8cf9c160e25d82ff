#pragma once
// The downloader's window: a fixed 748 x 437 dialog that shows what the controller says and
// forwards what the user does. Every rule lives in MainDialogController; this class only places
// the controls, writes texts and states to them, and runs the message boxes and dialogs the
// controller asks for.
//
// Message boxes, the folder chooser and the resume question each go through one replaceable
// function, so tests can answer them without a modal window.

#include <QDialog>
#include <QHash>
#include <QString>
#include <QVector>
#include <array>
#include <functional>
#include <memory>

#include "app/MainDialogController.h"
#include "app/MainDialogView.h"

class BannerView;
class LibraryEventBridge;
class QEventLoop;
class QLabel;
class QPushButton;
class CGraphCtrl;
class CSkinButton;
class CSkinProgress;
class CSkinToolTipCtrl;

// The other controls and the frame pictures, by their ids.
enum class DialogControl {
  kBanner = 1000,
  kSpeedGraph = 1018,
  kTopStrip = 187,
  kBottomStrip = 188,
  kLeftStrip = 189,
  kRightPanel = 20000
};

// The message box the controller asked for: shown with QMessageBox by default.
struct MessageRequest {
  QString text;
  QString caption;
  MessageIcon icon = MessageIcon::kNone;
  MessageButtons buttons = MessageButtons::kOk;
};
using MessageSeam = std::function<MessageAnswer(const MessageRequest& request)>;
using FolderSeam = std::function<FolderChoice(const QString& currentFolder, const QString& requiredSize)>;
using ResumeSeam = std::function<void(bool* resume, bool* applyToAll)>;

// A download the window runs by itself (--start): the buttons are pressed as a user would.
struct WindowAutomation {
  bool start = false;    // press start once the sizes are known
  QString destination;   // the folder to start in; empty: the one the window shows
  bool install = false;  // press install when every file is done
  // A picture of the window is written here at the first status between 10 and 90 per cent of
  // the job (the documentation's screenshot); empty: none.
  QString screenshot;
};

// The standard message box: caption, icon, text, and OK or Yes/No.
MessageAnswer ShowMessageBox(QWidget* parent, const MessageRequest& request);

class CQTXDownloaderDlg : public QDialog, public MainDialogView {
  Q_OBJECT

 public:
  explicit CQTXDownloaderDlg(MainDialogOptions options, QWidget* parent = nullptr);
  ~CQTXDownloaderDlg() override;

  // Shows the window, starts the controller and runs until the window ends; returns the exit
  // code the controller asked for, 0 after the user's close.
  int Run();
  // The first half of Run, for hosts and tests with an event loop of their own: shows the
  // window, starts fetching the banner and starts the controller.
  void Begin();
  // Whether the window has ended (Quit or the user's close), and with which code.
  bool Ended() const { return ended_; }
  int ExitCode() const { return exitCode_; }

  // Restores a minimised window and brings it to the front (a second start asks for this).
  void Activate();

  void SetMessageSeam(MessageSeam seam) { messageSeam_ = std::move(seam); }
  void SetFolderSeam(FolderSeam seam) { folderSeam_ = std::move(seam); }
  void SetResumeSeam(ResumeSeam seam) { resumeSeam_ = std::move(seam); }
  void SetAutomation(WindowAutomation automation) { automation_ = std::move(automation); }

  // Read-only views of the controls, for tests and tools.
  QString LabelText(DialogLabel label) const;
  bool ButtonEnabled(DialogButton button) const;
  bool ButtonVisible(DialogButton button) const;
  QString ButtonText(DialogButton button) const;
  bool StartButtonShowsStop() const { return startShowsStop_; }
  bool ConsentChecked() const;
  int ProgressValue(ProgressBar bar) const;
  QString ProgressText(ProgressBar bar) const;
  QVector<int> SpeedSamples() const;
  QColor LabelTextColor(DialogLabel label) const;
  // Place of a control within the window.
  QRect Geometry(DialogLabel label) const;
  QRect Geometry(DialogButton button) const;
  QRect Geometry(ProgressBar bar) const;
  QRect Geometry(DialogControl control) const;
  QString ConsentToolTip() const;
  BannerView* Banner() const { return banner_; }
  QPushButton* Button(DialogButton button) const;
  CSkinButton* ConsentBox() const { return consent_; }
  MainDialogController& Controller() { return *controller_; }

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

 public slots:
  // Esc and the close button: the controller decides.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void BuildFrame();
  void BuildControls();
  void DescribeControls();
  // A command button's pictures (In, Out, Disabled) and what it says.
  using ButtonLook = std::array<int, 3>;
  static constexpr ButtonLook kFolderLook{164, 165, 166};
  static constexpr ButtonLook kStartLook{176, 174, 175};
  static constexpr ButtonLook kStopLook{191, 192, 193};
  static constexpr ButtonLook kInstallLook{197, 199, 198};
  static constexpr ButtonLook kCloseLook{173, 171, 172};
  static void SetButtonLook(CSkinButton* button, const QString& caption, const ButtonLook& look);
  void End(int exitCode);
  // After each library event: the button a running automation presses next, if any.
  void Automate(int32_t code);
  QLabel* Label(DialogLabel label) const;
  CSkinProgress* Bar(ProgressBar bar) const;

  std::unique_ptr<MainDialogController> controller_;
  std::unique_ptr<LibraryEventBridge> bridge_;
  MessageSeam messageSeam_;
  FolderSeam folderSeam_;
  ResumeSeam resumeSeam_;
  WindowAutomation automation_;
  bool screenshotTaken_ = false;
  bool automationStarted_ = false;
  bool automationInstalled_ = false;

  QHash<int, QLabel*> labels_;
  QHash<int, QString> labelTexts_;  // the display strings; Refresh writes them to the labels
  QHash<int, QPushButton*> buttons_;
  QHash<int, CSkinProgress*> bars_;
  QHash<int, QWidget*> frames_;
  CSkinButton* consent_ = nullptr;
  CGraphCtrl* graph_ = nullptr;
  // A top-level popup of its own, not a child: owned here.
  std::unique_ptr<CSkinToolTipCtrl> tip_;
  BannerView* banner_ = nullptr;

  bool begun_ = false;
  bool ended_ = false;
  bool startShowsStop_ = false;
  int exitCode_ = 0;
  bool dragging_ = false;
  QPoint dragOffset_;
  QEventLoop* loop_ = nullptr;
};
