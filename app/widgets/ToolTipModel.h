#pragma once
// The rules of the main window's tooltip without a screen or timers: which tool is current, when
// the tip shows and hides, and where it goes. CSkinToolTipCtrl feeds it what the mouse, the keys
// and its two timers do and carries out what it answers.

#include <QPoint>
#include <QRect>
#include <QSize>

class ToolTipModel {
 public:
  static constexpr int kInitialDelayMs = 500;
  static constexpr int kCheckPeriodMs = 500;
  static constexpr int kDisplayMs = 5000;
  static constexpr int kNoTool = -1;

  // What the widget is to do after an input.
  struct Actions {
    bool hide = false;
    bool startInitialDelay = false;  // also stops the check timer
    bool show = false;               // at the mouse plus the offset; starts the check timer
    bool stopCheck = false;
  };

  // The mouse moved; `tool` is the tool under it (kNoTool for none).
  Actions MouseMoved(int tool, bool insideTip);
  // A left press: hides the tip unless it lands on the tip.
  Actions LeftPressed(bool insideTip);
  // Keys, other buttons, double clicks and presses on frames: the tip hides.
  Actions Dismissed();
  // The initial delay is over; `overCurrent`: the mouse is still on the current tool.
  Actions InitialDelayOver(bool overCurrent);
  // One check period passed; `tool` is the tool under the mouse now.
  Actions CheckPeriodOver(int tool, bool insideTip);

  int CurrentTool() const { return current_; }
  bool Shown() const { return shown_; }
  bool IsDismissed() const { return dismissed_; }
  int ShownMs() const { return shownMs_; }

  // Where a tip of `size` goes for the mouse at `mouse`: below it by the offset, kept inside
  // `screen` sideways, and above the tool's window `tool` when it would run past the bottom.
  static QRect Place(QPoint mouse, QSize size, QRect screen, QRect tool);
  static QPoint Offset() { return QPoint(0, 20); }

 private:
  Actions Hide();

  int current_ = kNoTool;
  bool shown_ = false;
  bool dismissed_ = false;
  int shownMs_ = 0;
};
