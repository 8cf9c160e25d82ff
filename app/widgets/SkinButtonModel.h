#pragma once
// The rules of the skinned button without a screen: which picture a state shows, where picture
// and caption stand, the border and colours of each state, and the pictures derived from one
// another (a darker or grey copy, the transparent colour cut out). CSkinButton paints what these
// say.

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

class SkinButtonModel {
 public:
  enum class Picture { kNone, kIn, kOut, kDisabled };
  enum class Border { kNone, kRaised, kSunken };
  // The colour pair of a state: In (hover or pressed), Focus, Out (rest).
  enum class Look { kIn, kFocus, kOut };

  // What the platform says of the button at a paint.
  struct State {
    bool hover = false;
    bool selected = false;  // the mouse or the keyboard holds it down
    bool focus = false;
    bool disabled = false;
  };

  void SetCheckBoxMode(bool on) { checkBox_ = on; }
  bool CheckBoxMode() const { return checkBox_; }
  void SetChecked(bool checked) { checked_ = checked; }
  bool Checked() const { return checked_; }
  void SetBorderDrawing(bool on) { drawBorder_ = on; }
  void SetPictures(bool in, bool out, bool disabled) {
    hasIn_ = in;
    hasOut_ = out;
    hasDisabled_ = disabled;
  }
  void SetUseDisabledPicture(bool on) { useDisabled_ = on; }
  // 0 gives the offset (1, 1), 1 gives (0, 2); anything else answers 6 and changes nothing.
  int SetPressOffsetStyle(int style);
  QPoint PressOffset() const { return pressOffset_; }
  // FitToImage: no margins from then on.
  void ClearMargins() { margins_ = QPoint(0, 0); }
  QPoint Margins() const { return margins_; }

  // Held down, or (as a check box) checked.
  bool Pressed(const State& state) const { return state.selected || (checkBox_ && checked_); }
  Picture PictureFor(const State& state) const;
  Border BorderFor(const State& state) const;
  Look LookFor(const State& state) const;
  // Where the picture of `size` stands in a client area of `client`, and where the caption goes.
  QRect PictureRect(QSize client, QSize size, bool hasCaption, const State& state) const;
  QRect CaptionRect(QSize client, QSize size, bool hasCaption, const State& state) const;

  // The pictures a state may show, derived from the In picture; pixels of `transparent` stay.
  static QImage DarkerCopy(const QImage& image, QRgb transparent);
  static QImage GreyCopy(const QImage& image, QRgb transparent);
  // The picture with its `transparent` pixels cut out (alpha 0), as the mask draws it.
  static QImage CutOut(const QImage& image, QRgb transparent);

 private:
  bool Moves(const State& state) const { return Pressed(state) && !checkBox_; }

  bool checkBox_ = false;
  bool checked_ = false;
  bool drawBorder_ = true;
  bool useDisabled_ = true;
  bool hasIn_ = false;
  bool hasOut_ = false;
  bool hasDisabled_ = false;
  QPoint pressOffset_{1, 1};
  QPoint margins_{3, 3};
};
