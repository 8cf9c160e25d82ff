#include "app/CQTXDownloaderDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <array>

#include "app/ApplicationOptions.h"
#include "app/CResumeDlg.h"
#include "app/FolderBrowserDialog.h"
#include "app/LibraryEventBridge.h"
#include "app/SkinResources.h"
#include "app/widgets/BannerView.h"
#include "app/widgets/CGraphCtrl.h"
#include "app/widgets/CSkinButton.h"
#include "app/widgets/CSkinProgress.h"
#include "app/widgets/CSkinToolTipCtrl.h"
#include "app/widgets/CTransparentStatic2.h"

namespace {

constexpr int kClientWidth = 748;
constexpr int kClientHeight = 437;
// A press above this line drags the window.
constexpr int kDragStripHeight = 28;

const QColor kLabelColor(0xEF, 0xEF, 0xEF);
// The buttons' pictures use magenta for "no pixel here".
constexpr QRgb kTransparentKey = 0xFF00FF;
constexpr int kRightPanelPicture = 190;
constexpr int kBarPicture = 179;
constexpr int kBarBackgroundPicture = 180;
constexpr int kGraphPicture = 200;
const QColor kFinishedColor(255, 255, 0);

struct Place {
  int id;
  QRect rect;
};

// A font given, as the window's fonts are, by its cell height (ascent plus descent) in pixels
// rather than its em size: the largest pixel size whose cell fits.
QFont CellHeightFont(const QStringList& families, int cellHeight, QFont::Weight weight) {
  QFont font;
  font.setFamilies(families);
  font.setStyleHint(QFont::SansSerif);
  font.setWeight(weight);
  for (int size = cellHeight; size > 6; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).height() <= cellHeight) break;
  }
  return font;
}

// Font A: the folder label and the consent box.
QFont FontA() {
  return CellHeightFont({QStringLiteral("돋움"), QStringLiteral("Dotum"),
                         QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Sans Serif")},
                        12, QFont::Normal);
}

// Font B: the other labels and the bars' text.
QFont FontB() {
  return CellHeightFont({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                         QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Sans Serif")},
                        13, QFont::Bold);
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kExclamation:
      return QMessageBox::Warning;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

void SetTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

}  // namespace

MessageAnswer ShowMessageBox(QWidget* parent, const MessageRequest& request) {
  QMessageBox box(BoxIcon(request.icon), request.caption, request.text, QMessageBox::NoButton, parent);
  if (request.buttons == MessageButtons::kYesNo) {
    box.addButton(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box.addButton(QMessageBox::No)->setText(QStringLiteral("否"));
    box.setDefaultButton(QMessageBox::Yes);
  } else {
    box.addButton(QMessageBox::Ok)->setText(QStringLiteral("確定"));
  }
  int answer = box.exec();
  if (request.buttons == MessageButtons::kOk) return MessageAnswer::kOk;
  return answer == QMessageBox::Yes ? MessageAnswer::kYes : MessageAnswer::kNo;
}

CQTXDownloaderDlg::CQTXDownloaderDlg(MainDialogOptions options, QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("ORBA Downloader"));
  setWindowIcon(SkinIcon());
  setFixedSize(kClientWidth, kClientHeight);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(0x10, 0x16, 0x1d));
  setPalette(palette);
  setAutoFillBackground(true);

  controller_ = std::make_unique<MainDialogController>(*this, std::move(options));
  bridge_ = std::make_unique<LibraryEventBridge>([this](int32_t code, intptr_t lParam) {
    // Once the window has ended nothing more is shown or asked.
    if (ended_) return;
    controller_->OnLibraryEvent(code, lParam);
    if (!ended_) Automate(code);
  });

  // Lowest first: the banner, the frame over its edges, the controls on top.
  banner_ = new BannerView(this);
  banner_->setGeometry(9, 3, 383, 442);
  // Until (or unless) the banner arrives, the area shows the window's own dark colour.
  banner_->setAutoFillBackground(true);
  QPalette bannerPalette = banner_->palette();
  bannerPalette.setColor(QPalette::Window, QColor(0x1d, 0x27, 0x33));
  banner_->setPalette(bannerPalette);
  BuildFrame();
  BuildControls();
  DescribeControls();
}

void CQTXDownloaderDlg::DescribeControls() {
  // Names for screen readers: what each control is, not what it shows now.
  setAccessibleName(QStringLiteral("ORBA Downloader"));
  banner_->setAccessibleName(QStringLiteral("橫幅"));
  graph_->setAccessibleName(QStringLiteral("下載速度"));
  const std::array<std::pair<DialogLabel, const char16_t*>, 7> labels = {
      {{DialogLabel::kFile, u"檔案"},
       {DialogLabel::kDownloaded, u"已下載"},
       {DialogLabel::kTotal, u"檔案大小"},
       {DialogLabel::kElapsed, u"經過時間"},
       {DialogLabel::kRemaining, u"剩餘時間"},
       {DialogLabel::kSpeed, u"下載速度與狀態"},
       {DialogLabel::kFolder, u"下載資料夾"}}};
  for (const auto& [label, name] : labels) Label(label)->setAccessibleName(QString::fromUtf16(name));
  Bar(ProgressBar::kFile)->setAccessibleName(QStringLiteral("檔案進度"));
  Bar(ProgressBar::kJob)->setAccessibleName(QStringLiteral("整體進度"));
  // The command buttons are named with their pictures (SetButtonLook).
  consent_->setAccessibleName(consent_->text());
  consent_->setAccessibleDescription(QStringLiteral("超高速下載只有在下載時才會共享PC資源。"));
  // The keyboard goes through the buttons in the order of the bottom row, then the folder.
  QWidget* const order[] = {Button(DialogButton::kStart), Button(DialogButton::kInstall),
                            Button(DialogButton::kClose), Button(DialogButton::kFolder), consent_};
  for (QWidget* widget : order) widget->setFocusPolicy(Qt::StrongFocus);
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  for (QLabel* label : labels_) label->setFocusPolicy(Qt::NoFocus);
  graph_->setFocusPolicy(Qt::NoFocus);
  banner_->setFocusPolicy(Qt::NoFocus);
  for (CSkinProgress* bar : bars_) bar->setFocusPolicy(Qt::NoFocus);
}

CQTXDownloaderDlg::~CQTXDownloaderDlg() {
  // The library must be finalised before the window its events are posted to goes away.
  controller_->Shutdown();
  bridge_.reset();
}

void CQTXDownloaderDlg::BuildFrame() {
  const std::array<Place, 4> frames = {
      {{static_cast<int>(DialogControl::kTopStrip), QRect(0, 0, 748, 21)},
       {static_cast<int>(DialogControl::kBottomStrip), QRect(0, 416, 748, 21)},
       {static_cast<int>(DialogControl::kLeftStrip), QRect(0, 20, 21, 396)},
       {static_cast<int>(DialogControl::kRightPanel), QRect(363, 20, 385, 396)}}};
  for (const Place& place : frames) {
    auto* frame = new QLabel(this);
    frame->setGeometry(place.rect);
    frame->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int picture =
        place.id == static_cast<int>(DialogControl::kRightPanel) ? kRightPanelPicture : place.id;
    frame->setPixmap(QPixmap::fromImage(SkinPicture(picture)));
    frames_.insert(place.id, frame);
  }
}

void CQTXDownloaderDlg::BuildControls() {
  const QFont fontA = FontA();
  const QFont fontB = FontB();

  const std::array<Place, 7> labels = {{{static_cast<int>(DialogLabel::kFile), QRect(456, 28, 263, 14)},
                                        {static_cast<int>(DialogLabel::kDownloaded), QRect(456, 59, 263, 14)},
                                        {static_cast<int>(DialogLabel::kTotal), QRect(456, 90, 263, 14)},
                                        {static_cast<int>(DialogLabel::kElapsed), QRect(460, 134, 85, 14)},
                                        {static_cast<int>(DialogLabel::kRemaining), QRect(634, 134, 85, 14)},
                                        {static_cast<int>(DialogLabel::kSpeed), QRect(456, 173, 270, 14)},
                                        {static_cast<int>(DialogLabel::kFolder), QRect(447, 356, 201, 14)}}};
  for (const Place& place : labels) {
    auto* label = new CTransparentStatic2(this);
    label->setGeometry(place.rect);
    label->setFont(place.id == static_cast<int>(DialogLabel::kFolder) ? fontA : fontB);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setTextFormat(Qt::PlainText);
    SetTextColor(label, kLabelColor);
    labels_.insert(place.id, label);
  }

  graph_ = new CGraphCtrl(this);
  graph_->setGeometry(385, 191, 342, 69);
  graph_->SetBackground(SkinPicture(kGraphPicture));

  const std::array<Place, 2> bars = {{{static_cast<int>(ProgressBar::kFile), QRect(441, 282, 286, 18)},
                                      {static_cast<int>(ProgressBar::kJob), QRect(441, 312, 286, 18)}}};
  for (const Place& place : bars) {
    auto* bar = new CSkinProgress(this);
    bar->setGeometry(place.rect);
    bar->SetRange(0, 100);
    bar->SetPos(0);
    bar->SetTextFormat(QStringLiteral("%d%%"), true);
    bar->SetBarImages(SkinPicture(kBarPicture), SkinPicture(kBarBackgroundPicture), true);
    bar->setFont(fontB);
    bars_.insert(place.id, bar);
  }

  // Only the places: the sizes come from the pictures.
  struct ButtonPlace {
    DialogButton id;
    QPoint at;
    const char16_t* text;
    ButtonLook look;
  };
  const std::array<ButtonPlace, 4> buttons = {
      {{DialogButton::kFolder, QPoint(662, 352), u"瀏覽", kFolderLook},
       {DialogButton::kStart, QPoint(384, 391), u"開始", kStartLook},
       {DialogButton::kInstall, QPoint(502, 391), u"安裝", kInstallLook},
       {DialogButton::kClose, QPoint(620, 391), u"關閉", kCloseLook}}};
  for (const ButtonPlace& place : buttons) {
    auto* button = new CSkinButton(this);
    button->move(place.at);
    SetButtonLook(button, QString::fromUtf16(place.text), place.look);
    buttons_.insert(static_cast<int>(place.id), button);
  }
  buttons_.value(static_cast<int>(DialogButton::kStart))->setDefault(true);
  buttons_.value(static_cast<int>(DialogButton::kInstall))->setEnabled(false);
  connect(buttons_.value(static_cast<int>(DialogButton::kStart)), &QPushButton::clicked, this,
          [this] { controller_->OnStartStop(); });
  connect(buttons_.value(static_cast<int>(DialogButton::kClose)), &QPushButton::clicked, this,
          [this] { controller_->OnClose(); });
  connect(buttons_.value(static_cast<int>(DialogButton::kFolder)), &QPushButton::clicked, this,
          [this] { controller_->OnChooseFolder(); });
  connect(buttons_.value(static_cast<int>(DialogButton::kInstall)), &QPushButton::clicked, this,
          [this] { controller_->OnInstall(); });

  consent_ = new CSkinButton(this);
  consent_->setGeometry(13, 293, 180, 16);
  consent_->SetCheckBoxMode(true);
  consent_->SetImages(SkinPicture(178), kTransparentKey, SkinPicture(177), kTransparentKey);
  consent_->SetBorderDrawing(false, true);
  consent_->SetTransparentMode(false);
  consent_->setFont(fontA);
  consent_->setText(QStringLiteral("超高速下載"));
  for (SkinButtonModel::Look look :
       {SkinButtonModel::Look::kIn, SkinButtonModel::Look::kFocus, SkinButtonModel::Look::kOut}) {
    consent_->SetColors(look, QColor(0x1d, 0x27, 0x33), kLabelColor);
  }
  consent_->SetChecked(true, false);
  tip_ = std::make_unique<CSkinToolTipCtrl>();
  tip_->CreateTip(this);
  tip_->SetMaxTextWidth(350);
  tip_->AddToolWindow(consent_, QStringLiteral("超高速下載只有在下載時才會共享PC資源。"));
  consent_->hide();
  connect(consent_, &CSkinButton::clicked, this,
          [this](bool checked) { controller_->OnConsentClicked(checked); });
}

int CQTXDownloaderDlg::Run() {
  Begin();
  if (!ended_) {
    QEventLoop loop;
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
  }
  controller_->Shutdown();
  return exitCode_;
}

void CQTXDownloaderDlg::Begin() {
  if (begun_) return;
  begun_ = true;
  show();
  // The banner is fetched only when the program goes on past the library's start.
  if (controller_->Start(bridge_->Window())) banner_->Navigate(BannerUrl());
}

void CQTXDownloaderDlg::Automate(int32_t code) {
  if (code == DL_EV_JOB_STATUS && !automation_.screenshot.isEmpty() && !screenshotTaken_) {
    const int percent = ProgressValue(ProgressBar::kJob);
    if (percent >= 10 && percent <= 90) {
      screenshotTaken_ = true;
      grab().save(automation_.screenshot, "PNG");
    }
  }
  // Clicks are queued, so the window shows the state each event left before the next step.
  if (code == DL_EV_SIZE_CHECK_DONE && automation_.start && !automationStarted_ && controller_->ListReady()) {
    automationStarted_ = true;
    // The size check has just put the default folder back; the chosen one applies from here on.
    if (!automation_.destination.isEmpty() && !controller_->SetDestinationFolder(automation_.destination))
      return;
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!ended_ && controller_->Job() == 0) Button(DialogButton::kStart)->click();
        },
        Qt::QueuedConnection);
  } else if (code == DL_EV_JOB_DONE && automation_.install && !automationInstalled_ &&
             controller_->Finished()) {
    automationInstalled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!ended_) Button(DialogButton::kInstall)->click();
        },
        Qt::QueuedConnection);
  }
}

void CQTXDownloaderDlg::Activate() {
  if (ended_) return;
  if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void CQTXDownloaderDlg::End(int exitCode) {
  if (ended_) return;
  ended_ = true;
  exitCode_ = exitCode;
  QDialog::done(exitCode);
  if (loop_ != nullptr) loop_->exit(exitCode);
}

// ---- what the controller shows

QLabel* CQTXDownloaderDlg::Label(DialogLabel label) const { return labels_.value(static_cast<int>(label)); }

CSkinProgress* CQTXDownloaderDlg::Bar(ProgressBar bar) const { return bars_.value(static_cast<int>(bar)); }

QPushButton* CQTXDownloaderDlg::Button(DialogButton button) const {
  return buttons_.value(static_cast<int>(button));
}

void CQTXDownloaderDlg::SetLabel(DialogLabel label, const QString& text) {
  labelTexts_.insert(static_cast<int>(label), text);
}

void CQTXDownloaderDlg::SetProgress(ProgressBar bar, int percent) {
  if (CSkinProgress* control = Bar(bar)) control->SetPos(percent);
}

void CQTXDownloaderDlg::AddSpeedSample(int64_t megabitsPerSecond) {
  graph_->PushSample(megabitsPerSecond);
  graph_->repaint();
}

void CQTXDownloaderDlg::SetButtonEnabled(DialogButton button, bool enabled) {
  if (button == DialogButton::kConsent) {
    consent_->setEnabled(enabled);
  } else if (QPushButton* control = Button(button)) {
    control->setEnabled(enabled);
  }
}

void CQTXDownloaderDlg::SetStartButtonShowsStop(bool stop) {
  startShowsStop_ = stop;
  SetButtonLook(static_cast<CSkinButton*>(Button(DialogButton::kStart)),
                stop ? QStringLiteral("停止") : QStringLiteral("開始"), stop ? kStopLook : kStartLook);
}

void CQTXDownloaderDlg::SetButtonLook(CSkinButton* button, const QString& caption, const ButtonLook& look) {
  const int result = button->SetImages(SkinPicture(look[0]), kTransparentKey, SkinPicture(look[1]),
                                       kTransparentKey, SkinPicture(look[2]), kTransparentKey);
  button->SetBorderDrawing(false, true);
  button->SetTransparentMode(false);
  button->setAccessibleName(caption);
  if (result == CSkinButton::kOk) {
    button->setText(QString());
    button->FitToImage();
  } else {
    // Without its pictures the button still says what it does.
    button->setText(caption);
    button->resize(110, 24);
  }
}

void CQTXDownloaderDlg::SetConsentChecked(bool checked) { consent_->setChecked(checked); }

void CQTXDownloaderDlg::SetStatusFinished() { SetTextColor(Label(DialogLabel::kSpeed), kFinishedColor); }

void CQTXDownloaderDlg::SetStatusEnlarged() {
  QLabel* status = Label(DialogLabel::kSpeed);
  status->setGeometry(456, 173, 270, 42);
  status->setWordWrap(true);
  status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CQTXDownloaderDlg::Refresh() {
  for (auto it = labelTexts_.cbegin(); it != labelTexts_.cend(); ++it) {
    QLabel* label = labels_.value(it.key());
    if (label != nullptr && label->text() != it.value()) label->setText(it.value());
  }
  update();
}

void CQTXDownloaderDlg::CenterWindow() {
  QScreen* where = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (where == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(where->availableGeometry().center());
  move(frame.topLeft());
}

MessageAnswer CQTXDownloaderDlg::ShowMessage(const QString& text, const QString& caption, MessageIcon icon,
                                             MessageButtons buttons) {
  MessageRequest request{text, caption, icon, buttons};
  return messageSeam_ ? messageSeam_(request) : ShowMessageBox(this, request);
}

void CQTXDownloaderDlg::AskResume(bool* resume, bool* applyToAll) {
  if (resumeSeam_) {
    resumeSeam_(resume, applyToAll);
    return;
  }
  CResumeDlg question(this);
  question.exec();
  *resume = question.Resume();
  *applyToAll = question.ApplyToAll();
}

FolderChoice CQTXDownloaderDlg::ChooseFolder(const QString& currentFolder, const QString& requiredSize) {
  if (folderSeam_) return folderSeam_(currentFolder, requiredSize);
  FolderBrowserDialog browser(currentFolder, requiredSize, this);
  FolderChoice choice;
  if (browser.exec() == QDialog::Accepted) {
    choice.path = browser.SelectedFolder();
    choice.chosen = !choice.path.isEmpty();
  }
  return choice;
}

void CQTXDownloaderDlg::Quit(int exitCode) { End(exitCode); }

void CQTXDownloaderDlg::CloseWindow() { End(0); }

void CQTXDownloaderDlg::PostLaunch() {
  // Queued, so that the install text is on screen before the installer starts.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!ended_) controller_->OnLaunch();
      },
      Qt::QueuedConnection);
}

// ---- what the user does

void CQTXDownloaderDlg::reject() {
  if (!ended_) controller_->OnClose();
}

void CQTXDownloaderDlg::closeEvent(QCloseEvent* event) {
  if (!ended_) controller_->OnWindowClose();
  if (ended_) {
    event->accept();
  } else {
    event->ignore();
  }
}

void CQTXDownloaderDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && event->position().y() < kDragStripHeight) {
    QWindow* window = windowHandle();
    // The window system moves the window itself where it can; elsewhere the window follows the mouse.
    if (window == nullptr || !window->startSystemMove()) {
      dragging_ = true;
      dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    event->accept();
    return;
  }
  QDialog::mousePressEvent(event);
}

void CQTXDownloaderDlg::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_ && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - dragOffset_);
    event->accept();
    return;
  }
  QDialog::mouseMoveEvent(event);
}

void CQTXDownloaderDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (dragging_ && event->button() == Qt::LeftButton) {
    dragging_ = false;
    event->accept();
    return;
  }
  QDialog::mouseReleaseEvent(event);
}

// ---- read-only views

QString CQTXDownloaderDlg::LabelText(DialogLabel label) const {
  QLabel* control = Label(label);
  return control != nullptr ? control->text() : QString();
}

bool CQTXDownloaderDlg::ButtonEnabled(DialogButton button) const {
  if (button == DialogButton::kConsent) return consent_->isEnabled();
  QPushButton* control = Button(button);
  return control != nullptr && control->isEnabled();
}

bool CQTXDownloaderDlg::ButtonVisible(DialogButton button) const {
  if (button == DialogButton::kConsent) return consent_->isVisible();
  QPushButton* control = Button(button);
  return control != nullptr && control->isVisible();
}

QString CQTXDownloaderDlg::ButtonText(DialogButton button) const {
  if (button == DialogButton::kConsent) return consent_->text();
  QPushButton* control = Button(button);
  // The captions are part of the pictures; the accessible name says them.
  return control != nullptr ? control->accessibleName() : QString();
}

bool CQTXDownloaderDlg::ConsentChecked() const { return consent_->isChecked(); }

int CQTXDownloaderDlg::ProgressValue(ProgressBar bar) const {
  CSkinProgress* control = Bar(bar);
  return control != nullptr ? control->Pos() : 0;
}

QString CQTXDownloaderDlg::ProgressText(ProgressBar bar) const {
  CSkinProgress* control = Bar(bar);
  return control != nullptr ? control->Text() : QString();
}

QVector<int> CQTXDownloaderDlg::SpeedSamples() const {
  const auto& samples = graph_->Model().Samples();
  return QVector<int>(samples.begin(), samples.end());
}

QColor CQTXDownloaderDlg::LabelTextColor(DialogLabel label) const {
  QLabel* control = Label(label);
  return control != nullptr ? control->palette().color(QPalette::WindowText) : QColor();
}

QRect CQTXDownloaderDlg::Geometry(DialogLabel label) const {
  QLabel* control = Label(label);
  return control != nullptr ? control->geometry() : QRect();
}

QRect CQTXDownloaderDlg::Geometry(DialogButton button) const {
  if (button == DialogButton::kConsent) return consent_->geometry();
  QPushButton* control = Button(button);
  return control != nullptr ? control->geometry() : QRect();
}

QRect CQTXDownloaderDlg::Geometry(ProgressBar bar) const {
  CSkinProgress* control = Bar(bar);
  return control != nullptr ? control->geometry() : QRect();
}

QRect CQTXDownloaderDlg::Geometry(DialogControl control) const {
  switch (control) {
    case DialogControl::kBanner:
      return banner_->geometry();
    case DialogControl::kSpeedGraph:
      return graph_->geometry();
    default:
      break;
  }
  QWidget* frame = frames_.value(static_cast<int>(control));
  return frame != nullptr ? frame->geometry() : QRect();
}

QString CQTXDownloaderDlg::ConsentToolTip() const {
  for (const CSkinToolTipCtrl::Tool& tool : tip_->Tools()) {
    if (tool.window == consent_) return tool.text;
  }
  return QString();
}
