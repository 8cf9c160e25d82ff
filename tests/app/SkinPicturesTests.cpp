// The window's pictures are made by code: drawn again, every checked-in picture must come out the
// same, the resource list must name exactly the pictures there are, and the window must find each
// one it uses at both scales.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <set>

#include "app/SkinResources.h"
#include "app/widgets/CSkinButton.h"
#include "tools/skinpictures/SkinPictures.h"

namespace {

const QString kFolder = QStringLiteral(ORBA_SKIN_FOLDER);

TEST(SkinPicturesTest, TheCheckedInPicturesAreWhatTheProgramDraws) {
  ASSERT_TRUE(QFile::exists(skinpictures::FontFile())) << "the pictures' font is missing (scripts/setup)";
  int differing = 0;
  for (int id : skinpictures::Ids()) {
    for (int scale : {1, 2}) {
      const QString name = skinpictures::FileName(id, scale);
      const QImage drawn = skinpictures::Draw(id, scale);
      ASSERT_FALSE(drawn.isNull()) << name.toStdString();
      const QImage stored = QImage(kFolder + QStringLiteral("/skin/") + name).convertToFormat(drawn.format());
      if (stored != drawn) {
        ++differing;
        ADD_FAILURE() << name.toStdString()
                      << " differs from what tools/skinpictures draws: run build/tools/skinpictures/"
                         "orba-skinpictures app/resources/skin";
      }
    }
  }
  EXPECT_EQ(0, differing);
}

TEST(SkinPicturesTest, TheResourceListNamesEveryPictureOnce) {
  QFile list(kFolder + QStringLiteral("/skin.qrc"));
  ASSERT_TRUE(list.open(QIODevice::ReadOnly));
  std::set<QString> listed;
  const QRegularExpression entry(QStringLiteral("<file alias=\"([^\"]+)\">skin/([^<]+)</file>"));
  for (auto match = entry.globalMatch(QString::fromUtf8(list.readAll())); match.hasNext();) {
    const auto found = match.next();
    EXPECT_EQ(found.captured(1), found.captured(2));
    EXPECT_TRUE(listed.insert(found.captured(1)).second)
        << "listed twice: " << found.captured(1).toStdString();
  }
  std::set<QString> files;
  for (const QString& name : QDir(kFolder + QStringLiteral("/skin")).entryList({QStringLiteral("*.png")}))
    files.insert(name);
  EXPECT_EQ(files, listed);
  std::set<QString> drawn;
  for (int id : skinpictures::Ids()) {
    for (int scale : {1, 2}) drawn.insert(skinpictures::FileName(id, scale));
  }
  EXPECT_EQ(drawn, files) << "a picture the program no longer draws, or one it draws but nobody stored";
}

TEST(SkinPicturesTest, TheWindowFindsItsPictures) {
  for (int id : skinpictures::Ids()) {
    const QImage picture = SkinPicture(id);
    ASSERT_FALSE(picture.isNull()) << id;
    EXPECT_EQ(skinpictures::Draw(id, 1).size(), picture.deviceIndependentSize().toSize()) << id;
  }
  EXPECT_TRUE(SkinPicture(1).isNull());
  EXPECT_FALSE(SkinIcon().isNull());
}

// At 1.5 and 2 device pixels per pixel the window keeps its layout: each picture has the same
// logical size, drawn from twice the pixels, and a button fitted to it keeps its place and size.
TEST(SkinPicturesTest, LargerScreensGetSharperPicturesOfTheSameLogicalSize) {
  for (qreal ratio : {1.0, 1.5, 2.0}) {
    for (int id : {176, 179, 190, 200}) {
      const QImage picture = SkinPicture(id, ratio);
      ASSERT_FALSE(picture.isNull()) << id << " at " << ratio;
      EXPECT_EQ(skinpictures::Draw(id, 1).size(), picture.deviceIndependentSize().toSize())
          << id << " at " << ratio;
      EXPECT_EQ(ratio > 1.0 ? 2.0 : 1.0, picture.devicePixelRatio()) << id << " at " << ratio;
    }
    CSkinButton button;
    button.move(384, 391);
    ASSERT_EQ(CSkinButton::kOk, button.SetImages(SkinPicture(176, ratio), 0xFF00FF, SkinPicture(174, ratio),
                                                 0xFF00FF, SkinPicture(175, ratio), 0xFF00FF));
    button.FitToImage();
    EXPECT_EQ(QRect(384, 391, 110, 24), button.geometry()) << ratio;
  }
}

}  // namespace
