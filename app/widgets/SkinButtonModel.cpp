#include "app/widgets/SkinButtonModel.h"

namespace {

constexpr int kUnknownStyle = 6;

// Applies `change` to every pixel that is not the transparent colour.
template <typename Change>
QImage Derived(const QImage& image, QRgb transparent, Change change) {
  QImage copy = image.convertToFormat(QImage::Format_RGB32);
  const QRgb key = transparent | 0xFF000000u;
  for (int y = 0; y < copy.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(copy.scanLine(y));
    for (int x = 0; x < copy.width(); ++x) {
      if ((line[x] | 0xFF000000u) != key) line[x] = change(line[x]);
    }
  }
  return copy;
}

}  // namespace

int SkinButtonModel::SetPressOffsetStyle(int style) {
  if (style == 0) {
    pressOffset_ = QPoint(1, 1);
  } else if (style == 1) {
    pressOffset_ = QPoint(0, 2);
  } else {
    return kUnknownStyle;
  }
  return 0;
}

SkinButtonModel::Picture SkinButtonModel::PictureFor(const State& state) const {
  const bool pressed = Pressed(state);
  const bool in = checkBox_ ? pressed : (pressed || state.hover);
  if (in && hasIn_) return Picture::kIn;
  if (!in) {
    if (state.disabled && useDisabled_ && hasDisabled_) return Picture::kDisabled;
    if (hasOut_) return Picture::kOut;
  }
  return hasIn_ ? Picture::kIn : Picture::kNone;
}

SkinButtonModel::Border SkinButtonModel::BorderFor(const State& state) const {
  if (!drawBorder_) return Border::kNone;
  if (Pressed(state)) return Border::kSunken;
  return state.hover ? Border::kRaised : Border::kNone;
}

SkinButtonModel::Look SkinButtonModel::LookFor(const State& state) const {
  if (state.hover || Pressed(state)) return Look::kIn;
  return state.focus ? Look::kFocus : Look::kOut;
}

QRect SkinButtonModel::PictureRect(QSize client, QSize size, bool hasCaption, const State& state) const {
  const int x = hasCaption ? margins_.x() : (client.width() - size.width()) / 2;
  const int y = (client.height() - size.height()) / 2;
  QRect rect(QPoint(x, y), size);
  if (Moves(state)) rect.translate(pressOffset_);
  return rect;
}

QRect SkinButtonModel::CaptionRect(QSize client, QSize size, bool hasCaption, const State& state) const {
  QRect rect(QPoint(0, 0), client);
  if (hasCaption && size.width() > 0) rect.setLeft(margins_.x() + size.width() + margins_.x());
  if (Moves(state)) rect.translate(pressOffset_);
  return rect;
}

QImage SkinButtonModel::DarkerCopy(const QImage& image, QRgb transparent) {
  return Derived(image, transparent, [](QRgb pixel) {
    auto darker = [](int channel) { return static_cast<int>(channel - channel * 0.25); };
    return qRgb(darker(qRed(pixel)), darker(qGreen(pixel)), darker(qBlue(pixel)));
  });
}

QImage SkinButtonModel::GreyCopy(const QImage& image, QRgb transparent) {
  return Derived(image, transparent, [](QRgb pixel) {
    const int grey = static_cast<int>(0.299 * qRed(pixel) + 0.587 * qGreen(pixel) + 0.114 * qBlue(pixel));
    return qRgb(grey, grey, grey);
  });
}

QImage SkinButtonModel::CutOut(const QImage& image, QRgb transparent) {
  QImage copy = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = transparent | 0xFF000000u;
  for (int y = 0; y < copy.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(copy.scanLine(y));
    for (int x = 0; x < copy.width(); ++x) {
      if ((line[x] | 0xFF000000u) == key) line[x] = 0;
    }
  }
  return copy;
}
