#pragma once
// The window's texts for sizes, speeds and times, and the file label.

#include <QString>
#include <QStringList>
#include <cstdint>

// "%0.f Bytes" below 1 KiB, then "%.2f KB", "MB", "GB", "TB" (1 KB = 1024 bytes); empty from
// 1024 TB on.
QString FormatSize(double bytes);
// "0.0 Bytes" for nothing, "%0.f Bytes" below 1 KiB/s, then "%0.2f KB/Sec" ... "TB/Sec";
// "0.0 Bytes" again from 1024 TB/s on.
QString FormatSpeed(double bytesPerSecond);
// "hh:mm:ss" of the time of day the seconds make (whole days dropped).
QString FormatTime(int64_t seconds);
// "name [n/count]": the text after the last '/' of the line (empty without one).
QString FileLabel(const QString& line, int number, int count);
