#include "app/ApplicationOptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "core/Settings.h"

namespace {

QString Setting(const char* key) { return QString::fromStdString(settings::Get(key)); }

}  // namespace

QString BuiltInFileListUrl() { return Setting("file_list_url"); }

QString BannerUrl() { return Setting("banner_url"); }

MainDialogOptions DefaultDialogOptions(const QString& commandLineUrl) {
  MainDialogOptions options;
  options.fileListUrl = commandLineUrl.isEmpty() ? BuiltInFileListUrl() : commandLineUrl;
  // The portal and game folders below the user's home (on Windows: the Program Files drive).
  options.defaultFolder = QDir::homePath() + QStringLiteral("/velmoor/ORBA/");
  // The engine lives in the installation's own folder; files are never downloaded into it.
  QString prefix = QFileInfo(QCoreApplication::applicationDirPath()).absolutePath();
  options.engineFolder = prefix + QStringLiteral("/Norvik/QTXDownloader/");
  QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (!name.isEmpty()) options.applicationName = name;
  return options;
}
