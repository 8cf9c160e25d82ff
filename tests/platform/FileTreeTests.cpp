#include "platform/FileTree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "tests/platform/PlatformTestSupport.h"
#include "tests/support/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileText;
using testsupport::TempFolder;
using testsupport::WriteFileText;

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return static_cast<unsigned>(info.st_mode);
}

// "<kind> <path>[: content]" for everything below `root`, links not followed.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    std::string relative = fs::relative(it->path(), root).string();
    fs::file_status status = fs::symlink_status(it->path());
    if (fs::is_symlink(status)) {
      tree[relative] = "link " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "folder";
    } else {
      tree[relative] = "file " + ReadFileText(it->path().string());
    }
  }
  return tree;
}

std::string Describe(const std::map<std::string, std::string>& tree) {
  std::string text;
  for (const auto& [path, what] : tree) text += path + ": " + what + "\n";
  return text;
}

// A tree built aside, as the extraction leaves it before the move.
void BuildAside(const std::string& aside) {
  fs::create_directories(aside + "/sub/deeper");
  fs::create_directories(aside + "/empty");
  WriteFileText(aside + "/top.txt", "new top");
  WriteFileText(aside + "/sub/a.txt", "new a");
  WriteFileText(aside + "/sub/deeper/b.txt", "new b");
}

// --- MakeTemporaryDirectoryBeside ----------------------------------------------------------------

TEST(FileTreeTest, TemporaryFolderIsASiblingOnlyTheOwnerCanEnter) {
  TempFolder root;
  std::string created;
  ASSERT_EQ(platform::MakeTemporaryDirectoryBeside(root / "parent/target", &created), 0);
  EXPECT_EQ(fs::path(created).parent_path().string(), root / "parent");
  EXPECT_EQ(fs::path(created).filename().string().rfind(".target.unpack-", 0), 0u) << created;
  EXPECT_TRUE(S_ISDIR(ModeOf(created)));
  EXPECT_EQ(ModeOf(created) & 0777, 0700u);
  EXPECT_FALSE(fs::exists(root / "parent/target"));  // only the parent was created

  std::string again;
  ASSERT_EQ(platform::MakeTemporaryDirectoryBeside(root / "parent/target/", &again), 0);
  EXPECT_NE(again, created);
  EXPECT_EQ(fs::path(again).parent_path().string(), root / "parent");
}

TEST(FileTreeTest, TemporaryFolderOfALongNameStaysWithinTheNameLimit) {
  TempFolder root;
  std::string longName(200, 'n');
  std::string created;
  ASSERT_EQ(platform::MakeTemporaryDirectoryBeside(root / longName, &created), 0);
  EXPECT_LT(fs::path(created).filename().string().size(), 100u);
}

TEST(FileTreeTest, TemporaryFolderNeedsAFolderWithAParent) {
  std::string created;
  EXPECT_EQ(platform::MakeTemporaryDirectoryBeside("", &created), EINVAL);
  EXPECT_EQ(platform::MakeTemporaryDirectoryBeside("/", &created), EINVAL);
  EXPECT_EQ(platform::MakeTemporaryDirectoryBeside("/tmp/..", &created), EINVAL);
  TempFolder root;
  WriteFileText(root / "file", "x");
  EXPECT_NE(platform::MakeTemporaryDirectoryBeside(root / "file/target", &created), 0);
}

// --- RemoveTree ---------------------------------------------------------------------------------

TEST(FileTreeTest, RemoveTreeRemovesLinksButNotWhatTheyPointAt) {
  TempFolder root;
  TempFolder outside;
  WriteFileText(outside / "precious.txt", "keep me");
  fs::create_directories(root / "tree/a/b");
  WriteFileText(root / "tree/a/b/file", "x");
  fs::create_directory_symlink(outside.Path(), root / "tree/a/link");
  ASSERT_EQ(platform::RemoveTree(root / "tree"), 0);
  EXPECT_FALSE(fs::exists(root / "tree"));
  EXPECT_EQ(ReadFileText(outside / "precious.txt"), "keep me");
  EXPECT_EQ(platform::RemoveTree(root / "tree"), 0);  // nothing there
  EXPECT_EQ(platform::RemoveTree(""), EINVAL);
}

// --- NewFile ------------------------------------------------------------------------------------

TEST(FileTreeTest, NewFileGetsExactlyItsModeWhateverTheUmask) {
  TempFolder root;
  mode_t previous = umask(077);
  platform::NewFile file;
  int created = file.Create(root / "engine", 0755);
  umask(previous);
  ASSERT_EQ(created, 0);
  ASSERT_EQ(file.Write("#!", 2), 0);
  ASSERT_EQ(file.Write("/bin/sh\n", 8), 0);
  ASSERT_EQ(file.Close(), 0);
  EXPECT_EQ(ModeOf(root / "engine") & 07777, 0755u);
  EXPECT_EQ(ReadFileText(root / "engine"), "#!/bin/sh\n");
}

TEST(FileTreeTest, NewFileEmptiesAFileAlreadyThere) {
  TempFolder root;
  WriteFileText(root / "f", "a much longer old content");
  platform::NewFile file;
  ASSERT_EQ(file.Create(root / "f", 0644), 0);
  ASSERT_EQ(file.Write("new", 3), 0);
  ASSERT_EQ(file.Close(), 0);
  EXPECT_EQ(ReadFileText(root / "f"), "new");
}

TEST(FileTreeTest, NewFileNeverWritesThroughALink) {
  TempFolder root;
  TempFolder outside;
  WriteFileText(outside / "target", "untouched");
  fs::create_symlink(outside / "target", root / "link");
  platform::NewFile file;
  EXPECT_EQ(file.Create(root / "link", 0644), ELOOP);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadFileText(outside / "target"), "untouched");
}

TEST(FileTreeTest, NewFileTakesAModificationTime) {
  TempFolder root;
  platform::NewFile file;
  ASSERT_EQ(file.Create(root / "dated", 0644), 0);
  ASSERT_EQ(file.Write("x", 1), 0);
  ASSERT_EQ(file.SetModificationTime(1500000000, 250000000), 0);
  ASSERT_EQ(file.Close(), 0);
  struct stat info {};
  ASSERT_EQ(stat((root / "dated").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 250000000);
}

TEST(FileTreeTest, NewFileNotOpenAnswersEbadf) {
  platform::NewFile file;
  EXPECT_EQ(file.Write("x", 1), EBADF);
  EXPECT_EQ(file.SetModificationTime(1, 0), EBADF);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(file.Create("", 0644), ENOENT);
}

// --- MoveTreeInto -------------------------------------------------------------------------------

class MoveTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildAside(Aside()); }
  void TearDown() override { platform::SetMoveFaultForTesting(nullptr); }

  std::string Aside() const { return root_ / "parent/.target.unpack-test"; }
  std::string Target() const { return root_ / "parent/target"; }

  void FillTarget() {
    fs::create_directories(Target() + "/sub");
    WriteFileText(Target() + "/top.txt", "old top");
    WriteFileText(Target() + "/sub/a.txt", "old a");
    WriteFileText(Target() + "/other.txt", "other");
  }

  // The move fails with `error` and the target (and the rest of the root, the aside tree apart)
  // is as it was.
  void ExpectRefusedUnchanged(int error) {
    std::map<std::string, std::string> before = Snapshot(Target());
    bool existed = fs::exists(Target());
    EXPECT_EQ(platform::MoveTreeInto(Aside(), Target()), error);
    EXPECT_EQ(fs::exists(Target()), existed);
    EXPECT_EQ(Describe(Snapshot(Target())), Describe(before));
  }

  TempFolder root_;
};

TEST_F(MoveTreeTest, CreatesTheTargetWithEveryFolderAndFile) {
  int descriptors = platformtest::CountOpenDescriptors();
  ASSERT_EQ(platform::MoveTreeInto(Aside(), Target()), 0);
  EXPECT_EQ(platformtest::CountOpenDescriptors(), descriptors);
  EXPECT_EQ(
      Describe(Snapshot(Target())),
      "empty: folder\nsub: folder\nsub/a.txt: file new a\nsub/deeper: folder\nsub/deeper/b.txt: file new "
      "b\ntop.txt: file new top\n");
  EXPECT_EQ(ModeOf(Target() + "/sub") & 0700, 0700u);
}

TEST_F(MoveTreeTest, ReplacesFilesAndKeepsTheOthers) {
  FillTarget();
  ASSERT_EQ(platform::MoveTreeInto(Aside(), Target() + "/"), 0);
  EXPECT_EQ(ReadFileText(Target() + "/top.txt"), "new top");
  EXPECT_EQ(ReadFileText(Target() + "/sub/a.txt"), "new a");
  EXPECT_EQ(ReadFileText(Target() + "/sub/deeper/b.txt"), "new b");
  EXPECT_EQ(ReadFileText(Target() + "/other.txt"), "other");
}

TEST_F(MoveTreeTest, ALinkWhereAFolderGoesIsRefused) {
  TempFolder outside;
  FillTarget();
  fs::create_directory_symlink(outside.Path(), Target() + "/empty");
  ExpectRefusedUnchanged(ELOOP);
  EXPECT_TRUE(fs::is_empty(outside.Path()));
}

TEST_F(MoveTreeTest, ALinkAboveAFileIsRefused) {
  TempFolder outside;
  fs::create_directories(Target());
  fs::create_directory_symlink(outside.Path(), Target() + "/sub");
  ExpectRefusedUnchanged(ELOOP);
  EXPECT_TRUE(fs::is_empty(outside.Path()));
}

TEST_F(MoveTreeTest, AFileWhereAFolderGoesIsRefused) {
  FillTarget();
  WriteFileText(Target() + "/empty", "a file");
  ExpectRefusedUnchanged(ENOTDIR);
}

TEST_F(MoveTreeTest, AFolderWhereAFileGoesIsRefused) {
  FillTarget();
  fs::create_directories(Target() + "/sub/deeper/b.txt");
  ExpectRefusedUnchanged(EISDIR);
}

TEST_F(MoveTreeTest, ALinkWhereAFileGoesIsReplacedNotFollowed) {
  TempFolder outside;
  WriteFileText(outside / "precious.txt", "keep me");
  fs::create_directories(Target());
  fs::create_symlink(outside / "precious.txt", Target() + "/top.txt");
  ASSERT_EQ(platform::MoveTreeInto(Aside(), Target()), 0);
  EXPECT_FALSE(fs::is_symlink(Target() + "/top.txt"));
  EXPECT_EQ(ReadFileText(Target() + "/top.txt"), "new top");
  EXPECT_EQ(ReadFileText(outside / "precious.txt"), "keep me");
}

TEST_F(MoveTreeTest, ATargetThatIsAFileIsRefused) {
  fs::create_directories(root_ / "parent");
  WriteFileText(Target(), "file");
  EXPECT_EQ(platform::MoveTreeInto(Aside(), Target()), ENOTDIR);
  EXPECT_EQ(ReadFileText(Target()), "file");
}

TEST_F(MoveTreeTest, AnythingButFoldersAndFilesAsideIsRefused) {
  fs::create_symlink("/etc/passwd", Aside() + "/sub/link");
  ExpectRefusedUnchanged(ELOOP);
}

TEST_F(MoveTreeTest, AMoveFailingHalfWayTakesEverythingBack) {
  FillTarget();
  // Moves in order: sub/a.txt (replaces), sub/deeper/b.txt (new, in a new folder), top.txt.
  for (int failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    BuildAside(Aside());
    int moves = 0;
    platform::SetMoveFaultForTesting(
        [&moves, failing](const std::string&) { return ++moves == failing ? EIO : 0; });
    ExpectRefusedUnchanged(EIO);
    platform::SetMoveFaultForTesting(nullptr);
    EXPECT_EQ(moves, failing);
  }
}

TEST_F(MoveTreeTest, AFailureIntoAMissingTargetLeavesNoTarget) {
  platform::SetMoveFaultForTesting(
      [](const std::string& relative) { return relative == "top.txt" ? EIO : 0; });
  ExpectRefusedUnchanged(EIO);
  EXPECT_FALSE(fs::exists(Target()));
}

TEST_F(MoveTreeTest, TheFaultSeesPathsRelativeToTheTrees) {
  std::vector<std::string> seen;
  platform::SetMoveFaultForTesting([&seen](const std::string& relative) {
    seen.push_back(relative);
    return 0;
  });
  ASSERT_EQ(platform::MoveTreeInto(Aside(), Target()), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"sub/a.txt", "sub/deeper/b.txt", "top.txt"}));
}

// --- ScopedUtf8Locale ---------------------------------------------------------------------------

TEST(FileTreeTest, Utf8LocaleHoldsForThisThreadOnly) {
  size_t outside = MB_CUR_MAX;
  {
    platform::ScopedUtf8Locale utf8;
    EXPECT_GT(MB_CUR_MAX, 1u);
    size_t other = 0;
    std::thread([&other] { other = MB_CUR_MAX; }).join();
    EXPECT_EQ(other, outside);
  }
  EXPECT_EQ(MB_CUR_MAX, outside);
}

}  // namespace
