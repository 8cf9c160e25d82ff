#include "platform/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/FileSystem.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ReadFileText;
using testsupport::TempFolder;
using testsupport::WriteFileText;

class FileTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::File::SetWriteFaultForTesting(nullptr); }
  TempFolder folder_;
};

TEST_F(FileTest, OpenCreatesAMissingFileEmpty) {
  platform::File file;
  std::string path = folder_ / "new.bin";
  ASSERT_EQ(0, file.OpenAlways(path));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(path, file.Path());
  EXPECT_EQ(0, file.End());
  EXPECT_EQ(0, file.Size());
  EXPECT_TRUE(platform::FileExists(path));
}

TEST_F(FileTest, OpenEmptiesAnExistingFile) {
  std::string path = folder_ / "old.bin";
  WriteFileText(path, "previous content");
  platform::File file;
  ASSERT_EQ(0, file.OpenAlways(path));
  EXPECT_EQ(0, file.End());
  EXPECT_EQ(0, file.Size());
  file.Close();
  EXPECT_EQ("", ReadFileText(path));
}

TEST_F(FileTest, AppendWritesEveryChunkAtTheEndInOrder) {
  std::string path = folder_ / "chunks.bin";
  platform::File file;
  ASSERT_EQ(0, file.OpenAlways(path));
  std::string first = "abc";
  std::string second(100000, 'x');
  second[0] = '\0';  // binary bytes pass unchanged
  ASSERT_EQ(0, file.Append(first.data(), first.size()));
  ASSERT_EQ(0, file.Append(second.data(), second.size()));
  ASSERT_EQ(0, file.Append("z", 1));
  EXPECT_EQ(static_cast<int64_t>(first.size() + second.size() + 1), file.End());
  EXPECT_EQ(file.End(), file.Size());
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(first + second + "z", ReadFileText(path));
}

TEST_F(FileTest, AppendOfNothingSucceedsAndChangesNothing) {
  platform::File file;
  ASSERT_EQ(0, file.OpenAlways(folder_ / "empty.bin"));
  EXPECT_EQ(0, file.Append(nullptr, 0));
  EXPECT_EQ(0, file.End());
}

TEST_F(FileTest, OpenFailureIsTheErrorNumber) {
  platform::File file;
  EXPECT_EQ(ENOENT, file.OpenAlways(folder_ / "missing/folder/file.bin"));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(EISDIR, file.OpenAlways(folder_.Path()));
  EXPECT_EQ(ENOENT, file.OpenAlways(""));
  EXPECT_EQ(-1, file.Size());
}

TEST_F(FileTest, AppendWithoutAnOpenFileFails) {
  platform::File file;
  EXPECT_EQ(EBADF, file.Append("a", 1));
}

TEST_F(FileTest, InjectedWriteFailureWritesNothingAndLaterWritesGoOn) {
  std::string path = folder_ / "fault.bin";
  platform::File file;
  ASSERT_EQ(0, file.OpenAlways(path));
  ASSERT_EQ(0, file.Append("1234", 4));
  int calls = 0;
  platform::File::SetWriteFaultForTesting([&](const std::string& target, int64_t position, size_t length) {
    ++calls;
    EXPECT_EQ(path, target);
    EXPECT_EQ(4, position);
    EXPECT_EQ(3u, length);
    return EIO;
  });
  EXPECT_EQ(EIO, file.Append("567", 3));
  EXPECT_EQ(1, calls);
  EXPECT_EQ(4, file.End());
  EXPECT_EQ(4, file.Size());
  platform::File::SetWriteFaultForTesting(nullptr);
  ASSERT_EQ(0, file.Append("89", 2));
  file.Close();
  EXPECT_EQ("123489", ReadFileText(path));
}

TEST_F(FileTest, MovedFileKeepsItsDescriptor) {
  std::string path = folder_ / "moved.bin";
  platform::File first;
  ASSERT_EQ(0, first.OpenAlways(path));
  ASSERT_EQ(0, first.Append("ab", 2));
  platform::File second(std::move(first));
  EXPECT_FALSE(first.IsOpen());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  ASSERT_TRUE(second.IsOpen());
  ASSERT_EQ(0, second.Append("cd", 2));
  platform::File third;
  third = std::move(second);
  ASSERT_EQ(0, third.Append("ef", 2));
  third.Close();
  EXPECT_EQ("abcdef", ReadFileText(path));
}

}  // namespace
