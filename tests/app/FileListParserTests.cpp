// Cutting a downloaded file list into its lines: line ends, blank lines, the short last line, the
// longest line, and lists that are not lists at all.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <string>

#include "app/FileListParser.h"

namespace {

QByteArray Bytes(const std::string& text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QStringList Lines(std::initializer_list<const char*> lines) {
  QStringList list;
  for (const char* line : lines) list.append(QString::fromUtf8(line));
  return list;
}

struct ParseCase {
  const char* name;
  std::string data;
  FileListParse::Outcome outcome;
  QStringList lines;
};

void PrintTo(const ParseCase& parseCase, std::ostream* out) { *out << parseCase.name; }

class FileListParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(FileListParseTest, GivesTheLinesInOrder) {
  const ParseCase& parseCase = GetParam();
  FileListParse parse = ParseFileList(Bytes(parseCase.data));
  EXPECT_EQ(parseCase.outcome, parse.outcome);
  EXPECT_EQ(parseCase.lines, parse.lines);
}

const std::string k1023(1023, 'a');
const std::string k1024(1024, 'a');

INSTANTIATE_TEST_SUITE_P(
    Lists, FileListParseTest,
    ::testing::Values(
        ParseCase{"CrLf", "http://h/a.bin\r\nhttp://h/b.bin\r\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"Lf", "http://h/a.bin\nhttp://h/b.bin\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"MixedEnds", "http://h/a.bin\nhttp://h/b.bin\r\nhttp://h/c.bin\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin", "http://h/c.bin"})},
        // A CR not followed by LF ends nothing: it stays inside the line.
        ParseCase{"LoneCrIsACharacter", "http://h/a\rb.bin\nhttp://h/c.bin\n", FileListParse::kOk,
                  Lines({"http://h/a\rb.bin", "http://h/c.bin"})},
        ParseCase{"LoneCrAtTheEnd", "http://h/a.bin\r", FileListParse::kOk, Lines({"http://h/a.bin\r"})},
        ParseCase{"BlankLinesFirstLf", "\n\nhttp://h/a.bin\n", FileListParse::kOk, Lines({"http://h/a.bin"})},
        ParseCase{"BlankLinesFirstCrLf", "\r\n\r\nhttp://h/a.bin\r\n", FileListParse::kOk,
                  Lines({"http://h/a.bin"})},
        ParseCase{"BlankLinesBetweenLf", "http://h/a.bin\n\n\nhttp://h/b.bin\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"BlankLinesBetweenCrLf", "http://h/a.bin\r\n\r\n\r\nhttp://h/b.bin\r\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"BlankLinesBetweenMixed", "http://h/a.bin\n\r\n\nhttp://h/b.bin", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"BlankLinesLast", "http://h/a.bin\r\n\r\n\n\r\n", FileListParse::kOk,
                  Lines({"http://h/a.bin"})},
        ParseCase{"LastLineWithoutEnd", "http://h/a.bin\r\nhttp://h/b.bin", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"LastLineOfOneByteDropped", "http://h/a.bin\nx", FileListParse::kOk,
                  Lines({"http://h/a.bin"})},
        ParseCase{"LastLineOfTwoBytesDropped", "http://h/a.bin\nxy", FileListParse::kOk,
                  Lines({"http://h/a.bin"})},
        ParseCase{"LastLineOfThreeBytesKept", "http://h/a.bin\nxyz", FileListParse::kOk,
                  Lines({"http://h/a.bin", "xyz"})},
        // A terminated short line is a line like any other.
        ParseCase{"TerminatedShortLineKept", "x\nhttp://h/a.bin\n", FileListParse::kOk,
                  Lines({"x", "http://h/a.bin"})},
        ParseCase{"LongestLineKept", k1023 + "\n", FileListParse::kOk,
                  QStringList{QString::fromStdString(k1023)}},
        ParseCase{"LongestLastLineKept", k1023, FileListParse::kOk,
                  QStringList{QString::fromStdString(k1023)}},
        ParseCase{"LineTooLong", "http://h/a.bin\n" + k1024 + "\n", FileListParse::kLineTooLong,
                  QStringList{}},
        ParseCase{"LastLineTooLong", "http://h/a.bin\n" + k1024, FileListParse::kLineTooLong, QStringList{}},
        ParseCase{"Empty", "", FileListParse::kEmpty, QStringList{}},
        ParseCase{"OnlyLineEnds", "\r\n\n\r\n\n", FileListParse::kEmpty, QStringList{}},
        ParseCase{"OnlySpaces", "     \r\n   \n\t \n    ", FileListParse::kEmpty, QStringList{}},
        ParseCase{"SpacesBetweenUrls", "http://h/a.bin\n   \nhttp://h/b.bin\n", FileListParse::kOk,
                  Lines({"http://h/a.bin", "http://h/b.bin"})},
        ParseCase{"NulInALine", std::string("http://h/a\0.bin\n", 16), FileListParse::kBadLine,
                  QStringList{}},
        ParseCase{"ControlByte", "http://h/a\x01.bin\n", FileListParse::kBadLine, QStringList{}},
        ParseCase{"NotUtf8", "http://h/\xff\xfe.bin\n", FileListParse::kBadLine, QStringList{}}),
    [](const ::testing::TestParamInfo<ParseCase>& test) { return std::string(test.param.name); });

TEST(FileListParse, ABinaryFileIsRefusedAsOneBadList) {
  std::string binary;
  uint32_t state = 7;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    binary.push_back(static_cast<char>(state >> 24));
  }
  FileListParse parse = ParseFileList(Bytes(binary));
  EXPECT_NE(FileListParse::kOk, parse.outcome);
  EXPECT_TRUE(parse.lines.isEmpty());
}

TEST(FileListParse, AHundredThousandLinesAreCutWhole) {
  std::string list;
  for (int i = 0; i < 100000; ++i) list += "http://127.0.0.1/files/f" + std::to_string(i) + ".bin\r\n";
  FileListParse parse = ParseFileList(Bytes(list));
  EXPECT_EQ(FileListParse::kOk, parse.outcome);
  ASSERT_EQ(100000, parse.lines.size());
  EXPECT_EQ(QStringLiteral("http://127.0.0.1/files/f99999.bin"), parse.lines.last());
}

}  // namespace
