// The progress bar, the speed graph and the transparent label: their arithmetic without a screen (range,
// clamping, single-precision fill, tiling, the text) and their pixels through grab() on the offscreen
// platform.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>

#include "app/widgets/CGraphCtrl.h"
#include "app/widgets/CSkinProgress.h"
#include "app/widgets/CTransparentStatic2.h"
#include "tests/app/GuiTestSupport.h"

namespace {

QImage Solid(QSize size, QColor color) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(color);
  return image;
}

struct FillCase {
  int32_t lower;
  int32_t upper;
  int32_t pos;
  int innerWidth;
  int32_t storedPos;
  int fill;
  const char* text;
};

TEST(SkinProgressModelTest, PositionsAreClampedAndTheFillIsReckonedInSinglePrecision) {
  const FillCase cases[] = {
      {0, 100, 150, 284, 100, 284, "100%"},  // past the top
      {0, 100, -5, 284, 0, 0, "0%"},         // below the bottom
      {0, 100, 50, 284, 50, 142, "50%"},     // the window's bar
      {0, 100, 100, 53, 100, 52, "100%"},    // single precision: not 53
      {10, 20, 10, 284, 10, 0, "0%"},
      {10, 20, 20, 284, 20, 284, "100%"},
      {10, 20, 13, 100, 13, 30, "30%"},
      {5, 5, 9, 284, 5, 0, "0%"},  // an empty range: span 1, nothing filled, 0 per cent
  };
  for (const FillCase& c : cases) {
    SkinProgressModel model;
    model.SetRange(c.lower, c.upper);
    model.SetPos(c.pos);
    const std::string name =
        std::to_string(c.lower) + ".." + std::to_string(c.upper) + " @" + std::to_string(c.pos);
    EXPECT_EQ(c.storedPos, model.Pos()) << name;
    EXPECT_EQ(c.fill, model.FillWidth(c.innerWidth)) << name;
    EXPECT_EQ(QString::fromLatin1(c.text), model.Text(QStringLiteral("%d%%"))) << name;
  }
  SkinProgressModel empty;
  empty.SetRange(5, 5);
  EXPECT_EQ(1, empty.Span());
  EXPECT_EQ(QSize(37, 2), SkinProgressModel::Tiles(145, 16, QSize(4, 8)));
  EXPECT_EQ(QSize(0, 0), SkinProgressModel::Tiles(0, 16, QSize(4, 8)));
  SkinProgressModel half;
  half.SetPos(50);
  EXPECT_EQ(QStringLiteral("at 50% of %x"), half.Text(QStringLiteral("at %d%% of %x")))
      << "only %d and %% are read";
  EXPECT_EQ(142, half.TextFillWidth(284));
}

// The bar's pixels at 0, 37 and 100 per cent: the tiled bar picture up to the fill, the plain
// background after it, the darker line at the top and left.
TEST(SkinProgressWidgetTest, TheBarIsTiledUpToTheFillOverThePlainBackground) {
  const QColor barColor(200, 30, 40);
  for (int percent : {0, 37, 100}) {
    CSkinProgress bar;
    bar.resize(286, 18);
    bar.SetBarImages(Solid(QSize(4, 8), barColor), QImage(), false);
    bar.SetTextFormat(QString(), false);
    bar.SetPos(percent);
    const QImage pixels = bar.grab().toImage();
    const int fill = bar.Model().FillWidth(284);
    EXPECT_EQ(QColor(0xB3, 0xB3, 0xB3), pixels.pixelColor(0, 8)) << percent;
    EXPECT_EQ(QColor(0xB3, 0xB3, 0xB3), pixels.pixelColor(100, 0)) << percent;
    if (fill > 0) {
      EXPECT_EQ(barColor, pixels.pixelColor(1, 1)) << percent;
      EXPECT_EQ(barColor, pixels.pixelColor(fill, 15)) << percent;
      EXPECT_EQ(QColor(0xDC, 0xDC, 0xDC), pixels.pixelColor(fill, 16))
          << "one row short without a background";
    }
    if (fill < 284) {
      EXPECT_EQ(QColor(0xDC, 0xDC, 0xDC), pixels.pixelColor(fill + 1, 8)) << percent;
    }
  }
}

TEST(SkinProgressWidgetTest, TheValueTextIsCentredOverTheBar) {
  CSkinProgress bar;
  bar.resize(286, 18);
  bar.SetBarImages(Solid(QSize(4, 8), QColor(0, 0, 0)), Solid(QSize(286, 18), QColor(0, 0, 0)), false);
  bar.SetPos(37);
  EXPECT_TRUE(bar.Text().isEmpty()) << "no text format by default";
  bar.SetTextFormat(QStringLiteral("%d%%"), true);
  EXPECT_EQ(QStringLiteral("37%"), bar.Text());
  const QImage pixels = bar.grab().toImage();
  int lit = 0;
  int minX = 286;
  int maxX = 0;
  for (int y = 0; y < 18; ++y) {
    for (int x = 0; x < 286; ++x) {
      if (pixels.pixelColor(x, y).lightness() > 128) {
        ++lit;
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
      }
    }
  }
  ASSERT_GT(lit, 0) << "no text";
  EXPECT_NEAR(284 / 2, (minX + maxX) / 2, 3) << "centred on the client area";
  bar.SetTextFormat(QStringLiteral("%d%%"), false);
  EXPECT_TRUE(bar.Text().isEmpty()) << "turned off";
}

TEST(SpeedGraphTest, SamplesShiftInAndBarsStandOnTheFloor) {
  SpeedGraphModel model;
  model.PushSample(7);
  for (int i = 0; i < SpeedGraphModel::kSamples - 1; ++i) model.PushSample(0);
  EXPECT_EQ(7, model.Samples().front());
  model.PushSample(250);
  EXPECT_EQ(0, model.Samples().front()) << "after 68 pushes the first one is gone";
  EXPECT_EQ(100, model.Samples().back());
  const std::vector<QRect> bars = model.Bars(342, 69);
  ASSERT_EQ(1u, bars.size()) << "a sample of 0 draws nothing";
  EXPECT_EQ(QRect(5 * 67 + 2, 0, 3, 69), bars[0]) << "full height at 100";
  model.PushSample(50);
  for (const QRect& bar : model.Bars(60, 69)) EXPECT_EQ(2, bar.x()) << "narrower than 68: every bar at 2";
}

TEST(SpeedGraphTest, BarsArePaintedOverTheBackgroundPicture) {
  CGraphCtrl graph;
  graph.resize(342, 69);
  const QColor background(10, 20, 90);
  graph.SetBackground(Solid(QSize(342, 69), background));
  graph.PushSample(50);
  const QImage pixels = graph.grab().toImage();
  const int x = 5 * 67 + 2;
  EXPECT_EQ(CGraphCtrl::BarColor(), pixels.pixelColor(x, 68));
  EXPECT_EQ(CGraphCtrl::BarColor(), pixels.pixelColor(x + 2, 69 - 34));
  EXPECT_EQ(background, pixels.pixelColor(x, 69 - 35));
  EXPECT_EQ(background, pixels.pixelColor(x + 3, 68));
  EXPECT_EQ(background, pixels.pixelColor(2, 68)) << "no bar for the samples of 0";
}

// A label draws on the parent's pixels; a shorter text leaves no trace of a longer one.
TEST(TransparentLabelTest, ShorterTextLeavesNoTraceOverTheParent) {
  QWidget parent;
  parent.resize(300, 60);
  guitest::PaintBackground(parent, QColor(20, 40, 60));
  auto* label = new CTransparentStatic2(&parent);
  label->setGeometry(10, 10, 263, 14);
  label->setText(QStringLiteral("a rather long text that fills the label"));
  const QImage longText = parent.grab().toImage();
  int lit = 0;
  for (int x = 50; x < 273; ++x) {
    for (int y = 10; y < 24; ++y) lit += longText.pixelColor(x, y).lightness() > 100 ? 1 : 0;
  }
  ASSERT_GT(lit, 0) << "the long text reaches past the short one";
  label->setText(QStringLiteral("ab"));
  const QImage shortText = parent.grab().toImage();
  for (int x = 50; x < 273; ++x) {
    for (int y = 10; y < 24; ++y) ASSERT_EQ(QColor(20, 40, 60), shortText.pixelColor(x, y)) << x << "," << y;
  }
  EXPECT_EQ(CTransparentStatic2::TextColor(), label->palette().color(QPalette::WindowText));
}

}  // namespace
