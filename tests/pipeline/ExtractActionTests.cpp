#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "pipeline/ArchiveUnpacker.h"
#include "pipeline/IExtractAction.h"
#include "pipeline/Log.h"
#include "platform/FileTree.h"
#include "tests/pipeline/ExtractTestArchives.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using extracttest::Entry;
using extracttest::File;
using extracttest::Folder;
using extracttest::Kind;
using extracttest::MakeArchive;
using extracttest::Special;
using testsupport::ReadFileText;
using testsupport::ScopedEnvironment;
using testsupport::TempFolder;

constexpr int64_t kMiB = 1048576;

const char* Name(ArchiveFormat format) { return format == ArchiveFormat::kZip ? "zip" : "7z"; }

// Everything below a folder as it is on disk, links not followed: what a failed extraction must
// leave exactly as it found it.
struct Node {
  char type;  // 'd' folder, 'f' file, 'l' symbolic link, 'o' anything else
  std::string content;
  unsigned mode;
  bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

Tree Snapshot(const std::string& root) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    fs::file_status status = fs::symlink_status(path);
    Node node{'o', std::string(), static_cast<unsigned>(status.permissions()) & 07777};
    if (fs::is_symlink(status)) {
      node.type = 'l';
      node.content = fs::read_symlink(path).string();
    } else if (fs::is_directory(status)) {
      node.type = 'd';
    } else if (fs::is_regular_file(status)) {
      node.type = 'f';
      node.content = ReadFileText(path.string());
    }
    tree[fs::relative(path, root).string()] = node;
  }
  return tree;
}

std::string Describe(const Tree& tree) {
  std::string text;
  for (const auto& [path, node] : tree) text += std::string(1, node.type) + " " + path + "\n";
  return text;
}

std::string Patterned(size_t size) { return testsupport::PatternedBytes(size, 42); }

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLogPathForTesting();
    ResetLog();
  }
  void TearDown() override { ResetLogPathForTesting(); }

  // The target is two levels down, so a name that climbs out lands where the snapshot sees it.
  std::string Target() const { return root_ / "parent/target"; }

  int Extract(ArchiveFormat format, const std::string& archive, const std::string& folder,
              ExtractLimits limits = ExtractLimits{}) {
    std::unique_ptr<IExtractAction> action;
    if (format == ArchiveFormat::kZip) {
      action = std::make_unique<CGZipExtractAction>(limits);
    } else {
      action = std::make_unique<C7ZipExtractAction>(limits);
    }
    return action->Extract(reinterpret_cast<const uint8_t*>(archive.data()),
                           static_cast<int64_t>(archive.size()), folder);
  }

  static int Failure(ArchiveFormat format) {
    return format == ArchiveFormat::kZip ? kExtractZipFailed : kExtract7zFailed;
  }

  std::string LogText() const { return ReadFileText(data_ / "Norvik/qtxDownloadV32/config/service.log"); }

  // Extraction fails, names `logged` in the log, and leaves everything below the test's root as it
  // was: the target, its parent (no temporary folder left), and whatever a name could climb to.
  void ExpectRefusedLeavesEverything(ArchiveFormat format, const std::string& archive,
                                     const std::string& logged) {
    Tree before = Snapshot(root_.Path());
    EXPECT_EQ(Extract(format, archive, Target()), Failure(format));
    Tree after = Snapshot(root_.Path());
    EXPECT_EQ(Describe(after), Describe(before));
    EXPECT_TRUE(after == before);
    EXPECT_NE(LogText().find(logged), std::string::npos) << LogText();
  }

  // A target that already holds files, for the tests that must find it unchanged.
  void FillTarget() {
    ASSERT_EQ(fs::create_directories(Target() + "/sub"), true);
    testsupport::WriteFileText(Target() + "/keep.txt", "old content");
    testsupport::WriteFileText(Target() + "/sub/inner.txt", "inner");
  }

  TempFolder data_;
  TempFolder config_;
  ScopedEnvironment dataHome_{"XDG_DATA_HOME", data_.Path()};
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME", config_.Path()};
  ScopedEnvironment cap_{"ORBA_UPDATE_MAX_UNPACKED_BYTES", std::nullopt};
  TempFolder root_;
};

class BothFormats : public ExtractTest, public ::testing::WithParamInterface<ArchiveFormat> {
 protected:
  ArchiveFormat Format() const { return GetParam(); }
  std::string Make(const std::vector<Entry>& entries) const { return MakeArchive(Format(), entries); }
};

std::string FormatName(const ::testing::TestParamInfo<ArchiveFormat>& info) {
  return info.param == ArchiveFormat::kZip ? "Zip" : "SevenZip";
}

// --- Choice of action ---------------------------------------------------------------------------

struct ChoiceCase {
  const char* address;
  const char* expected;  // "zip", "7z" or "none"
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << '"' << c.address << '"'; }

class ChooseExtractActionTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseExtractActionTest, PicksByTheTextAfterTheLastDot) {
  std::unique_ptr<IExtractAction> action = ChooseExtractAction(GetParam().address);
  std::string chosen = !action                                                      ? "none"
                       : dynamic_cast<CGZipExtractAction*>(action.get()) != nullptr ? "zip"
                       : dynamic_cast<C7ZipExtractAction*>(action.get()) != nullptr ? "7z"
                                                                                    : "other";
  EXPECT_EQ(chosen, GetParam().expected) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(Addresses, ChooseExtractActionTest,
                         ::testing::Values(ChoiceCase{"http://update.example/v3/files.zip", "zip"},
                                           ChoiceCase{"http://update.example/v3/FILES.ZIP", "zip"},
                                           ChoiceCase{"http://update.example/v3/files.Zip", "zip"},
                                           ChoiceCase{"http://update.example/v3/files.7z", "7z"},
                                           ChoiceCase{"http://update.example/v3/files.7Z", "7z"},
                                           ChoiceCase{"http://update.example/v3/files.tar.zip", "zip"},
                                           ChoiceCase{"http://update.example/v3/QTXDownloadV32.exe", "none"},
                                           ChoiceCase{"http://update.example/v3/files.zip?x=1", "none"},
                                           ChoiceCase{"http://update.example/v3/files", "none"},
                                           ChoiceCase{"files.", "none"}, ChoiceCase{".zip", "none"},
                                           ChoiceCase{".7z", "none"}, ChoiceCase{"zip", "none"},
                                           ChoiceCase{"a.zip", "zip"}, ChoiceCase{"", "none"}));

// --- Entry names --------------------------------------------------------------------------------

struct NameCase {
  const char* name;
  bool directory;
  const char* place;  // nullptr: refused
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class EntryPlaceTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(EntryPlaceTest, StaysInsideTheFolderOrIsRefused) {
  const char* why = nullptr;
  std::optional<std::string> place = EntryPlace(GetParam().name, GetParam().directory, &why);
  if (GetParam().place == nullptr) {
    EXPECT_FALSE(place) << GetParam().name << " -> " << place.value_or("");
    EXPECT_NE(why, nullptr);
  } else {
    ASSERT_TRUE(place) << GetParam().name << ": " << (why ? why : "");
    EXPECT_EQ(*place, GetParam().place) << GetParam().name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, EntryPlaceTest,
    ::testing::Values(NameCase{"file.txt", false, "file.txt"}, NameCase{"sub/file", false, "sub/file"},
                      NameCase{"dir/../../file", false, "file"}, NameCase{"dir\\..\\..\\file", false, "file"},
                      NameCase{"a/..\\b", false, "b"}, NameCase{"a\\../b", false, "b"},
                      NameCase{"C:\\/\\file", false, "file"}, NameCase{"C:/x/y.txt", false, "x/y.txt"},
                      NameCase{"c:file", false, "file"}, NameCase{"/abs/x", false, "abs/x"},
                      NameCase{"\\\\server\\share\\f", false, "server/share/f"},
                      NameCase{"C:C:\\D:/x", false, "x"}, NameCase{"\xc3\xa9:/x", false, "x"},
                      NameCase{"a\\b\\c.txt", false, "a/b/c.txt"}, NameCase{"./x", false, "x"},
                      NameCase{"x/./y//z", false, "x/y/z"}, NameCase{"a/...", false, "a/..."},
                      NameCase{"x/a:b", false, "x/a:b"}, NameCase{"../x", false, nullptr},
                      NameCase{"..\\x", false, nullptr}, NameCase{"a/..", false, nullptr},
                      NameCase{"a/b/../../c", false, "c"}, NameCase{"..", true, nullptr},
                      NameCase{"", false, nullptr}, NameCase{"/", false, nullptr},
                      NameCase{"C:", false, nullptr}, NameCase{"/", true, ""}, NameCase{"./", true, ""},
                      NameCase{"dir/", true, "dir"}));

TEST(StripEntryNameTest, RemovesRepeatedlyUntilNothingIsLeft) {
  EXPECT_EQ(StripEntryName("a/../b/../c"), "c");
  EXPECT_EQ(StripEntryName("\\/C:\\x"), "x");
  EXPECT_EQ(StripEntryName("x/../C:/../y"), "y");
  EXPECT_EQ(StripEntryName("a/b/../../c"), "c");
  EXPECT_EQ(StripEntryName("dir/../../file"), "file");
  EXPECT_EQ(StripEntryName("../x"), "../x");
  EXPECT_EQ(StripEntryName("///"), "");
}

// --- Arguments ----------------------------------------------------------------------------------

TEST_P(BothFormats, BadArgumentsAreRefusedAndTouchNothing) {
  std::string archive = Make({File("f", "x")});
  const uint8_t* data = reinterpret_cast<const uint8_t*>(archive.data());
  int64_t length = static_cast<int64_t>(archive.size());
  std::unique_ptr<IExtractAction> action;
  if (Format() == ArchiveFormat::kZip) {
    action = std::make_unique<CGZipExtractAction>();
  } else {
    action = std::make_unique<C7ZipExtractAction>();
  }
  EXPECT_EQ(action->Extract(nullptr, length, Target()), kExtractBadArguments);
  EXPECT_EQ(action->Extract(data, 0, Target()), kExtractBadArguments);
  EXPECT_EQ(action->Extract(data, -1, Target()), kExtractBadArguments);
  EXPECT_EQ(action->Extract(data, length, ""), kExtractBadArguments);
  EXPECT_TRUE(Snapshot(root_.Path()).empty());
}

// --- Layout -------------------------------------------------------------------------------------

struct LandingCase {
  const char* name;
  const char* landsAt;
};

void PrintTo(const LandingCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class LandingTest : public ExtractTest,
                    public ::testing::WithParamInterface<std::tuple<ArchiveFormat, LandingCase>> {};

TEST_P(LandingTest, EntryLandsInsideTheFolder) {
  auto [format, landing] = GetParam();
  std::string archive = MakeArchive(format, {File(landing.name, "payload")});
  ASSERT_EQ(Extract(format, archive, Target() + "/"), kExtractOk) << LogText();
  Tree tree = Snapshot(root_.Path());
  EXPECT_EQ(ReadFileText(Target() + "/" + landing.landsAt), "payload") << Describe(tree);
  // Nothing but the target and what is in it.
  for (const auto& [path, node] : tree) {
    EXPECT_TRUE(path == "parent" || path.rfind("parent/target", 0) == 0) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, LandingTest,
    ::testing::Combine(
        ::testing::Values(ArchiveFormat::kZip, ArchiveFormat::kSevenZip),
        ::testing::Values(LandingCase{"dir/../../file", "file"}, LandingCase{"C:\\/\\drive.txt", "drive.txt"},
                          LandingCase{"C:/x/y.txt", "x/y.txt"}, LandingCase{"/abs/name.txt", "abs/name.txt"},
                          LandingCase{"a\\b\\c.txt", "a/b/c.txt"}, LandingCase{"sub/file", "sub/file"},
                          LandingCase{"d\xc3\xa9j\xc3\xa0/\xc3\xa9t\xc3\xa9.txt",
                                      "d\xc3\xa9j\xc3\xa0/\xc3\xa9t\xc3\xa9.txt"})),
    [](const auto& param) {
      return (std::get<0>(param.param) == ArchiveFormat::kZip ? "Zip" : "SevenZip") +
             std::to_string(param.index);
    });

TEST_P(BothFormats, UnpacksFilesAndFoldersWithTheirContent) {
  std::string big = Patterned(300000);
  std::string archive = Make({Folder("empty/"), File("QTXDownloadV32.exe", big, 0755),
                              File("sub/deeper/a.txt", "A"), File("sub/b.txt", "")});
  ASSERT_EQ(Extract(Format(), archive, Target()), kExtractOk) << LogText();
  EXPECT_TRUE(fs::is_directory(Target() + "/empty"));
  EXPECT_EQ(ReadFileText(Target() + "/QTXDownloadV32.exe"), big);
  EXPECT_EQ(ReadFileText(Target() + "/sub/deeper/a.txt"), "A");
  EXPECT_TRUE(fs::is_regular_file(Target() + "/sub/b.txt"));
  EXPECT_EQ(fs::file_size(Target() + "/sub/b.txt"), 0u);
  // No temporary folder is left beside the target.
  EXPECT_EQ(Describe(Snapshot(root_ / "parent")).find(".unpack-"), std::string::npos);
}

TEST_P(BothFormats, SubFolderEntryCreatesTheFolder) {
  ASSERT_EQ(Extract(Format(), Make({File("sub/file", "in sub")}), Target()), kExtractOk) << LogText();
  EXPECT_TRUE(fs::is_directory(Target() + "/sub"));
  EXPECT_EQ(ReadFileText(Target() + "/sub/file"), "in sub");
}

TEST_P(BothFormats, ReplacesAnExistingFileAndKeepsTheOthers) {
  FillTarget();
  ASSERT_EQ(
      Extract(Format(), Make({File("keep.txt", "new content"), File("sub/added.txt", "added")}), Target()),
      kExtractOk)
      << LogText();
  EXPECT_EQ(ReadFileText(Target() + "/keep.txt"), "new content");
  EXPECT_EQ(ReadFileText(Target() + "/sub/inner.txt"), "inner");
  EXPECT_EQ(ReadFileText(Target() + "/sub/added.txt"), "added");
}

TEST_P(BothFormats, ALaterEntryOfTheSameNameWins) {
  ASSERT_EQ(
      Extract(Format(), Make({File("twice.txt", "first, longer"), File("twice.txt", "second")}), Target()),
      kExtractOk);
  EXPECT_EQ(ReadFileText(Target() + "/twice.txt"), "second");
}

TEST_P(BothFormats, CreatesTheMissingFolderAndItsParents) {
  std::string deep = root_ / "a/b/c";
  ASSERT_EQ(Extract(Format(), Make({File("f", "x")}), deep), kExtractOk);
  EXPECT_EQ(ReadFileText(deep + "/f"), "x");
}

TEST_P(BothFormats, AcceptsAFolderWrittenWithBackslashes) {
  std::string folder = Target() + "\\";
  ASSERT_EQ(Extract(Format(), Make({File("f", "x")}), folder), kExtractOk);
  EXPECT_EQ(ReadFileText(Target() + "/f"), "x");
}

TEST_P(BothFormats, AnEmptyArchiveUnpacksNothing) {
  ASSERT_EQ(Extract(Format(), Make({}), Target()), kExtractOk) << LogText();
  EXPECT_TRUE(fs::is_directory(Target()));
  EXPECT_TRUE(fs::is_empty(Target()));
}

struct ModeCase {
  unsigned given;
  unsigned expected;
};

TEST_P(BothFormats, FilesKeepTheirPermissionsWithinLimits) {
  const ModeCase cases[] = {{0755, 0755}, {0777, 0755}, {0700, 0700},  {0644, 0644},
                            {0444, 0644}, {0600, 0600}, {04755, 0755}, {0111, 0711}};
  std::vector<Entry> entries;
  for (const ModeCase& c : cases) entries.push_back(File("mode" + std::to_string(c.given), "x", c.given));
  ASSERT_EQ(Extract(Format(), Make(entries), Target()), kExtractOk) << LogText();
  for (const ModeCase& c : cases) {
    struct stat info {};
    ASSERT_EQ(stat((Target() + "/mode" + std::to_string(c.given)).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.expected) << std::oct << "given " << c.given;
  }
}

TEST_F(ExtractTest, TheEngineKeepsItsExecutableBit) {
  for (ArchiveFormat format : {ArchiveFormat::kZip, ArchiveFormat::kSevenZip}) {
    std::string folder = root_ / Name(format);
    std::string archive = MakeArchive(format, {File("QTXDownloadV32.exe", "#!/bin/sh\nexit 0\n", 0755)});
    ASSERT_EQ(Extract(format, archive, folder), kExtractOk) << Name(format);
    fs::perms perms = fs::status(folder + "/QTXDownloadV32.exe").permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << Name(format);
  }
}

TEST_F(ExtractTest, AZipEntryWithoutPermissionsGetsReadWrite) {
  std::string archive =
      extracttest::WithZipFromDos(MakeArchive(ArchiveFormat::kZip, {File("dos.txt", "x", 0755)}));
  ASSERT_EQ(Extract(ArchiveFormat::kZip, archive, Target()), kExtractOk) << LogText();
  EXPECT_EQ(static_cast<unsigned>(fs::status(Target() + "/dos.txt").permissions()) & 07777, 0644u);
}

TEST_P(BothFormats, FilesKeepTheirModificationTime) {
  Entry entry = File("dated.txt", "x");
  entry.mtime = 1500000000;
  ASSERT_EQ(Extract(Format(), Make({entry}), Target()), kExtractOk);
  struct stat info {};
  ASSERT_EQ(stat((Target() + "/dated.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1500000000);
}

TEST_P(BothFormats, LeavesTheCurrentDirectoryAlone) {
  fs::path before = fs::current_path();
  ASSERT_EQ(Extract(Format(), Make({File("sub/file", "x")}), Target()), kExtractOk);
  EXPECT_EQ(fs::current_path(), before);
  // A relative folder is taken from the current directory, which stays where it was.
  fs::current_path(root_.Path());
  int result = Extract(Format(), Make({File("rel.txt", "r")}), "relative/out");
  fs::current_path(before);
  ASSERT_EQ(result, kExtractOk);
  EXPECT_EQ(ReadFileText(root_ / "relative/out/rel.txt"), "r");
}

// --- Refusals: the target and its surroundings stay exactly as they were -------------------------

struct RefusalCase {
  const char* label;
  std::vector<Entry> entries;
  const char* logged;  // what the log line names
};

std::vector<RefusalCase> RefusalCases(ArchiveFormat format) {
  std::vector<RefusalCase> cases = {
      {"Traversal", {File("good.txt", "g"), File("../escaped.txt", "evil")}, "parent reference"},
      {"BackslashTraversal", {File("good.txt", "g"), File("..\\escaped.txt", "evil")}, "parent reference"},
      {"TrailingParent", {File("good.txt", "g"), File("a/..", "x")}, "parent reference"},
      {"Symlink", {File("good.txt", "g"), Special("evil", Kind::kSymlink, "/etc")}, "link entry (evil)"},
      {"SymlinkThenWrite",
       {Special("sub", Kind::kSymlink, "/tmp"), File("sub/escaped.txt", "evil")},
       "link entry (sub)"},
      {"EmptyName", {File("good.txt", "g"), File("C:", "x")}, "empty name"},
  };
  if (format == ArchiveFormat::kSevenZip) {
    cases.push_back(
        {"CharDevice", {File("good.txt", "g"), Special("dev", Kind::kCharDevice)}, "device entry (dev)"});
    cases.push_back({"BlockDevice", {Special("blk", Kind::kBlockDevice)}, "device entry (blk)"});
    cases.push_back({"Fifo", {Special("fifo", Kind::kFifo)}, "FIFO entry (fifo)"});
    cases.push_back({"Socket", {Special("sock", Kind::kSocket)}, "socket entry (sock)"});
  }
  return cases;
}

TEST_P(BothFormats, RefusedEntriesFailTheWholeArchive) {
  FillTarget();
  for (const RefusalCase& c : RefusalCases(Format())) {
    SCOPED_TRACE(c.label);
    ExpectRefusedLeavesEverything(Format(), Make(c.entries), c.logged);
  }
  EXPECT_FALSE(fs::exists(root_ / "parent/escaped.txt"));
  EXPECT_FALSE(fs::exists("/tmp/escaped.txt"));
}

TEST_F(ExtractTest, RefusalIsLoggedInOneLine) {
  std::string archive = MakeArchive(ArchiveFormat::kZip, {Special("evil", Kind::kSymlink, "/etc")});
  EXPECT_EQ(Extract(ArchiveFormat::kZip, archive, Target()), kExtractZipFailed);
  EXPECT_NE(LogText().find("] [TessenLib] Extract refused: link entry (evil)\r\n"), std::string::npos)
      << LogText();
}

struct ZipTypeCase {
  const char* label;
  uint32_t type;
  const char* logged;
};

TEST_F(ExtractTest, ZipSpecialFilesAreRefused) {
  FillTarget();
  // (libarchive reads a zip's FIFO as a plain file, which is harmless.)
  const ZipTypeCase cases[] = {{"CharDevice", 0020000, "device entry (odd)"},
                               {"BlockDevice", 0060000, "device entry (odd)"},
                               {"Socket", 0140000, "socket entry (odd)"}};
  for (const ZipTypeCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string zip = MakeArchive(ArchiveFormat::kZip, {File("good.txt", "g"), File("odd", "")});
    ExpectRefusedLeavesEverything(ArchiveFormat::kZip, extracttest::WithZipUnixType(zip, "odd", c.type),
                                  c.logged);
  }
}

TEST_P(BothFormats, NeverWritesThroughALinkInTheTarget) {
  TempFolder outside;
  ASSERT_TRUE(fs::create_directories(Target()));
  fs::create_directory_symlink(outside.Path(), Target() + "/sub");
  Tree before = Snapshot(root_.Path());
  EXPECT_EQ(Extract(Format(), Make({File("sub/file", "through the link")}), Target()), Failure(Format()));
  EXPECT_TRUE(fs::is_empty(outside.Path()));
  EXPECT_TRUE(Snapshot(root_.Path()) == before) << Describe(Snapshot(root_.Path()));
}

TEST_P(BothFormats, AFolderEntryMeetingAFileFails) {
  FillTarget();
  Tree before = Snapshot(root_.Path());
  EXPECT_EQ(Extract(Format(), Make({File("a.txt", "a"), File("keep.txt/inside", "x")}), Target()),
            Failure(Format()));
  EXPECT_TRUE(Snapshot(root_.Path()) == before) << Describe(Snapshot(root_.Path()));
}

// --- Size cap -----------------------------------------------------------------------------------

TEST_P(BothFormats, AnArchiveExactlyAtTheCapIsAccepted) {
  ExtractLimits limits;
  limits.maxUnpackedBytes = kMiB;
  std::string archive =
      Make({File("half1", std::string(kMiB / 2, 'a')), File("half2", std::string(kMiB / 2, 'b'))});
  ASSERT_EQ(Extract(Format(), archive, Target(), limits), kExtractOk) << LogText();
  EXPECT_EQ(fs::file_size(Target() + "/half2"), static_cast<uintmax_t>(kMiB / 2));
}

TEST_P(BothFormats, OneBytePastTheCapIsRefusedBeforeAnythingIsWritten) {
  ExtractLimits limits;
  limits.maxUnpackedBytes = kMiB;
  FillTarget();
  Tree before = Snapshot(root_.Path());
  for (const auto& entries : {std::vector<Entry>{File("big", std::string(kMiB + 1, 'z'))},
                              std::vector<Entry>{File("half1", std::string(kMiB / 2, 'a')),
                                                 File("half2", std::string(kMiB / 2 + 1, 'b'))}}) {
    EXPECT_EQ(Extract(Format(), Make(entries), Target(), limits), Failure(Format()));
    EXPECT_TRUE(Snapshot(root_.Path()) == before);
  }
  EXPECT_NE(LogText().find("Extract refused: unpacked size over 1048576 bytes"), std::string::npos)
      << LogText();
}

TEST_F(ExtractTest, AZipThatHidesItsSizeIsStoppedWhileDecoding) {
  ExtractLimits limits;
  limits.maxUnpackedBytes = kMiB;
  std::string zip = MakeArchive(ArchiveFormat::kZip, {File("bomb", std::string(4 * kMiB, '\0'))});
  zip = extracttest::WithZipDeclaredSize(zip, 10);
  FillTarget();
  Tree before = Snapshot(root_.Path());
  EXPECT_EQ(Extract(ArchiveFormat::kZip, zip, Target(), limits), kExtractZipFailed);
  EXPECT_TRUE(Snapshot(root_.Path()) == before);
  EXPECT_NE(LogText().find("while decoding (bomb)"), std::string::npos) << LogText();
}

TEST_F(ExtractTest, TheCapComesFromTheSettings) {
  EXPECT_EQ(ExtractLimits::FromSettings().maxUnpackedBytes, 1073741824);
  struct SettingCase {
    const char* value;
    int64_t expected;
  };
  for (const SettingCase& c : {SettingCase{"5000", 5000}, SettingCase{"0", 1073741824},
                               SettingCase{"-3", 1073741824}, SettingCase{"lots", 1073741824}}) {
    ScopedEnvironment setting("ORBA_UPDATE_MAX_UNPACKED_BYTES", std::string(c.value));
    EXPECT_EQ(ExtractLimits::FromSettings().maxUnpackedBytes, c.expected) << c.value;
  }
  ScopedEnvironment setting("ORBA_UPDATE_MAX_UNPACKED_BYTES", std::string("100"));
  CGZipExtractAction action;  // the cap from the setting
  std::string archive = MakeArchive(ArchiveFormat::kZip, {File("f", std::string(101, 'x'))});
  EXPECT_EQ(action.Extract(reinterpret_cast<const uint8_t*>(archive.data()),
                           static_cast<int64_t>(archive.size()), Target()),
            kExtractZipFailed);
}

// --- Damaged archives ---------------------------------------------------------------------------

TEST_P(BothFormats, NotAnArchiveIsNotOpened) {
  int expected = Format() == ArchiveFormat::kZip ? kExtractZipFailed : kExtract7zOpenFailed;
  EXPECT_EQ(Extract(Format(), "this is no archive at all", Target()), expected);
  // The other format is no better.
  ArchiveFormat other = Format() == ArchiveFormat::kZip ? ArchiveFormat::kSevenZip : ArchiveFormat::kZip;
  EXPECT_EQ(Extract(Format(), MakeArchive(other, {File("f", "x")}), Target()), expected);
  EXPECT_FALSE(fs::exists(Target()));
}

TEST_P(BothFormats, TruncatedArchivesFailAndLeaveEverything) {
  FillTarget();
  std::string archive =
      Make({File("one.txt", Patterned(5000)), File("sub/two.txt", Patterned(20000)), File("three.txt", "3")});
  Tree before = Snapshot(root_.Path());
  for (size_t keep = 1; keep < archive.size(); keep += std::max<size_t>(1, archive.size() / 97)) {
    int result = Extract(Format(), archive.substr(0, keep), Target());
    EXPECT_NE(result, kExtractOk) << "kept " << keep << " of " << archive.size();
    EXPECT_NE(result, kExtractBadArguments);
    ASSERT_TRUE(Snapshot(root_.Path()) == before) << "kept " << keep;
  }
}

TEST_P(BothFormats, CorruptedArchivesNeverHalfUnpack) {
  std::string archive = Make({File("data.bin", Patterned(50000)), File("more.bin", Patterned(3000))});
  int failures = 0;
  for (size_t at = 0; at < archive.size(); at += std::max<size_t>(1, archive.size() / 50)) {
    std::string damaged = archive;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
    std::string folder = root_ / ("damaged" + std::to_string(at));
    int result = Extract(Format(), damaged, folder);
    // A byte the readers do not check (a time stamp) may change nothing; anything else must fail
    // and leave no folder behind.
    if (result != kExtractOk) {
      ++failures;
      EXPECT_FALSE(fs::exists(folder)) << at;
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(Describe(Snapshot(root_.Path())).find(".unpack-"), std::string::npos);
}

// --- Moving into place --------------------------------------------------------------------------

TEST_P(BothFormats, AFailedMoveLeavesTheTargetAsItWas) {
  FillTarget();
  Tree before = Snapshot(root_.Path());
  int moves = 0;
  platform::SetMoveFaultForTesting([&moves](const std::string&) { return ++moves == 3 ? EIO : 0; });
  int result = Extract(Format(), Make({File("keep.txt", "new"), File("new/a.txt", "a"), File("z.txt", "z")}),
                       Target());
  platform::SetMoveFaultForTesting(nullptr);
  EXPECT_EQ(result, Failure(Format()));
  EXPECT_EQ(moves, 3);
  EXPECT_TRUE(Snapshot(root_.Path()) == before) << Describe(Snapshot(root_.Path()));
}

INSTANTIATE_TEST_SUITE_P(Formats, BothFormats,
                         ::testing::Values(ArchiveFormat::kZip, ArchiveFormat::kSevenZip), FormatName);

TEST_F(ExtractTest, TestArchivesHoldTheNamesAsWritten) {
  // Sanity of the archives above: the writer keeps the names the tests rely on.
  EXPECT_EQ(extracttest::ReadNames(
                ArchiveFormat::kSevenZip,
                MakeArchive(ArchiveFormat::kSevenZip, {File("C:\\/\\x", "1"), File("../y", "2")})),
            (std::vector<std::string>{"C:\\/\\x", "../y"}));
  EXPECT_EQ(extracttest::ReadNames(ArchiveFormat::kZip,
                                   MakeArchive(ArchiveFormat::kZip, {File("/abs", "1"), File("../y", "2")})),
            (std::vector<std::string>{"/abs", "../y"}));
}

}  // namespace
