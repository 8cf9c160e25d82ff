// The window's texts for sizes, speeds, times and the file label, at the edges of their units.
#include <gtest/gtest.h>

#include <cmath>

#include "app/Formats.h"

namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = kKiB * 1024;
constexpr double kGiB = kMiB * 1024;
constexpr double kTiB = kGiB * 1024;

TEST(Formats, SizeUnitsChangeAt1024) {
  EXPECT_EQ(QStringLiteral("0 Bytes"), FormatSize(0));
  EXPECT_EQ(QStringLiteral("1 Bytes"), FormatSize(1));
  EXPECT_EQ(QStringLiteral("1023 Bytes"), FormatSize(1023));
  EXPECT_EQ(QStringLiteral("1.00 KB"), FormatSize(1024));
  EXPECT_EQ(QStringLiteral("1.50 KB"), FormatSize(1536));
  EXPECT_EQ(QStringLiteral("1023.00 KB"), FormatSize(1023 * kKiB));
  EXPECT_EQ(QStringLiteral("1.00 MB"), FormatSize(kMiB));
  EXPECT_EQ(QStringLiteral("3.34 MB"), FormatSize(3500000));
  EXPECT_EQ(QStringLiteral("1023.00 MB"), FormatSize(1023 * kMiB));
  EXPECT_EQ(QStringLiteral("1.00 GB"), FormatSize(kGiB));
  EXPECT_EQ(QStringLiteral("1.00 TB"), FormatSize(kTiB));
  EXPECT_EQ(QStringLiteral("1023.00 TB"), FormatSize(1023 * kTiB));
}

TEST(Formats, SizeOf1024TerabytesOrMoreIsEmpty) {
  EXPECT_EQ(QString(), FormatSize(1024 * kTiB));
  EXPECT_EQ(QString(), FormatSize(9e18));
}

TEST(Formats, SpeedOfNothingAndOfBytes) {
  EXPECT_EQ(QStringLiteral("0.0 Bytes"), FormatSpeed(0));
  EXPECT_EQ(QStringLiteral("0.0 Bytes"), FormatSpeed(-5));
  EXPECT_EQ(QStringLiteral("1 Bytes"), FormatSpeed(1));
  EXPECT_EQ(QStringLiteral("1023 Bytes"), FormatSpeed(1023));
}

TEST(Formats, SpeedUnitsPerSecond) {
  EXPECT_EQ(QStringLiteral("1.00 KB/Sec"), FormatSpeed(1024));
  EXPECT_EQ(QStringLiteral("384.00 KB/Sec"), FormatSpeed(393216));
  EXPECT_EQ(QStringLiteral("1.00 MB/Sec"), FormatSpeed(kMiB));
  EXPECT_EQ(QStringLiteral("1.00 GB/Sec"), FormatSpeed(kGiB));
  EXPECT_EQ(QStringLiteral("1.00 TB/Sec"), FormatSpeed(kTiB));
  EXPECT_EQ(QStringLiteral("1023.00 TB/Sec"), FormatSpeed(1023 * kTiB));
  EXPECT_EQ(QStringLiteral("0.0 Bytes"), FormatSpeed(1024 * kTiB));
}

TEST(Formats, TimeShowsTheHoursOfTheDay) {
  EXPECT_EQ(QStringLiteral("00:00:00"), FormatTime(0));
  EXPECT_EQ(QStringLiteral("00:00:59"), FormatTime(59));
  EXPECT_EQ(QStringLiteral("00:01:00"), FormatTime(60));
  EXPECT_EQ(QStringLiteral("00:59:59"), FormatTime(3599));
  EXPECT_EQ(QStringLiteral("01:00:00"), FormatTime(3600));
  EXPECT_EQ(QStringLiteral("23:59:59"), FormatTime(86399));
  EXPECT_EQ(QStringLiteral("00:00:00"), FormatTime(86400));
  EXPECT_EQ(QStringLiteral("01:00:00"), FormatTime(25 * 3600));
  EXPECT_EQ(QStringLiteral("01:01:01"), FormatTime(86400 + 3661));
}

TEST(Formats, FileLabelNamesTheTextAfterTheLastSlash) {
  EXPECT_EQ(QStringLiteral("a.bin [1/3]"), FileLabel(QStringLiteral("http://h/d/a.bin"), 1, 3));
  EXPECT_EQ(QStringLiteral("a.bin?x=1 [2/2]"), FileLabel(QStringLiteral("http://h/a.bin?x=1"), 2, 2));
  EXPECT_EQ(QStringLiteral(" [1/1]"), FileLabel(QStringLiteral("nothing"), 1, 1));
  EXPECT_EQ(QStringLiteral(" [1/1]"), FileLabel(QStringLiteral("http://h/d/"), 1, 1));
  // Escapes and percent signs of the name are shown as they are, never filled in as numbers.
  EXPECT_EQ(QStringLiteral("a%2Db.pak [1/2]"), FileLabel(QStringLiteral("http://h/a%2Db.pak"), 1, 2));
  EXPECT_EQ(QStringLiteral("c%3A%1%9.bin [12/34]"),
            FileLabel(QStringLiteral("http://h/c%3A%1%9.bin"), 12, 34));
  EXPECT_EQ(QStringLiteral("100%.bin [3/3]"), FileLabel(QStringLiteral("http://h/100%.bin"), 3, 3));
}

}  // namespace
