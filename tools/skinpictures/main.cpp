// orba-skinpictures DIR: draws the main window's pictures into DIR as PNG files (each at scale 1
// and 2). The pictures in app/resources/skin/ are made with it; a test draws them again and
// fails when the checked-in files differ.
#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "tools/skinpictures/SkinPictures.h"

int main(int argc, char** argv) {
  // No display is needed to draw.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: orba-skinpictures DIR\n");
    return 2;
  }
  QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "orba-skinpictures: cannot make %s\n", argv[1]);
    return 1;
  }
  for (int id : skinpictures::Ids()) {
    for (int scale : {1, 2}) {
      const QImage image = skinpictures::Draw(id, scale);
      const QString path = out.filePath(skinpictures::FileName(id, scale));
      if (image.isNull() || !image.save(path, "PNG")) {
        std::fprintf(stderr, "orba-skinpictures: cannot draw or write %s (font %s)\n", qPrintable(path),
                     qPrintable(skinpictures::FontFile()));
        return 1;
      }
    }
  }
  return 0;
}
