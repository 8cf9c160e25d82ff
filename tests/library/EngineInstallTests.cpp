// A library started with no engine installed installs it from the build's signed deployment,
// served over HTTP, starts it and logs the patch; started again, it finds the same version and
// fetches no archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "library/DownloadLib.h"
#include "pipeline/FileVersion.h"
#include "pipeline/Log.h"
#include "tests/library/EngineTestSupport.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"
#include "tests/tools/DevServerProcess.h"

namespace {

using testsupport::ScopedEnvironment;

const std::string kDeployment = ORBA_UPDATE_DEPLOYMENT_DIR;
const std::string kManifestPath = enginetest::kManifestPath;
using enginetest::InstalledEngine;
using enginetest::KillInstalledEngines;
using enginetest::LogHas;
using enginetest::UnusedPort;

int ArchiveRequests(const testsupport::HttpFileServer& server) {
  int count = 0;
  for (const auto& request : server.Requests()) {
    count += request.target.ends_with(".7z") || request.target.ends_with(".zip") ? 1 : 0;
  }
  return count;
}

class EngineInstallTest : public ::testing::Test {
 protected:
  void TearDown() override {
    KillInstalledEngines();
    std::filesystem::remove(InstalledEngine());
  }
};

TEST_F(EngineInstallTest, LibraryStartInstallsTheEngineAndASecondStartFindsItCurrent) {
  if (!std::filesystem::exists(kDeployment + kManifestPath + ".sig")) {
    GTEST_SKIP() << "the build's deployment is not signed (no development key)";
  }
  testsupport::HttpFileServer server;
  server.ServeDirectory(kDeployment);
  ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", server.Url(kManifestPath));
  ScopedEnvironment port("ORBA_ENGINE_PORT", std::to_string(UnusedPort()));
  ScopedEnvironment online("ORBA_NETWORK_STATE", "online");
  ScopedEnvironment engine("ORBA_ENGINE_ENABLED", "1");
  ASSERT_FALSE(std::filesystem::exists(InstalledEngine()));

  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  EXPECT_TRUE(testsupport::WaitUntil([] { return LogHas("[TessenLib] Patch"); }, 30000));
  ASSERT_EQ(DL_OK, DownloadLibFinalize());
  EXPECT_TRUE(LogHas("[TessenLib] Current Version:  / New Version: " + std::string(ORBA_PROJECT_VERSION)));
  EXPECT_TRUE(LogHas("[TessenLib] Execute OK(0)"));
  EXPECT_TRUE(LogHas("[TessenLib] Patch Success"));
  EXPECT_EQ(ORBA_PROJECT_VERSION, ReadFileVersion(InstalledEngine()));
  EXPECT_EQ(1, ArchiveRequests(server));

  ResetLog();
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
  EXPECT_TRUE(testsupport::WaitUntil([] { return LogHas("[TessenLib] Patch"); }, 30000));
  ASSERT_EQ(DL_OK, DownloadLibFinalize());
  const std::string same = ORBA_PROJECT_VERSION;
  EXPECT_TRUE(LogHas("[TessenLib] Current Version: " + same + " / New Version: " + same));
  EXPECT_TRUE(LogHas("[TessenLib] Patch Success"));
  EXPECT_EQ(1, ArchiveRequests(server)) << "a current engine fetches no archive";
}

// Each way orba-devserver tampers with the deployment is refused by a real library start, and
// the engine installed before stays as it was.
TEST_F(EngineInstallTest, TamperedDeploymentsFromTheDevServerAreRefused) {
  if (!std::filesystem::exists(kDeployment + kManifestPath + ".sig")) {
    GTEST_SKIP() << "the build's deployment is not signed (no development key)";
  }
  testsupport::TempFolder root;
  devservertest::DevServer server;
  ASSERT_TRUE(server.Start({"--root", root.Path()}, root / "server.log"));
  const std::string base = server.Value("http_url");  // ends with '/'
  ScopedEnvironment port("ORBA_ENGINE_PORT", std::to_string(UnusedPort()));
  ScopedEnvironment online("ORBA_NETWORK_STATE", "online");
  ScopedEnvironment engine("ORBA_ENGINE_ENABLED", "1");
  auto start = [&](const std::string& prefix) {
    ScopedEnvironment manifest("ORBA_UPDATE_MANIFEST_URL", base + prefix + kManifestPath.substr(1));
    ResetLog();
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, nullptr, nullptr));
    EXPECT_TRUE(testsupport::WaitUntil([] { return LogHas("[TessenLib] Patch"); }, 30000)) << prefix;
    ASSERT_EQ(DL_OK, DownloadLibFinalize());
  };

  // Nothing installed yet: an archive that is not the one the manifest signed is never unpacked.
  start("update-tampered-archive/");
  EXPECT_TRUE(LogHas("differs from the manifest's SHA-256 or size"));
  EXPECT_TRUE(LogHas("[TessenLib] Patch Fail"));
  EXPECT_FALSE(std::filesystem::exists(InstalledEngine()));

  start("");
  ASSERT_TRUE(LogHas("[TessenLib] Patch Success"));
  const std::string installed = testsupport::ReadFileText(InstalledEngine());
  struct Case {
    const char* prefix;
    const char* refusal;
  };
  const Case cases[] = {
      {"update-tampered-manifest/", "the manifest's signature does not verify"},
      {"update-expired/", "the manifest expired at"},
      {"update-older/", "version 0.0.0.1 is older than the installed"},
      {"update-unsigned/", "the manifest is not signed"},
  };
  for (const Case& c : cases) {
    start(c.prefix);
    EXPECT_TRUE(LogHas(std::string("[TessenLib] Update refused: ") + c.refusal)) << c.prefix;
    EXPECT_TRUE(LogHas("[TessenLib] Execute OK(0)")) << "the installed engine still starts: " << c.prefix;
    EXPECT_TRUE(installed == testsupport::ReadFileText(InstalledEngine())) << c.prefix;
  }
}

}  // namespace
