// Reading a section of a program file without running it: the real engine's version, and damaged
// or foreign files that must read as nothing instead of past their end.
#include <gtest/gtest.h>

#include <string>

#include "platform/ElfSection.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VersionedProgram.h"

namespace {

using testsupport::TempFolder;

TEST(ElfSectionTest, ReadsTheSectionOfWellFormedAndDamagedFiles) {
  const std::string good = testsupport::MakeVersionedProgram("3.5.0.2", "pad");
  struct Case {
    const char* name;
    std::string bytes;
    int64_t maxBytes;
    std::optional<std::string> expected;
  };
  std::string badNames = good;
  badNames[sizeof(uint64_t) * 5 + 2] = 0x7f;  // the section table's offset points past the end
  std::string bigEndian = good;
  bigEndian[5] = 2;
  const std::vector<Case> cases = {
      {"well formed", good, 256, std::string("3.5.0.2\0pad", 11)},
      {"larger than allowed", good, 4, std::nullopt},
      {"cut short", good.substr(0, good.size() - 10), 256, std::nullopt},
      {"section table out of the file", badNames, 256, std::nullopt},
      {"big-endian", bigEndian, 256, std::nullopt},
      {"not a program", "#!/bin/sh\necho hi\n", 256, std::nullopt},
      {"empty", "", 256, std::nullopt},
  };
  TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFileText(folder / "program", c.bytes);
    EXPECT_EQ(c.expected, platform::ReadElfSection(folder / "program", ".qtx_version", c.maxBytes));
  }
  EXPECT_EQ(std::nullopt, platform::ReadElfSection(folder / "missing", ".qtx_version", 256));
  testsupport::WriteFileText(folder / "program", good);
  EXPECT_EQ(std::nullopt, platform::ReadElfSection(folder / "program", ".qtx_versio", 256));
}

}  // namespace
