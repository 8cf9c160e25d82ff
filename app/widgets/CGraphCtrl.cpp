#include "app/widgets/CGraphCtrl.h"

#include <QPainter>
#include <algorithm>

namespace {

constexpr int kBarWidth = 3;
constexpr int kBarInset = 2;

}  // namespace

void SpeedGraphModel::PushSample(int64_t value) {
  std::rotate(samples_.begin(), samples_.begin() + 1, samples_.end());
  samples_.back() = static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, kFullScale));
}

std::vector<QRect> SpeedGraphModel::Bars(int width, int height) const {
  std::vector<QRect> bars;
  const int step = width / kSamples;
  for (int i = 0; i < kSamples; ++i) {
    // Single precision, as the graph has always been drawn.
    const float share = static_cast<float>(samples_[static_cast<size_t>(i)]) / static_cast<float>(kFullScale);
    const int h = static_cast<int>(share * static_cast<float>(height));
    if (h > 0) bars.emplace_back(step * i + kBarInset, height - h, kBarWidth, h);
  }
  return bars;
}

CGraphCtrl::CGraphCtrl(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted each time: nothing needs erasing first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CGraphCtrl::SetBackground(const QImage& background) {
  background_ = background;
  update();
}

void CGraphCtrl::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  if (background_.isNull()) {
    painter.fillRect(rect(), QColor(0x1b, 0x22, 0x2b));
    painter.setPen(QColor(0x2c, 0x36, 0x42));
    for (int quarter = 1; quarter < 4; ++quarter) {
      const int y = height() * quarter / 4;
      painter.drawLine(0, y, width(), y);
    }
  } else {
    // Copied client-sized at the origin, not scaled; the device pixel ratio keeps 2x pictures sharp.
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(QPoint(0, 0), background_);
  }
  for (const QRect& bar : model_.Bars(width(), height())) painter.fillRect(bar, BarColor());
}
