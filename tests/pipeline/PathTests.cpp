#include "pipeline/CGetPath_V32.h"

#include <gtest/gtest.h>

#include <string>

#include "pipeline/Log.h"
#include "platform/FileSystem.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ScopedEnvironment;

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLogPathForTesting(); }
  void TearDown() override { ResetLogPathForTesting(); }

  testsupport::TempFolder data_;
  ScopedEnvironment dataHome_{"XDG_DATA_HOME", data_.Path()};
};

TEST_F(PathTest, FoldersSitUnderTheDataFolderAndEndWithSlash) {
  std::string base;
  std::string program;
  std::string executable;
  PathResolver().GetBaseFolder(base);
  PathResolver().GetProgramFolder(program);
  PathResolver().GetExecutablePath(executable);
  EXPECT_EQ(base, data_.Path() + "/Norvik/");
  EXPECT_EQ(program, data_.Path() + "/Norvik/qtxDownloadV32/");
  EXPECT_EQ(executable, data_.Path() + "/Norvik/qtxDownloadV32/QTXDownloadV32");
  EXPECT_EQ(base.back(), '/');
  EXPECT_EQ(program.back(), '/');
}

TEST_F(PathTest, TrailingSlashOfTheDataFolderIsNotDoubled) {
  ScopedEnvironment dataHome("XDG_DATA_HOME", data_.Path() + "/");
  std::string base;
  PathResolver().GetBaseFolder(base);
  EXPECT_EQ(base, data_.Path() + "/Norvik/");
}

TEST_F(PathTest, FollowsTheDataFolderOfTheMoment) {
  testsupport::TempFolder other;
  ScopedEnvironment dataHome("XDG_DATA_HOME", other.Path());
  std::string program;
  PathResolver().GetProgramFolder(program);
  EXPECT_EQ(program, other.Path() + "/Norvik/qtxDownloadV32/");
}

TEST_F(PathTest, OutputReplacesPreviousContent) {
  std::string program = "left over";
  PathResolver().GetProgramFolder(program);
  EXPECT_EQ(program, data_.Path() + "/Norvik/qtxDownloadV32/");
}

TEST_F(PathTest, NothingIsCreatedOnDisk) {
  std::string path;
  PathResolver().GetBaseFolder(path);
  PathResolver().GetProgramFolder(path);
  PathResolver().GetExecutablePath(path);
  EXPECT_FALSE(platform::PathExists(data_ / "Norvik"));
}

TEST_F(PathTest, ResolverIsOneProcessWideObject) { EXPECT_EQ(&PathResolver(), &PathResolver()); }

TEST_F(PathTest, LogLivesInTheConfigFolderOfTheProgramFolder) {
  EXPECT_EQ(LogPath(), data_.Path() + "/Norvik/qtxDownloadV32/config/service.log");
}

}  // namespace
