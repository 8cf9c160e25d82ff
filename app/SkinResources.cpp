#include "app/SkinResources.h"

#include <QGuiApplication>

// The resources of a static library are registered by hand, once (outside any namespace, as
// the registration function is declared where it is used).
static void RegisterSkin() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(skin);
    return true;
  }();
  (void)registered;
}

namespace {

constexpr int kIconId = 128;

QString Path(int id, bool twice) {
  return twice ? QStringLiteral(":/skin/%1@2x.png").arg(id) : QStringLiteral(":/skin/%1.png").arg(id);
}

}  // namespace

QImage SkinPicture(int id) { return SkinPicture(id, qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0); }

QImage SkinPicture(int id, qreal devicePixelRatio) {
  RegisterSkin();
  if (devicePixelRatio > 1.0) {
    QImage large(Path(id, true));
    if (!large.isNull()) {
      large.setDevicePixelRatio(2.0);
      return large;
    }
  }
  return QImage(Path(id, false));
}

QIcon SkinIcon() {
  RegisterSkin();
  QIcon icon;
  icon.addFile(Path(kIconId, false));
  icon.addFile(Path(kIconId, true));
  return icon;
}
