// The skinned button: which picture and border each state shows, where picture and caption stand,
// the derived pictures, and the pixels of a button at rest, hovered, pressed and disabled, and of
// the check box, through grab() on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>

#include "app/widgets/CSkinButton.h"
#include "tests/app/GuiTestSupport.h"

namespace {

using Picture = SkinButtonModel::Picture;
using Border = SkinButtonModel::Border;
using State = SkinButtonModel::State;

const QRgb kMagenta = qRgb(255, 0, 255);

State Make(bool hover, bool selected, bool focus, bool disabled) {
  return State{hover, selected, focus, disabled};
}

TEST(SkinButtonModelTest, EachStateShowsItsPictureBorderAndLook) {
  struct Case {
    const char* name;
    bool checkBox;
    bool checked;
    bool hasDisabled;
    State state;
    Picture picture;
    Border border;
  };
  const Case cases[] = {
      {"at rest", false, false, true, Make(false, false, false, false), Picture::kOut, Border::kNone},
      {"hovered", false, false, true, Make(true, false, false, false), Picture::kIn, Border::kRaised},
      {"pressed", false, false, true, Make(true, true, false, false), Picture::kIn, Border::kSunken},
      {"disabled", false, false, true, Make(false, false, false, true), Picture::kDisabled, Border::kNone},
      {"disabled, no picture", false, false, false, Make(false, false, false, true), Picture::kOut,
       Border::kNone},
      {"check box checked", true, true, false, Make(false, false, false, false), Picture::kIn,
       Border::kSunken},
      {"check box unchecked, hovered", true, false, false, Make(true, false, false, false), Picture::kOut,
       Border::kRaised},
      {"check box unchecked", true, false, false, Make(false, false, false, false), Picture::kOut,
       Border::kNone},
  };
  for (const Case& c : cases) {
    SkinButtonModel model;
    model.SetCheckBoxMode(c.checkBox);
    model.SetChecked(c.checked);
    model.SetPictures(true, true, c.hasDisabled);
    EXPECT_EQ(c.picture, model.PictureFor(c.state)) << c.name;
    EXPECT_EQ(c.border, model.BorderFor(c.state)) << c.name;
    model.SetBorderDrawing(false);
    EXPECT_EQ(Border::kNone, model.BorderFor(c.state)) << c.name;
  }
  SkinButtonModel inOnly;
  inOnly.SetPictures(true, false, false);
  EXPECT_EQ(Picture::kIn, inOnly.PictureFor(State{})) << "no Out picture: In";
  SkinButtonModel looks;
  EXPECT_EQ(SkinButtonModel::Look::kIn, looks.LookFor(Make(true, false, true, false)));
  EXPECT_EQ(SkinButtonModel::Look::kFocus, looks.LookFor(Make(false, false, true, false)));
  EXPECT_EQ(SkinButtonModel::Look::kOut, looks.LookFor(State{}));
}

TEST(SkinButtonModelTest, PicturesAreCentredAndMoveWhenPressed) {
  SkinButtonModel model;
  const QSize client(40, 20);
  const QSize picture(20, 10);
  EXPECT_EQ(QRect(10, 5, 20, 10), model.PictureRect(client, picture, false, State{}));
  EXPECT_EQ(QRect(11, 6, 20, 10), model.PictureRect(client, picture, false, Make(true, true, false, false)));
  EXPECT_EQ(QRect(3, 5, 20, 10), model.PictureRect(client, picture, true, State{})) << "beside a caption";
  EXPECT_EQ(26, model.CaptionRect(client, picture, true, State{}).left());
  EXPECT_EQ(0, model.SetPressOffsetStyle(1));
  EXPECT_EQ(QPoint(0, 2), model.PressOffset());
  EXPECT_EQ(6, model.SetPressOffsetStyle(7));
  EXPECT_EQ(QPoint(0, 2), model.PressOffset()) << "an unknown style changes nothing";
  model.ClearMargins();
  EXPECT_EQ(QRect(0, 5, 20, 10), model.PictureRect(client, picture, true, State{}));
  SkinButtonModel box;
  box.SetCheckBoxMode(true);
  box.SetChecked(true);
  EXPECT_EQ(QRect(10, 5, 20, 10), box.PictureRect(client, picture, false, Make(false, true, false, false)))
      << "a check box does not move";
}

TEST(SkinButtonModelTest, DerivedPicturesKeepTheTransparentColour) {
  QImage image(2, 1, QImage::Format_RGB32);
  image.setPixel(0, 0, qRgb(255, 128, 1));
  image.setPixel(1, 0, kMagenta);
  const QImage darker = SkinButtonModel::DarkerCopy(image, kMagenta);
  EXPECT_EQ(qRgb(191, 96, 0), darker.pixel(0, 0) | 0xFF000000u);
  EXPECT_EQ(kMagenta, darker.pixel(1, 0) | 0xFF000000u);
  const QImage grey = SkinButtonModel::GreyCopy(image, kMagenta);
  const int y = static_cast<int>(0.299 * 255 + 0.587 * 128 + 0.114 * 1);
  EXPECT_EQ(qRgb(y, y, y), grey.pixel(0, 0) | 0xFF000000u);
  EXPECT_EQ(kMagenta, grey.pixel(1, 0) | 0xFF000000u);
  const QImage cut = SkinButtonModel::CutOut(image, kMagenta);
  EXPECT_EQ(255, qAlpha(cut.pixel(0, 0)));
  EXPECT_EQ(0, qAlpha(cut.pixel(1, 0)));
}

// A 20 x 10 picture of one colour with a magenta (transparent) top-left pixel.
QImage Picture20x10(QColor color) {
  QImage image(20, 10, QImage::Format_RGB32);
  image.fill(color);
  image.setPixel(0, 0, kMagenta);
  return image;
}

class SkinButtonTest : public ::testing::Test {
 protected:
  SkinButtonTest() {
    button.resize(40, 20);
    button.SetBorderDrawing(false, false);
    EXPECT_EQ(CSkinButton::kOk, button.SetImages(Picture20x10(Qt::red), kMagenta, Picture20x10(Qt::green),
                                                 kMagenta, Picture20x10(Qt::blue), kMagenta));
  }
  QColor At(int x, int y) { return button.grab().toImage().pixelColor(x, y); }
  void Hover() {
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
  }

  CSkinButton button;
};

TEST_F(SkinButtonTest, RestHoverPressAndDisabledShowTheirPictures) {
  EXPECT_EQ(QColor(Qt::green), At(20, 10)) << "at rest";
  EXPECT_EQ(QColor(255, 255, 255), At(10, 5)) << "the transparent pixel shows the background";
  EXPECT_EQ(QColor(255, 255, 255), At(2, 2)) << "around the picture";
  Hover();
  EXPECT_TRUE(button.Hover());
  EXPECT_EQ(QColor(Qt::red), At(20, 10)) << "hovered";
  button.setDown(true);
  EXPECT_EQ(QColor(Qt::red), At(30, 15)) << "pressed: moved by (1, 1)";
  EXPECT_EQ(QColor(255, 255, 255), At(10, 10)) << "pressed: its old first column is bare";
  button.setDown(false);
  button.setEnabled(false);
  EXPECT_FALSE(button.Hover()) << "disabling ends the hover";
  EXPECT_EQ(QColor(Qt::blue), At(20, 10)) << "disabled";
  button.FitToImage();
  EXPECT_EQ(QSize(20, 10), button.size());
  EXPECT_EQ(QColor(Qt::blue), At(10, 5)) << "drawn at the origin";
}

TEST_F(SkinButtonTest, ACheckBoxShowsInWhenCheckedAndClicksToggleIt) {
  button.SetCheckBoxMode(true);
  button.SetChecked(true, true);
  EXPECT_EQ(1, button.IsChecked());
  EXPECT_EQ(QColor(Qt::red), At(20, 10)) << "checked, at rest: In";
  button.click();
  EXPECT_FALSE(button.isChecked());
  EXPECT_EQ(0, button.IsChecked()) << "toggled by the click, before any repaint";
  Hover();
  EXPECT_EQ(QColor(Qt::green), At(20, 10)) << "unchecked, hovered: Out";
}

TEST_F(SkinButtonTest, MissingPicturesLeaveOnlyTheBackgroundAndTheDarkerOutIsDerived) {
  EXPECT_EQ(CSkinButton::kNoImage, button.SetImages(QImage(), kMagenta, Picture20x10(Qt::green), kMagenta));
  EXPECT_EQ(QColor(255, 255, 255), At(20, 10));
  EXPECT_EQ(CSkinButton::kOk,
            button.SetImages(Picture20x10(QColor(200, 100, 40)), kMagenta, CSkinButton::Derive::kDarker));
  EXPECT_EQ(QColor(150, 75, 30), At(20, 10)) << "at rest: the darker copy";
}

TEST(SkinButtonTransparencyTest, InTransparentModeTheParentShowsAroundAndThroughThePicture) {
  QWidget parent;
  parent.resize(100, 60);
  guitest::PaintBackground(parent, QColor(10, 80, 10));
  auto* button = new CSkinButton(&parent);
  button->setGeometry(30, 20, 40, 20);
  button->SetBorderDrawing(false, false);
  button->SetTransparentMode(false);
  ASSERT_EQ(CSkinButton::kOk,
            button->SetImages(Picture20x10(Qt::red), kMagenta, Picture20x10(Qt::green), kMagenta));
  const QImage pixels = parent.grab().toImage();
  EXPECT_EQ(QColor(10, 80, 10), pixels.pixelColor(30 + 2, 20 + 2)) << "the parent around the picture";
  EXPECT_EQ(QColor(Qt::green), pixels.pixelColor(30 + 20, 20 + 10)) << "the picture over it";
  EXPECT_EQ(QColor(10, 80, 10), pixels.pixelColor(30 + 10, 20 + 5))
      << "the parent through its transparent pixel";
}

}  // namespace
