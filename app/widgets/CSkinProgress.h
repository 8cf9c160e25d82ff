#pragma once
// The main window's progress bar: a background picture, the filled part tiled from a small bar
// picture, and the value as text over both. SkinProgressModel keeps the range, the position and
// every piece of arithmetic, so a test can check them without a screen; the widget paints them.
// Without a bar picture the style's own progress bar is drawn.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>

class SkinProgressModel {
 public:
  void SetRange(int32_t lower, int32_t upper);
  // Clamped to the range.
  void SetPos(int32_t pos);
  int32_t Lower() const { return lower_; }
  int32_t Upper() const { return upper_; }
  int32_t Pos() const { return pos_; }
  // |upper - lower|, 1 for an empty range.
  int64_t Span() const { return span_; }

  // The filled share in per cent, as the bar is drawn.
  int Percent() const;
  // The filled width of an inner area `innerWidth` wide (single precision, never past it).
  int FillWidth(int innerWidth) const;
  // The value the text shows (0 for an empty range).
  int TextValue() const;
  // The width of the text's filled-colour part in a client area `clientWidth` wide.
  int TextFillWidth(int clientWidth) const;
  // The text for `format`: "%d" becomes the value, "%%" a per cent sign; nothing else is read.
  QString Text(const QString& format) const;
  // Whole bar pictures (columns, rows) that cover `fill` x `innerHeight` from the origin.
  static QSize Tiles(int fill, int innerHeight, QSize bar);

 private:
  int32_t lower_ = 0;
  int32_t upper_ = 100;
  int64_t span_ = 100;
  int32_t pos_ = 0;
};

class CSkinProgress : public QWidget {
  Q_OBJECT

 public:
  explicit CSkinProgress(QWidget* parent = nullptr);

  // The bar and background pictures (a null image: none). True when the bar picture is usable.
  bool SetBarImages(const QImage& bar, const QImage& background, bool repaint);
  void SetRange(int32_t lower, int32_t upper);
  void SetPos(int32_t pos);
  // An empty format, or enable false, shows no text.
  void SetTextFormat(const QString& format, bool enable);
  // The font of the text; the caller keeps it alive (none: the widget's own).
  void SetTextFont(const QFont* font);
  void SetTextColors(QColor base, QColor filled);

  const SkinProgressModel& Model() const { return model_; }
  int Pos() const { return model_.Pos(); }
  QString Text() const { return format_.isEmpty() ? QString() : model_.Text(format_); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void PaintText(QPainter& painter) const;

  SkinProgressModel model_;
  QImage bar_;
  QImage background_;
  QString format_;
  const QFont* font_ = nullptr;
  QColor baseColor_{0xEF, 0xEF, 0xEF};
  QColor filledColor_{0xEF, 0xEF, 0xEF};
};
