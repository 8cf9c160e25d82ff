#pragma once
// The deployment's values for the application: the built-in file list and banner (settings),
// the default download folder, the engine's folder.

#include <QString>

#include "app/MainDialogController.h"

// The controller's options for a file-list URL given on the command line (empty: the built-in
// list of the `file_list_url` setting).
MainDialogOptions DefaultDialogOptions(const QString& commandLineUrl);
// The `banner_url` setting.
QString BannerUrl();
// The built-in file-list URL (the `file_list_url` setting): part of the single-instance name.
QString BuiltInFileListUrl();
