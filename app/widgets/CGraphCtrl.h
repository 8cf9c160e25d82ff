#pragma once
// The speed graph of the main window: the last 68 samples as bars, newest at the right, over a
// background picture; full height stands for 100. The arithmetic lives in SpeedGraphModel, which
// a test drives without a screen; the widget only paints what it computes.

#include <QImage>
#include <QRect>
#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

class SpeedGraphModel {
 public:
  static constexpr int kSamples = 68;
  static constexpr int kFullScale = 100;

  // Every sample moves one place towards the oldest; the newest is min(value, 100).
  void PushSample(int64_t value);
  const std::array<int, kSamples>& Samples() const { return samples_; }
  // The bars to fill in a client area of `width` x `height` (none for a sample of 0).
  std::vector<QRect> Bars(int width, int height) const;

 private:
  std::array<int, kSamples> samples_{};
};

class CGraphCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit CGraphCtrl(QWidget* parent = nullptr);

  // The picture behind the bars, copied at the origin at its own size; without one a plain
  // dark panel is painted.
  void SetBackground(const QImage& background);
  void PushSample(int64_t value) { model_.PushSample(value); }
  const SpeedGraphModel& Model() const { return model_; }

  static QColor BarColor() { return QColor(213, 186, 17); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  SpeedGraphModel model_;
  QImage background_;
};
