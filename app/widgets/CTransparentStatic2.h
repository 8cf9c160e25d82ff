#pragma once
// A text label drawn straight on the window's pictures: light grey text with no background of its
// own, so the parent's pixels show under it. Every new text repaints the whole label over those
// pixels, so a shorter text leaves no trace of a longer one.

#include <QLabel>

class CTransparentStatic2 : public QLabel {
  Q_OBJECT

 public:
  explicit CTransparentStatic2(QWidget* parent = nullptr);

  // The text colour of every label: 0xEFEFEF.
  static QColor TextColor() { return QColor(0xEF, 0xEF, 0xEF); }
};
