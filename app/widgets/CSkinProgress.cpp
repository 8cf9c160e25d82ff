#include "app/widgets/CSkinProgress.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>
#include <cstdlib>

void SkinProgressModel::SetRange(int32_t lower, int32_t upper) {
  lower_ = lower;
  upper_ = upper;
  span_ = std::llabs(static_cast<int64_t>(upper) - lower);
  if (span_ == 0) span_ = 1;
  SetPos(pos_);
}

void SkinProgressModel::SetPos(int32_t pos) {
  const int32_t low = std::min(lower_, upper_);
  const int32_t high = std::max(lower_, upper_);
  pos_ = std::clamp(pos, low, high);
}

int SkinProgressModel::Percent() const {
  return static_cast<int>(100.0 / static_cast<double>(span_) * (static_cast<double>(pos_) - lower_));
}

int SkinProgressModel::FillWidth(int innerWidth) const {
  // Single precision on purpose: a 53-pixel bar at 100 % fills 52 pixels, as it always has.
  const float perPercent = static_cast<float>(innerWidth / 100.0);
  const float fill = perPercent * static_cast<float>(Percent());
  return std::clamp(static_cast<int>(fill), 0, std::max(innerWidth, 0));
}

int SkinProgressModel::TextValue() const {
  const int64_t range = static_cast<int64_t>(upper_) - lower_;
  if (range == 0) return 0;
  return static_cast<int>((static_cast<int64_t>(pos_) - lower_) * 100 / range);
}

int SkinProgressModel::TextFillWidth(int clientWidth) const {
  const int64_t range = static_cast<int64_t>(upper_) - lower_;
  if (range == 0) return 0;
  const float part = static_cast<float>(static_cast<int64_t>(pos_) - lower_) *
                     static_cast<float>(clientWidth) / static_cast<float>(range);
  return static_cast<int>(part);
}

QString SkinProgressModel::Text(const QString& format) const {
  QString text;
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] == QLatin1Char('%') && i + 1 < format.size()) {
      if (format[i + 1] == QLatin1Char('d')) {
        text += QString::number(TextValue());
        ++i;
        continue;
      }
      if (format[i + 1] == QLatin1Char('%')) {
        text += QLatin1Char('%');
        ++i;
        continue;
      }
    }
    text += format[i];
  }
  return text;
}

QSize SkinProgressModel::Tiles(int fill, int innerHeight, QSize bar) {
  if (fill <= 0 || innerHeight <= 0 || bar.width() <= 0 || bar.height() <= 0) return QSize(0, 0);
  return QSize((fill + bar.width() - 1) / bar.width(), (innerHeight + bar.height() - 1) / bar.height());
}

CSkinProgress::CSkinProgress(QWidget* parent) : QWidget(parent) {
  // The bar paints every pixel itself: no erasing first, no flicker.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool CSkinProgress::SetBarImages(const QImage& bar, const QImage& background, bool repaint) {
  bar_ = bar;
  background_ = background;
  if (repaint) update();
  return !bar_.isNull();
}

void CSkinProgress::SetRange(int32_t lower, int32_t upper) {
  model_.SetRange(lower, upper);
  update();
}

void CSkinProgress::SetPos(int32_t pos) {
  model_.SetPos(pos);
  update();
}

void CSkinProgress::SetTextFormat(const QString& format, bool enable) {
  format_ = enable ? format : QString();
  update();
}

void CSkinProgress::SetTextFont(const QFont* font) {
  font_ = font;
  update();
}

void CSkinProgress::SetTextColors(QColor base, QColor filled) {
  baseColor_ = base;
  filledColor_ = filled;
  update();
}

void CSkinProgress::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  if (bar_.isNull()) {
    QStyleOptionProgressBar option;
    option.initFrom(this);
    option.minimum = model_.Lower();
    option.maximum = model_.Upper();
    option.progress = model_.Pos();
    option.text = Text();
    option.textVisible = !option.text.isEmpty();
    option.textAlignment = Qt::AlignCenter;
    style()->drawControl(QStyle::CE_ProgressBar, &option, &painter, this);
    return;
  }
  const int w = width();
  const int h = height();
  const int innerWidth = w - 2;
  const int innerHeight = h - 2;
  if (!background_.isNull()) {
    painter.fillRect(rect(), QColor(0xB3, 0xB3, 0xB3));
    painter.drawImage(QPoint(0, 0), background_);
  } else {
    painter.fillRect(QRect(0, 0, w - 1, h - 1), QColor(0xB3, 0xB3, 0xB3));
    painter.fillRect(QRect(1, 1, w - 2, h - 2), QColor(0xDC, 0xDC, 0xDC));
  }
  const int fill = model_.FillWidth(innerWidth);
  if (fill > 0 && innerHeight > 0) {
    const QSize tiles = SkinProgressModel::Tiles(fill, innerHeight, bar_.deviceIndependentSize().toSize());
    const int copiedHeight = background_.isNull() ? innerHeight - 1 : innerHeight;
    painter.save();
    painter.setClipRect(QRect(1, 1, fill, copiedHeight));
    const QSize step = bar_.deviceIndependentSize().toSize();
    for (int row = 0; row < tiles.height(); ++row) {
      for (int column = 0; column < tiles.width(); ++column) {
        painter.drawImage(QPoint(1 + column * step.width(), 1 + row * step.height()), bar_);
      }
    }
    painter.restore();
  }
  PaintText(painter);
}

void CSkinProgress::PaintText(QPainter& painter) const {
  const QString text = Text();
  if (text.isEmpty()) return;
  painter.save();
  if (font_ != nullptr) painter.setFont(*font_);
  const QFontMetrics metrics(painter.font());
  // The client area of the bordered bar; the text's centre at its middle, its bottom one pixel
  // below the centred position.
  const int clientWidth = width() - 2;
  const int clientHeight = height() - 2;
  const int bottom = (clientHeight + metrics.height()) / 2 + 1;
  const int left = clientWidth / 2 - metrics.horizontalAdvance(text) / 2;
  const QPoint baseline(left, bottom - metrics.descent());
  painter.setClipRect(QRect(0, 0, clientWidth, clientHeight));
  painter.setPen(baseColor_);
  painter.drawText(baseline, text);
  if (filledColor_ != baseColor_) {
    painter.setClipRect(QRect(0, 0, model_.TextFillWidth(clientWidth), clientHeight));
    painter.setPen(filledColor_);
    painter.drawText(baseline, text);
  }
  painter.restore();
}
