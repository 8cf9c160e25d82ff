// The main window's tooltip: when it shows and hides (driven step by step, no timers waited for),
// where it goes near the screen's edges, its size with a maximum width, and its pixels.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

#include "app/widgets/CSkinToolTipCtrl.h"
#include "tests/app/GuiTestSupport.h"

namespace {

constexpr int kTool = 0;
constexpr int kNone = ToolTipModel::kNoTool;

TEST(ToolTipModelTest, ShowsAfterTheDelayHidesAfterFiveSecondsAndStaysHiddenUntilTheMouseReturns) {
  ToolTipModel tip;
  EXPECT_TRUE(tip.MouseMoved(kTool, false).startInitialDelay);
  EXPECT_FALSE(tip.MouseMoved(kTool, false).startInitialDelay) << "the same tool: nothing";
  EXPECT_TRUE(tip.InitialDelayOver(true).show);
  for (int check = 1; check < ToolTipModel::kDisplayMs / ToolTipModel::kCheckPeriodMs; ++check) {
    EXPECT_FALSE(tip.CheckPeriodOver(kTool, false).hide) << check;
  }
  EXPECT_TRUE(tip.CheckPeriodOver(kTool, false).hide) << "5000 ms";
  EXPECT_TRUE(tip.IsDismissed());
  EXPECT_FALSE(tip.MouseMoved(kTool, false).startInitialDelay) << "still on the tool: not again";
  EXPECT_FALSE(tip.InitialDelayOver(true).show);
  tip.MouseMoved(kNone, false);
  EXPECT_EQ(kNone, tip.CurrentTool());
  EXPECT_TRUE(tip.MouseMoved(kTool, false).startInitialDelay) << "back on the tool";
  EXPECT_TRUE(tip.InitialDelayOver(true).show);
}

TEST(ToolTipModelTest, KeysClicksAndLeavingHideTheTip) {
  struct Case {
    const char* name;
    ToolTipModel::Actions (*act)(ToolTipModel&);
    bool hides;
  };
  const Case cases[] = {
      {"a key", [](ToolTipModel& tip) { return tip.Dismissed(); }, true},
      {"a left press beside the tip", [](ToolTipModel& tip) { return tip.LeftPressed(false); }, true},
      {"a left press on the tip", [](ToolTipModel& tip) { return tip.LeftPressed(true); }, false},
      {"the mouse off the tool", [](ToolTipModel& tip) { return tip.CheckPeriodOver(kNone, false); }, true},
      {"the mouse on the tip", [](ToolTipModel& tip) { return tip.CheckPeriodOver(kNone, true); }, false},
      {"another tool", [](ToolTipModel& tip) { return tip.CheckPeriodOver(1, true); }, true},
  };
  for (const Case& c : cases) {
    ToolTipModel tip;
    tip.MouseMoved(kTool, false);
    ASSERT_TRUE(tip.InitialDelayOver(true).show) << c.name;
    EXPECT_EQ(c.hides, c.act(tip).hide) << c.name;
    EXPECT_EQ(!c.hides, tip.Shown()) << c.name;
  }
  ToolTipModel left;
  left.MouseMoved(kTool, false);
  EXPECT_FALSE(left.InitialDelayOver(false).show) << "the mouse left before the delay was over";
}

TEST(ToolTipModelTest, TheTipStaysOnTheScreen) {
  const QRect screen(0, 0, 1000, 800);
  const QRect tool(100, 700, 50, 60);
  EXPECT_EQ(QRect(100, 120, 200, 30), ToolTipModel::Place(QPoint(100, 100), QSize(200, 30), screen, tool));
  EXPECT_EQ(QRect(800, 120, 200, 30), ToolTipModel::Place(QPoint(840, 100), QSize(200, 30), screen, tool))
      << "40 pixels past the right edge: moved left by 40";
  EXPECT_EQ(QRect(0, 120, 200, 30), ToolTipModel::Place(QPoint(-30, 100), QSize(200, 30), screen, tool));
  EXPECT_EQ(QRect(120, 670, 200, 30), ToolTipModel::Place(QPoint(120, 770), QSize(200, 30), screen, tool))
      << "past the bottom: just above the tool's window";
}

TEST(ToolTipWidgetTest, WrapsAtTheMaximumWidthAndPaintsItsFrame) {
  QWidget parent;
  parent.resize(300, 200);
  auto* box = new QLabel(QStringLiteral("box"), &parent);
  box->setGeometry(13, 150, 40, 20);
  CSkinToolTipCtrl tip;
  ASSERT_TRUE(tip.CreateTip(&parent));
  EXPECT_EQ(0, tip.SetMaxTextWidth(350));
  ASSERT_TRUE(tip.AddToolWindow(box, QStringLiteral("超高速下載只有在下載時才會共享PC資源。")));
  EXPECT_FALSE(tip.AddToolWindow(nullptr, QStringLiteral("x")));
  EXPECT_EQ(QRect(13, 150, 40, 20), tip.Tools()[0].rect);
  EXPECT_EQ(350, tip.Tools()[0].maxWidth);
  const QString words = QString(QStringLiteral("word ")).repeated(60);
  const QSize wrapped = tip.TipSize(words, 350);
  EXPECT_LE(wrapped.width(), 350 + 6);
  EXPECT_GT(wrapped.height(), 3 * QFontMetrics(tip.font()).height()) << "wrapped onto several lines";
  const QSize unwrapped = tip.TipSize(QStringLiteral("one\nlonger line"), 0);
  EXPECT_EQ(QFontMetrics(tip.font()).horizontalAdvance(QStringLiteral("longer line")) + 6, unwrapped.width());

  EXPECT_EQ(400, tip.SetMaxTextWidth(400) + 50) << "the previous width comes back";
  EXPECT_EQ(400, tip.Tools()[0].maxWidth) << "tools that had it follow";
  tip.resize(120, 30);
  const QImage pixels = tip.grab().toImage();
  EXPECT_EQ(QColor(Qt::black), pixels.pixelColor(0, 0));
  EXPECT_EQ(QColor(Qt::black), pixels.pixelColor(119, 29));
  EXPECT_EQ(tip.palette().color(QPalette::ToolTipBase), pixels.pixelColor(1, 1));
}

}  // namespace
