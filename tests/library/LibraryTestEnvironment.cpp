// Every library test of this program writes its log below one temporary data folder.
#include <gtest/gtest.h>

#include "pipeline/Log.h"
#include "tests/library/LibraryTestEnvironment.h"

namespace {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    folders_ = std::make_unique<testsupport::IsolatedUserFolders>();
    ResetLogPathForTesting();
  }
  void TearDown() override { folders_.reset(); }
  std::unique_ptr<testsupport::IsolatedUserFolders> folders_;
};

Environment* const g_environment =
    static_cast<Environment*>(::testing::AddGlobalTestEnvironment(new Environment));

}  // namespace

const testsupport::IsolatedUserFolders& LibraryTestFolders() { return *g_environment->folders_; }
