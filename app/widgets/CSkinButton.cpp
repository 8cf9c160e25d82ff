#include "app/widgets/CSkinButton.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QPainter>

namespace {

const QColor kDefaultBackground(0xFF, 0xFF, 0xFF);
const QColor kDefaultText(0x66, 0x66, 0x66);

int Index(SkinButtonModel::Look look) { return static_cast<int>(look); }

}  // namespace

CSkinButton::CSkinButton(QWidget* parent) : QPushButton(parent) {
  setFlat(true);
  setFocusPolicy(Qt::StrongFocus);
  ResetColors(false);
}

void CSkinButton::ClearPictures() {
  in_ = Picture{};
  out_ = Picture{};
  disabled_ = Picture{};
  model_.SetPictures(false, false, false);
}

int CSkinButton::SetImages(const QImage& in, QRgb inKey, const QImage& out, QRgb outKey,
                           const QImage& disabled, QRgb disabledKey) {
  ClearPictures();
  if (in.isNull() || out.isNull()) return kNoImage;
  in_ = Picture{SkinButtonModel::CutOut(in, inKey), in.deviceIndependentSize().toSize()};
  out_ = Picture{SkinButtonModel::CutOut(out, outKey), out.deviceIndependentSize().toSize()};
  if (!disabled.isNull()) {
    disabled_ =
        Picture{SkinButtonModel::CutOut(disabled, disabledKey), disabled.deviceIndependentSize().toSize()};
  }
  if (in_.image.isNull() || out_.image.isNull()) {
    ClearPictures();
    return kNoMask;
  }
  model_.SetPictures(true, true, !disabled_.image.isNull());
  update();
  return kOk;
}

int CSkinButton::SetImages(const QImage& in, QRgb key, Derive out) {
  if (in.isNull()) {
    ClearPictures();
    return kNoImage;
  }
  QImage derived =
      out == Derive::kDarker ? SkinButtonModel::DarkerCopy(in, key) : SkinButtonModel::GreyCopy(in, key);
  derived.setDevicePixelRatio(in.devicePixelRatio());
  return SetImages(in, key, derived, key);
}

void CSkinButton::SetCheckBoxMode(bool on) {
  model_.SetCheckBoxMode(on);
  setCheckable(on);
  update();
}

void CSkinButton::SetChecked(bool checked, bool repaint) {
  if (!model_.CheckBoxMode()) return;
  setChecked(checked);
  if (repaint) update();
}

void CSkinButton::SetBorderDrawing(bool on, bool repaint) {
  model_.SetBorderDrawing(on);
  if (repaint) update();
}

void CSkinButton::SetTransparentMode(bool repaint) {
  transparent_ = true;
  setAttribute(Qt::WA_TranslucentBackground);
  if (repaint) update();
}

void CSkinButton::FitToImage() {
  model_.ClearMargins();
  if (!in_.size.isEmpty()) resize(in_.size);
}

void CSkinButton::ResetColors(bool repaint) {
  for (int i = 0; i < 3; ++i) {
    backgrounds_[i] = kDefaultBackground;
    texts_[i] = kDefaultText;
  }
  if (repaint) update();
}

void CSkinButton::SetColors(SkinButtonModel::Look look, QColor background, QColor text) {
  backgrounds_[Index(look)] = background;
  texts_[Index(look)] = text;
  update();
}

SkinButtonModel::State CSkinButton::CurrentState() const {
  SkinButtonModel::State state;
  state.hover = hover_;
  state.selected = isDown();
  state.focus = hasFocus();
  state.disabled = !isEnabled();
  return state;
}

const CSkinButton::Picture* CSkinButton::PictureOf(SkinButtonModel::Picture which) const {
  switch (which) {
    case SkinButtonModel::Picture::kIn:
      return &in_;
    case SkinButtonModel::Picture::kOut:
      return &out_;
    case SkinButtonModel::Picture::kDisabled:
      return &disabled_;
    case SkinButtonModel::Picture::kNone:
      break;
  }
  return nullptr;
}

void CSkinButton::paintEvent(QPaintEvent* /*event*/) {
  model_.SetChecked(isCheckable() && isChecked());
  const SkinButtonModel::State state = CurrentState();
  QPainter painter(this);
  // Transparent: nothing is filled, and the parent's pixels show under the button.
  if (!transparent_) painter.fillRect(rect(), backgrounds_[Index(model_.LookFor(state))]);
  const SkinButtonModel::Border border = model_.BorderFor(state);
  if (border != SkinButtonModel::Border::kNone) {
    const QColor light = palette().color(QPalette::Light);
    const QColor dark = palette().color(QPalette::Dark);
    const bool sunken = border == SkinButtonModel::Border::kSunken;
    const QRect edge = rect().adjusted(0, 0, -1, -1);
    painter.setPen(sunken ? dark : light);
    painter.drawLine(edge.topLeft(), edge.topRight());
    painter.drawLine(edge.topLeft(), edge.bottomLeft());
    painter.setPen(sunken ? light : dark);
    painter.drawLine(edge.bottomLeft(), edge.bottomRight());
    painter.drawLine(edge.topRight(), edge.bottomRight());
  }
  const Picture* picture = PictureOf(model_.PictureFor(state));
  const QSize pictureSize = picture != nullptr ? picture->size : QSize(0, 0);
  const bool hasCaption = !text().isEmpty();
  if (picture != nullptr) {
    painter.drawImage(model_.PictureRect(size(), pictureSize, hasCaption, state), picture->image);
  }
  if (!hasCaption) return;
  const QRect caption = model_.CaptionRect(size(), pictureSize, hasCaption, state);
  const int flags = Qt::AlignCenter | Qt::TextWordWrap;
  if (state.disabled) {
    painter.setPen(palette().color(QPalette::Light));
    painter.drawText(caption.translated(1, 1), flags, text());
    painter.setPen(palette().color(QPalette::Dark));
  } else {
    painter.setPen(texts_[Index(model_.LookFor(state))]);
  }
  painter.drawText(caption, flags, text());
}

void CSkinButton::enterEvent(QEnterEvent* event) {
  // A press that started elsewhere does not light the button up.
  const bool draggedIn = (QGuiApplication::mouseButtons() & Qt::LeftButton) && !hover_;
  if (!draggedIn && isEnabled()) {
    hover_ = true;
    update();
  }
  QPushButton::enterEvent(event);
}

void CSkinButton::leaveEvent(QEvent* event) {
  EndHover();
  QPushButton::leaveEvent(event);
}

void CSkinButton::focusOutEvent(QFocusEvent* event) {
  EndHover();
  QPushButton::focusOutEvent(event);
}

void CSkinButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange && !isEnabled()) EndHover();
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) EndHover();
  if (event->type() == QEvent::ThemeChange) {
    // Colours of the system changed: the colours start afresh.
    ResetColors(false);
  }
  QPushButton::changeEvent(event);
}

void CSkinButton::EndHover() {
  if (!hover_) return;
  hover_ = false;
  update();
}
