#include "app/Formats.h"

#include <cstdio>

namespace {

// A number with `decimals` digits after the point and its unit, as printf's "%.*f %s" writes it.
QString Printf(int decimals, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
  return QString::fromLatin1(text);
}

}  // namespace

QString FormatSize(double bytes) {
  if (bytes < 1024) return Printf(0, bytes, "Bytes");
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = bytes;
  for (const char* unit : units) {
    value /= 1024;
    if (value < 1024) return Printf(2, value, unit);
  }
  return QString();
}

QString FormatSpeed(double bytesPerSecond) {
  if (bytesPerSecond <= 0) return QStringLiteral("0.0 Bytes");
  if (bytesPerSecond < 1024) return Printf(0, bytesPerSecond, "Bytes");
  const char* units[] = {"KB/Sec", "MB/Sec", "GB/Sec", "TB/Sec"};
  double value = bytesPerSecond;
  for (const char* unit : units) {
    value /= 1024;
    if (value < 1024) return Printf(2, value, unit);
  }
  return QStringLiteral("0.0 Bytes");
}

QString FormatTime(int64_t seconds) {
  int64_t hours = (seconds / 3600) % 24;
  int64_t minutes = (seconds / 60) % 60;
  int64_t rest = seconds % 60;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes),
                static_cast<int>(rest));
  return QString::fromLatin1(text);
}

QString FileLabel(const QString& line, int number, int count) {
  int slash = line.lastIndexOf(QLatin1Char('/'));
  QString name = slash < 0 ? QString() : line.mid(slash + 1);
  // One call: a name holding "%2" or "%3" of its own ("a%2Db.pak") stays as it is.
  return QStringLiteral("%1 [%2/%3]").arg(name, QString::number(number), QString::number(count));
}
