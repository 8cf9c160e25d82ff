#pragma once
// The downloader's command line:
//   orba-downloader [URL] [--start [--dest DIR] [--install]]
//   orba-downloader --headless [URL] [--dest DIR] [--no-consent] [--install]
//   orba-downloader --help
// The first argument that is not an option is the file-list URL; later ones are ignored.

#include <QString>
#include <QStringList>

struct CommandLine {
  bool help = false;
  bool headless = false;
  QString fileListUrl;  // empty: the built-in list
  QString destination;  // --dest; empty: the default folder
  bool noConsent = false;
  bool install = false;
  bool start = false;  // --start: the window runs the download by itself
  QString error;       // not empty: the arguments cannot be used, and why
};

// `arguments` without the program's own name. After an unknown option the rest is still read, so
// `headless` and `help` tell whether a window is wanted even then (`error` names the first one).
CommandLine ParseCommandLine(const QStringList& arguments);
// The --help text.
QString CommandLineHelp(const QString& program);
