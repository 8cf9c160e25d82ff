#pragma once
// The main window's tooltip: a top-most popup of its own that shows a tool's text below the mouse
// after the mouse rested on the tool for 500 ms, hides it after 5 s, on leaving the tool, on any
// click or key, and never takes the focus. ToolTipModel holds the rules; this widget watches the
// parent's input (an event filter in place of message forwarding), runs the two timers and paints.

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "app/widgets/ToolTipModel.h"

class CSkinToolTipCtrl : public QWidget {
  Q_OBJECT

 public:
  struct Tool {
    QPointer<QWidget> window;
    QRect rect;  // in the parent's coordinates
    QString text;
    int maxWidth = 0;
    QColor textColor;        // invalid: the system's tooltip text colour
    QColor backgroundColor;  // invalid: the system's tooltip background
  };
  static constexpr int kMarginLeft = 3;
  static constexpr int kMarginTop = 5;
  static constexpr int kMarginRight = 3;
  static constexpr int kMarginBottom = 3;

  CSkinToolTipCtrl();
  ~CSkinToolTipCtrl() override;

  // Watches `parent`'s window from now on.
  bool CreateTip(QWidget* parent);
  // Returns the previous width; tools that had it take the new one, and so do later tools.
  int SetMaxTextWidth(int width);
  // A tool over `window` (its whole rectangle unless `rect` is given, in the parent's coordinates).
  bool AddToolWindow(QWidget* window, const QString& text, const QRect& rect = QRect());
  void SetTipFont(const QFont& font);

  // The tip of the current tool at `globalPoint` plus the offset; nothing without text.
  void ShowTip(QPoint globalPoint);
  void HideTip();

  const ToolTipModel& Model() const { return model_; }
  const std::vector<Tool>& Tools() const { return tools_; }
  // The tip's size for `text` wrapped at `maxWidth` (0: at its own line breaks), margins included.
  QSize TipSize(const QString& text, int maxWidth) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int ToolAt(QPoint globalPoint) const;
  bool InsideTip(QPoint globalPoint) const;
  void Apply(const ToolTipModel::Actions& actions);
  void OnInitialDelay();
  void OnCheck();

  QPointer<QWidget> parent_;
  std::vector<Tool> tools_;
  ToolTipModel model_;
  QTimer initialTimer_;
  QTimer checkTimer_;
  int maxWidth_ = 0;
  bool fontSet_ = false;
};
