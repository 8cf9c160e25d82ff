#include "platform/FileSystem.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/support/TempFolder.h"

namespace {

using testsupport::TempFolder;
using testsupport::WriteFileText;

// Other programs write to the same disks while the tests run.
bool NearlyEqual(int64_t a, int64_t b) {
  int64_t tolerance = std::max<int64_t>(int64_t{256} << 20, std::max(a, b) / 50);
  return std::llabs(a - b) <= tolerance;
}

TEST(FileSystemTest, ExistenceChecksTellFilesFromFolders) {
  TempFolder folder;
  std::string file = folder / "file.bin";
  WriteFileText(file, "abc");
  EXPECT_TRUE(platform::PathExists(file));
  EXPECT_TRUE(platform::FileExists(file));
  EXPECT_FALSE(platform::DirectoryExists(file));
  EXPECT_TRUE(platform::PathExists(folder.Path()));
  EXPECT_TRUE(platform::DirectoryExists(folder.Path()));
  EXPECT_FALSE(platform::FileExists(folder.Path()));
  std::string missing = folder / "missing";
  EXPECT_FALSE(platform::PathExists(missing));
  EXPECT_FALSE(platform::FileExists(missing));
  EXPECT_FALSE(platform::DirectoryExists(missing));
  EXPECT_FALSE(platform::PathExists(""));
  EXPECT_FALSE(platform::FileExists(""));
  EXPECT_FALSE(platform::DirectoryExists(""));
}

TEST(FileSystemTest, CreateDirectoryLevelUnderAnExistingParent) {
  TempFolder folder;
  std::string level = folder / "level";
  EXPECT_TRUE(platform::CreateDirectoryLevel(level));
  EXPECT_TRUE(platform::DirectoryExists(level));
  // A second call finds it there and still succeeds.
  EXPECT_TRUE(platform::CreateDirectoryLevel(level));
  EXPECT_TRUE(platform::CreateDirectoryLevel(level + "/with-slash/"));
  EXPECT_TRUE(platform::DirectoryExists(level + "/with-slash"));
}

TEST(FileSystemTest, CreateDirectoryLevelFailsWhenTheParentIsMissing) {
  TempFolder folder;
  std::string nested = folder / "absent/child";
  EXPECT_FALSE(platform::CreateDirectoryLevel(nested));
  EXPECT_FALSE(platform::PathExists(folder / "absent"));
  EXPECT_FALSE(platform::PathExists(nested));
}

TEST(FileSystemTest, CreateDirectoryLevelFailsWhereAFileIsInTheWay) {
  TempFolder folder;
  std::string file = folder / "taken";
  WriteFileText(file, "x");
  EXPECT_FALSE(platform::CreateDirectoryLevel(file));
  EXPECT_TRUE(platform::FileExists(file));
  EXPECT_FALSE(platform::CreateDirectoryLevel(file + "/below"));
  EXPECT_FALSE(platform::CreateDirectoryLevel(""));
}

TEST(FileSystemTest, RemoveFileRemovesOnlyExistingFiles) {
  TempFolder folder;
  std::string file = folder / "doomed";
  WriteFileText(file, "x");
  EXPECT_TRUE(platform::RemoveFile(file));
  EXPECT_FALSE(platform::PathExists(file));
  EXPECT_FALSE(platform::RemoveFile(file));
  EXPECT_FALSE(platform::RemoveFile(""));
}

TEST(FileSystemTest, FileSizeOfFilesAndOfWhatIsNoFile) {
  TempFolder folder;
  std::string file = folder / "sized";
  WriteFileText(file, std::string(12345, 'z'));
  EXPECT_EQ(platform::FileSize(file), std::optional<int64_t>(12345));
  std::string empty = folder / "empty";
  WriteFileText(empty, "");
  EXPECT_EQ(platform::FileSize(empty), std::optional<int64_t>(0));
  EXPECT_EQ(platform::FileSize(folder / "missing"), std::nullopt);
  EXPECT_EQ(platform::FileSize(folder.Path()), std::nullopt);
  EXPECT_EQ(platform::FileSize(""), std::nullopt);
}

TEST(FileSystemTest, FileSizeBeyondFourGigabytesIsNotTruncated) {
  TempFolder folder;
  std::string file = folder / "sparse";
  WriteFileText(file, "");
  int64_t size = (int64_t{5} << 30) + 7;
  if (truncate(file.c_str(), size) != 0) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(platform::FileSize(file), std::optional<int64_t>(size));
}

TEST(FileSystemTest, FreeSpaceOfAnExistingFolderMatchesStatvfs) {
  TempFolder folder;
  struct statvfs info {};
  ASSERT_EQ(statvfs(folder.Path().c_str(), &info), 0);
  std::optional<int64_t> free = platform::FreeSpace(folder.Path());
  ASSERT_TRUE(free.has_value());
  EXPECT_TRUE(NearlyEqual(*free, static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize)));
}

TEST(FileSystemTest, FreeSpaceOfANestedPathThatDoesNotExistYetMeasuresTheNearestAncestor) {
  TempFolder folder;
  std::optional<int64_t> ancestor = platform::FreeSpace(folder.Path());
  std::optional<int64_t> nested = platform::FreeSpace(folder / "not/yet/there/");
  ASSERT_TRUE(ancestor.has_value());
  ASSERT_TRUE(nested.has_value());
  EXPECT_TRUE(NearlyEqual(*nested, *ancestor)) << *nested << " vs " << *ancestor;
  EXPECT_FALSE(platform::PathExists(folder / "not"));
}

TEST(FileSystemTest, FreeSpaceMeasuresTheAncestorsFileSystemNotAnother) {
  // /proc reports no free space at all; the root file system does.
  std::optional<int64_t> root = platform::FreeSpace("/");
  std::optional<int64_t> underProc = platform::FreeSpace("/proc/orba-no-such-entry/deeper");
  ASSERT_TRUE(root.has_value());
  ASSERT_TRUE(underProc.has_value());
  EXPECT_EQ(*underProc, 0);
  if (*root == 0) GTEST_SKIP() << "the root file system is full";
  EXPECT_GT(*root, 0);
}

TEST(FileSystemTest, FreeSpaceBelowAFileMeasuresTheFilesFileSystem) {
  TempFolder folder;
  std::string file = folder / "plain";
  WriteFileText(file, "x");
  std::optional<int64_t> below = platform::FreeSpace(file + "/sub/folder");
  std::optional<int64_t> there = platform::FreeSpace(folder.Path());
  ASSERT_TRUE(below.has_value());
  ASSERT_TRUE(there.has_value());
  EXPECT_TRUE(NearlyEqual(*below, *there));
}

TEST(FileSystemTest, FreeSpaceOfARelativePathThatDoesNotExistMeasuresTheWorkingFolder) {
  std::optional<int64_t> here = platform::FreeSpace(".");
  std::optional<int64_t> relative = platform::FreeSpace("orba-no-such-folder/deeper");
  std::optional<int64_t> empty = platform::FreeSpace("");
  ASSERT_TRUE(here.has_value());
  ASSERT_TRUE(relative.has_value());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(NearlyEqual(*relative, *here));
  EXPECT_TRUE(NearlyEqual(*empty, *here));
}

}  // namespace
