#include "app/widgets/CSkinToolTipCtrl.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <algorithm>

namespace {

constexpr int kTextFlags = Qt::TextWordWrap | Qt::TextExpandTabs;
// Tall enough for any text a tip measures.
constexpr int kMeasureHeight = 1 << 20;

bool IsDismissingEvent(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonDblClick:
      return true;
    default:
      return false;
  }
}

}  // namespace

CSkinToolTipCtrl::CSkinToolTipCtrl()
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  resize(10, 10);
  setFont(QApplication::font("QStatusBar"));
  initialTimer_.setSingleShot(true);
  initialTimer_.setInterval(ToolTipModel::kInitialDelayMs);
  checkTimer_.setInterval(ToolTipModel::kCheckPeriodMs);
  connect(&initialTimer_, &QTimer::timeout, this, [this] { OnInitialDelay(); });
  connect(&checkTimer_, &QTimer::timeout, this, [this] { OnCheck(); });
}

CSkinToolTipCtrl::~CSkinToolTipCtrl() {
  if (qApp != nullptr) qApp->removeEventFilter(this);
}

bool CSkinToolTipCtrl::CreateTip(QWidget* parent) {
  if (parent == nullptr) return false;
  parent_ = parent;
  qApp->installEventFilter(this);
  return true;
}

int CSkinToolTipCtrl::SetMaxTextWidth(int width) {
  const int previous = maxWidth_;
  for (Tool& tool : tools_) {
    if (tool.maxWidth == previous) tool.maxWidth = width;
  }
  maxWidth_ = width;
  return previous;
}

bool CSkinToolTipCtrl::AddToolWindow(QWidget* window, const QString& text, const QRect& rect) {
  if (window == nullptr || parent_ == nullptr) return false;
  Tool tool;
  tool.window = window;
  tool.rect = rect.isNull() ? QRect(window->mapTo(parent_, QPoint(0, 0)), window->size()) : rect;
  tool.text = text;
  tool.maxWidth = maxWidth_;
  tools_.push_back(tool);
  return true;
}

void CSkinToolTipCtrl::SetTipFont(const QFont& font) {
  fontSet_ = true;
  setFont(font);
}

QSize CSkinToolTipCtrl::TipSize(const QString& text, int maxWidth) const {
  const QFontMetrics metrics(font());
  int width = maxWidth;
  if (width <= 0) {
    width = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
      width = std::max(width, metrics.horizontalAdvance(line));
    }
  }
  const QRect measured =
      metrics.boundingRect(QRect(0, 0, std::max(width, 1), kMeasureHeight), kTextFlags, text);
  const int textWidth = maxWidth > 0 ? std::min(measured.width(), maxWidth) : width;
  return QSize(textWidth + kMarginLeft + kMarginRight, measured.height() + kMarginTop + kMarginBottom);
}

int CSkinToolTipCtrl::ToolAt(QPoint globalPoint) const {
  if (parent_ == nullptr) return ToolTipModel::kNoTool;
  QWidget* under = QApplication::widgetAt(globalPoint);
  if (under == nullptr) return ToolTipModel::kNoTool;
  const QPoint local = parent_->mapFromGlobal(globalPoint);
  for (size_t i = 0; i < tools_.size(); ++i) {
    const Tool& tool = tools_[i];
    if (tool.window == nullptr) continue;
    const bool ownWindow = tool.window == under || tool.window->isAncestorOf(under);
    if (ownWindow && tool.rect.contains(local)) return static_cast<int>(i);
  }
  return ToolTipModel::kNoTool;
}

bool CSkinToolTipCtrl::InsideTip(QPoint globalPoint) const {
  return isVisible() && geometry().contains(globalPoint);
}

void CSkinToolTipCtrl::Apply(const ToolTipModel::Actions& actions) {
  if (actions.stopCheck) checkTimer_.stop();
  if (actions.hide) hide();
  if (actions.startInitialDelay) {
    checkTimer_.stop();
    initialTimer_.start();
  }
  if (actions.show) {
    ShowTip(QCursor::pos());
    checkTimer_.start();
  }
}

void CSkinToolTipCtrl::OnInitialDelay() {
  const int current = model_.CurrentTool();
  Apply(model_.InitialDelayOver(current != ToolTipModel::kNoTool && ToolAt(QCursor::pos()) == current));
}

void CSkinToolTipCtrl::OnCheck() {
  const QPoint mouse = QCursor::pos();
  Apply(model_.CheckPeriodOver(ToolAt(mouse), InsideTip(mouse)));
}

void CSkinToolTipCtrl::ShowTip(QPoint globalPoint) {
  const int current = model_.CurrentTool();
  if (current < 0 || static_cast<size_t>(current) >= tools_.size()) return;
  const Tool& tool = tools_[static_cast<size_t>(current)];
  if (tool.text.isEmpty()) return;
  const QScreen* screen = QApplication::screenAt(globalPoint);
  if (screen == nullptr) screen = QApplication::primaryScreen();
  const QRect virtualScreen = screen != nullptr ? screen->virtualGeometry() : QRect(0, 0, 1 << 16, 1 << 16);
  QRect toolWindow = tool.window != nullptr
                         ? QRect(tool.window->mapToGlobal(QPoint(0, 0)), tool.window->size())
                         : QRect(globalPoint, QSize(1, 1));
  const QRect place =
      ToolTipModel::Place(globalPoint, TipSize(tool.text, tool.maxWidth), virtualScreen, toolWindow);
  setGeometry(place);
  show();
  raise();
}

void CSkinToolTipCtrl::HideTip() { Apply(model_.Dismissed()); }

bool CSkinToolTipCtrl::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  // Only what happens in the parent's window (or on the tip) counts.
  if (widget == nullptr || parent_ == nullptr || (widget->window() != parent_->window() && widget != this)) {
    return false;
  }
  switch (event->type()) {
    case QEvent::MouseMove: {
      const QPoint global = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
      Apply(model_.MouseMoved(ToolAt(global), InsideTip(global)));
      break;
    }
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() == Qt::LeftButton) {
        Apply(model_.LeftPressed(InsideTip(mouse->globalPosition().toPoint())));
      } else {
        Apply(model_.Dismissed());
      }
      break;
    }
    default:
      if (IsDismissingEvent(event->type())) Apply(model_.Dismissed());
      break;
  }
  return false;
}

void CSkinToolTipCtrl::changeEvent(QEvent* event) {
  // The system's font follows the system's settings unless one was set here.
  if (event->type() == QEvent::ApplicationFontChange && !fontSet_) setFont(QApplication::font("QStatusBar"));
  QWidget::changeEvent(event);
}

void CSkinToolTipCtrl::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const int current = model_.CurrentTool();
  const Tool* tool = current >= 0 && static_cast<size_t>(current) < tools_.size()
                         ? &tools_[static_cast<size_t>(current)]
                         : nullptr;
  const QColor background = tool != nullptr && tool->backgroundColor.isValid()
                                ? tool->backgroundColor
                                : palette().color(QPalette::ToolTipBase);
  const QColor text =
      tool != nullptr && tool->textColor.isValid() ? tool->textColor : palette().color(QPalette::ToolTipText);
  painter.fillRect(rect(), background);
  painter.setPen(Qt::black);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  if (tool == nullptr) return;
  painter.setPen(text);
  painter.drawText(rect().adjusted(kMarginLeft, kMarginTop, -kMarginRight, -kMarginBottom), kTextFlags,
                   tool->text);
}
