#pragma once
// Cuts the downloaded file list into its lines: one URL per line, lines ended by CR LF or LF,
// empty lines ignored, a last unterminated line kept only when it has 3 bytes or more.

#include <QByteArray>
#include <QStringList>

struct FileListParse {
  enum Outcome {
    kOk,
    kLineTooLong,  // a line of more than 1023 bytes
    kBadLine,      // a line that cannot be a URL: control bytes (a binary file), or not UTF-8
    kEmpty,        // no line at all
  };
  Outcome outcome = kEmpty;
  QStringList lines;
};

FileListParse ParseFileList(const QByteArray& data);
