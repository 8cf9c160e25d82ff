#include "app/CommandLine.h"

CommandLine ParseCommandLine(const QStringList& arguments) {
  CommandLine line;
  bool optionsEnded = false;
  bool urlTaken = false;
  QString destination;
  bool destinationGiven = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    bool option = !optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1;
    if (!option) {
      // Only the first one is the list; the original took one parameter and dropped the rest.
      if (!urlTaken) line.fileListUrl = argument;
      urlTaken = true;
      continue;
    }
    if (argument == QLatin1String("--")) {
      optionsEnded = true;
    } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      line.help = true;
    } else if (argument == QLatin1String("--headless")) {
      line.headless = true;
    } else if (argument == QLatin1String("--no-consent")) {
      line.noConsent = true;
    } else if (argument == QLatin1String("--install")) {
      line.install = true;
    } else if (argument == QLatin1String("--start")) {
      line.start = true;
    } else if (argument == QLatin1String("--dest")) {
      if (i + 1 >= arguments.size()) {
        line.error = QStringLiteral("--dest needs a folder");
        return line;
      }
      destination = arguments[++i];
      destinationGiven = true;
    } else if (argument.startsWith(QLatin1String("--dest="))) {
      destination = argument.mid(7);
      destinationGiven = true;
    } else if (line.error.isEmpty()) {
      // Read on: whether the run wants a window at all is known only from every argument.
      line.error = QStringLiteral("unknown option %1").arg(argument);
    }
  }
  if (!line.error.isEmpty()) return line;
  if (destinationGiven && destination.isEmpty()) {
    line.error = QStringLiteral("--dest needs a folder");
    return line;
  }
  line.destination = destination;
  if (!line.help && !line.headless && line.noConsent) {
    line.error = QStringLiteral("--no-consent works only with --headless");
  } else if (!line.help && !line.headless && !line.start && (destinationGiven || line.install)) {
    line.error = QStringLiteral("--dest and --install work only with --headless or --start");
  }
  return line;
}

QString CommandLineHelp(const QString& program) {
  return QStringLiteral(
             "Usage:\n"
             "  %1 [URL]\n"
             "      Opens the downloader window. URL is the file list to download (default: the\n"
             "      built-in list, setting file_list_url). Only one window runs at a time: a second\n"
             "      start shows a message and brings the running window to the front.\n"
             "\n"
             "  %1 [URL] --start [--dest DIR] [--install]\n"
             "      Opens the window and runs the download by itself, as a user pressing the\n"
             "      buttons would: it starts once the sizes are known, into DIR (default: the folder\n"
             "      the window shows), and with --install presses the install button when every file is\n"
             "      done. Messages still wait for an answer.\n"
             "\n"
             "  %1 --headless [URL] [--dest DIR] [--no-consent] [--install]\n"
             "      Downloads without a window: fetches the list, checks the sizes, downloads every\n"
             "      file into DIR (default: ~/velmoor/ORBA/) and prints the progress (redrawn in place\n"
             "      on a terminal, one line per second otherwise). Messages go to standard error.\n"
             "      --no-consent  download without the high-speed download consent\n"
             "      --install     start the downloaded installer at the end\n"
             "      Questions are answered without a user: earlier data is resumed for every file.\n"
             "      The download goes through the local high-speed engine (installed and kept up\n"
             "      to date from the update server) and directly when the engine cannot serve;\n"
             "      what the engine reports is printed one line each.\n"
             "      Two downloads into the same folder, headless or in a window, do not run at the\n"
             "      same time; a headless run does not count as a running window.\n"
             "      Exit code 0 when every file completed (and, with --install, the installer\n"
             "      started); otherwise 1, after the message that says why.\n"
             "\n"
             "  %1 --help\n"
             "      Shows this text.\n")
      .arg(program);
}
