#pragma once
// The main window's owner-drawn button: a command button drawn from three pictures (hover and
// press, rest, disabled) or a check box drawn from two (checked, unchecked), over the colour of
// its state or, in transparent mode, over the parent's pixels. It stays a QPushButton, so the
// dialog's default button, keyboard and click semantics are kept; SkinButtonModel holds the rules.

#include <QImage>
#include <QPushButton>

#include "app/widgets/SkinButtonModel.h"

class CSkinButton : public QPushButton {
  Q_OBJECT

 public:
  // The Out picture made from the In picture.
  enum class Derive { kDarker, kGrey };
  // SetImages results.
  static constexpr int kOk = 0;
  static constexpr int kNoImage = 1;
  static constexpr int kNoMask = 2;

  explicit CSkinButton(QWidget* parent = nullptr);

  // The three pictures with their transparent colours (the disabled one may be null). A null In
  // or Out picture answers kNoImage and leaves the button without pictures.
  int SetImages(const QImage& in, QRgb inKey, const QImage& out, QRgb outKey, const QImage& disabled = {},
                QRgb disabledKey = 0);
  // The Out picture made from In, with In's transparent colour.
  int SetImages(const QImage& in, QRgb key, Derive out);
  // A check box: drawn from its two pictures, its check state toggled by clicks.
  void SetCheckBoxMode(bool on);
  void SetChecked(bool checked, bool repaint);
  // The button's own check state: a click toggles it before any repaint.
  bool IsChecked() const { return model_.CheckBoxMode() && isChecked(); }
  void SetBorderDrawing(bool on, bool repaint);
  // Fills nothing: the parent's pixels show under the pictures.
  void SetTransparentMode(bool repaint);
  // No margins; the button becomes exactly as large as its In picture.
  void FitToImage();
  int SetPressOffsetStyle(int style) { return model_.SetPressOffsetStyle(style); }
  void ResetColors(bool repaint);
  void SetColors(SkinButtonModel::Look look, QColor background, QColor text);

  const SkinButtonModel& Model() const { return model_; }
  bool Hover() const { return hover_; }
  SkinButtonModel::State CurrentState() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Picture {
    QImage image;  // transparent colour cut out
    QSize size;
  };
  const Picture* PictureOf(SkinButtonModel::Picture which) const;
  void EndHover();
  void ClearPictures();

  SkinButtonModel model_;
  Picture in_;
  Picture out_;
  Picture disabled_;
  bool hover_ = false;
  bool transparent_ = false;
  QColor backgrounds_[3];
  QColor texts_[3];
};
