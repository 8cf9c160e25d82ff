#include "app/widgets/ToolTipModel.h"

ToolTipModel::Actions ToolTipModel::Hide() {
  Actions actions;
  actions.hide = true;
  actions.stopCheck = true;
  shown_ = false;
  dismissed_ = true;
  return actions;
}

ToolTipModel::Actions ToolTipModel::MouseMoved(int tool, bool insideTip) {
  if (tool == kNoTool && dismissed_) {
    current_ = kNoTool;
    return {};
  }
  if (tool == current_) return {};
  if (shown_ && insideTip) return {};
  Actions actions = Hide();
  dismissed_ = false;
  current_ = tool;
  actions.startInitialDelay = current_ != kNoTool;
  return actions;
}

ToolTipModel::Actions ToolTipModel::LeftPressed(bool insideTip) {
  if (insideTip) return {};
  return Hide();
}

ToolTipModel::Actions ToolTipModel::Dismissed() { return Hide(); }

ToolTipModel::Actions ToolTipModel::InitialDelayOver(bool overCurrent) {
  if (current_ == kNoTool || dismissed_ || !overCurrent) return {};
  shown_ = true;
  shownMs_ = 0;
  Actions actions;
  actions.show = true;
  return actions;
}

ToolTipModel::Actions ToolTipModel::CheckPeriodOver(int tool, bool insideTip) {
  if (current_ == kNoTool || dismissed_ || !shown_) return {};
  shownMs_ += kCheckPeriodMs;
  const bool otherTool = tool != kNoTool && tool != current_;
  const bool stays = !otherTool && ((tool == current_ && shownMs_ < kDisplayMs) || insideTip);
  if (stays) return {};
  return Hide();
}

QRect ToolTipModel::Place(QPoint mouse, QSize size, QRect screen, QRect tool) {
  QRect rect(mouse + Offset(), size);
  if (rect.right() > screen.right()) rect.moveRight(screen.right());
  if (rect.left() < 0) rect.moveLeft(0);
  if (rect.bottom() > screen.bottom()) rect.moveBottom(tool.top() - 1);
  return rect;
}
