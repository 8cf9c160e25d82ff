#include "app/FileListParser.h"

#include <QStringDecoder>

namespace {

constexpr qsizetype kMaxLine = 1023;

bool IsLineEnd(const QByteArray& data, qsizetype pos) {
  if (data[pos] == '\n') return true;
  return data[pos] == '\r' && pos + 1 < data.size() && data[pos + 1] == '\n';
}

// A line is taken as it stands, except that bytes no URL can hold end the list as bad, and a
// line of nothing but blanks counts as an empty line.
FileListParse::Outcome AddLine(const QByteArray& bytes, QStringList* lines) {
  if (bytes.size() > kMaxLine) return FileListParse::kLineTooLong;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7F) return FileListParse::kBadLine;
  }
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder(bytes);
  if (decoder.hasError()) return FileListParse::kBadLine;
  if (!text.trimmed().isEmpty()) lines->append(text);
  return FileListParse::kOk;
}

}  // namespace

FileListParse ParseFileList(const QByteArray& data) {
  FileListParse result;
  qsizetype start = 0;
  qsizetype pos = 0;
  while (pos < data.size()) {
    if (!IsLineEnd(data, pos)) {
      ++pos;
      continue;
    }
    if (pos == start) {
      start = pos = pos + 1;
      continue;
    }
    FileListParse::Outcome outcome = AddLine(data.mid(start, pos - start), &result.lines);
    if (outcome != FileListParse::kOk) {
      result.outcome = outcome;
      result.lines.clear();
      return result;
    }
    qsizetype terminator = (pos + 1 < data.size() && data[pos + 1] == '\n') ? 2 : 1;
    start = pos = pos + terminator;
  }
  if (start < data.size() && data.size() - start > 2) {
    FileListParse::Outcome outcome = AddLine(data.mid(start), &result.lines);
    if (outcome != FileListParse::kOk) {
      result.outcome = outcome;
      result.lines.clear();
      return result;
    }
  }
  result.outcome = result.lines.isEmpty() ? FileListParse::kEmpty : FileListParse::kOk;
  return result;
}
