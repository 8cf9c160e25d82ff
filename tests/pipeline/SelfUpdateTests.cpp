// The self-updater against a real update server on loopback: a signed deployment with real 7z and
// zip archives and MD4 lists installs the engine program, a current one is left alone, and every
// kind of untrusted or broken update is refused with the installed program untouched.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Settings.h"
#include "core/ctCMD4.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/CDownloader.h"
#include "pipeline/CEngineLauncher.h"
#include "pipeline/CGetPath_V32.h"
#include "pipeline/FileVersion.h"
#include "pipeline/Log.h"
#include "pipeline/UpdateTrust.h"
#include "tests/pipeline/ExtractTestArchives.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VersionedProgram.h"

namespace {

using testsupport::HttpFileServer;
using testsupport::ScopedEnvironment;

int gRuns = 0;
int CountRun() {
  ++gRuns;
  return 1;
}

// The development key the build signs its deployment with; empty when the build was given only a
// public key (the signed cases cannot run then).
std::string SignWithBuildKey(const std::string& message) {
  const std::string path = ORBA_UPDATE_SIGNING_KEY;
  if (path.empty()) return {};
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return {};
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  std::string signature(64, '\0');
  size_t length = signature.size();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool signedOk =
      key != nullptr && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
      EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return signedOk ? signature : std::string();
}

std::string DigestList(const std::string& bytes) {
  std::vector<uint8_t> list =
      ctComputeDigestList(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return std::string(list.begin(), list.end());
}

// What the update server publishes; each case changes what it needs.
struct Deployment {
  std::string version = "3.5.0.2";
  std::string expires = "2099-01-01T00:00:00Z";
  std::string program = testsupport::MakeVersionedProgram("3.5.0.2");
  int fileChildren = 1;  // 2: the "all" archive is the one to fetch
  bool sign = true;
  bool withSha256 = true;
  std::string extension = "7z";
  std::string archiveBase;  // where the manifest says the archive is; empty: beside it
  // Applied after signing: what an attacker changes on the way.
  bool tamperManifest = false;
  bool tamperArchive = false;  // with an MD4 list that matches the tampered bytes
  bool corruptDigestList = false;
};

struct Events final : IDownloaderEventListener {
  int networkWaits = 0, failed = 0, finished = 0, started = -1, allGood = -1;
  std::string version;
  std::vector<std::string> fileStarts;
  void OnNetworkWait() override { ++networkWaits; }
  void OnFileStarted(const std::string& address, int64_t /*length*/) override {
    fileStarts.push_back(address);
  }
  void OnFileProgress(const std::string& /*address*/, int64_t /*bytes*/) override {}
  void OnUpdateFinished(int32_t s, int32_t good, const std::string& v) override {
    ++finished;
    started = s;
    allGood = good;
    version = v;
  }
  void OnUpdateFailed(int32_t code) override { failed = code; }
};

class SelfUpdateTest : public ::testing::Test {
 public:
  SelfUpdateTest() {
    nwRegisterClasses();
    ResetLogPathForTesting();
    ResetLog();
    gRuns = 0;
    server.ServeDirectory(site.Path());
  }

  std::string ManifestUrl() const { return server.Url("/v3_32/qtxdownload_updater.xml"); }
  static std::string Installed() {
    std::string path;
    PathResolver().GetExecutablePath(path);
    return path;
  }

  void Write(const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(site / "v3_32");
    testsupport::WriteFileText(site / ("v3_32/" + name), bytes);
  }

  void Publish(const Deployment& d) {
    const ArchiveFormat format = d.extension == "zip" ? ArchiveFormat::kZip : ArchiveFormat::kSevenZip;
    std::string archive =
        extracttest::MakeArchive(format, {extracttest::File(kEngineExecutableName, d.program, 0755)});
    ASSERT_FALSE(archive.empty());
    const std::string name = std::string("engine.") + d.extension;
    std::string entry = "url=\"" + d.archiveBase + name + "\" hash=\"" + name + ".md4\"";
    if (d.withSha256) {
      entry += " sha256=\"" + Sha256Hex(archive.data(), archive.size()) + "\" size=\"" +
               std::to_string(archive.size()) + "\"";
    }
    std::string manifest = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qtxdownload_updater expires=\"" +
                           d.expires + "\">\n<file>\n<" + kEngineExecutableName + " ver=\"" + d.version +
                           "\" " + entry + "/>\n";
    if (d.fileChildren == 2) manifest += "<readme.txt url=\"readme.zip\"/>\n";
    manifest += "</file>\n<all>\n<all " + entry + "/>\n</all>\n</qtxdownload_updater>\n";
    if (d.sign) {
      std::string signature = SignWithBuildKey(manifest);
      if (signature.empty()) GTEST_SKIP() << "no development signing key in this build";
      Write("qtxdownload_updater.xml.sig", signature);
    }
    if (d.tamperManifest) manifest.replace(manifest.find(d.version), d.version.size(), "9.9.9.9");
    if (d.tamperArchive) archive.back() = static_cast<char>(archive.back() ^ 0x5a);
    std::string list = DigestList(archive);
    if (d.corruptDigestList) list[3] = static_cast<char>(list[3] ^ 1);
    Write("qtxdownload_updater.xml", manifest);
    Write(name, archive);
    Write(name + ".md4", list);
  }

  // Runs one update to its end (finished or failed).
  void Run() {
    events = Events();
    CDownloader updater(&CountRun);
    updater.SetDownloaderListener(&events);
    updater.BeginUpdate(ManifestUrl());
    ASSERT_TRUE(runtime.PumpUntil([&] { return events.finished + events.failed > 0; }, 20000));
  }

  int Requests(const std::string& suffix) const {
    int count = 0;
    for (const auto& request : server.Requests()) count += request.target.ends_with(suffix) ? 1 : 0;
    return count;
  }
  bool Logged(const std::string& fragment) const {
    for (const std::string& line : testsupport::LogLines(users.LogPath())) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  void Install(const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(Installed()).parent_path());
    testsupport::WriteFileText(Installed(), bytes);
  }

  testsupport::IsolatedUserFolders users;
  testsupport::CoreRuntime runtime{true};
  HttpFileServer server;
  testsupport::TempFolder site;
  Events events;
};

TEST_F(SelfUpdateTest, InstallsFromTheSignedDeploymentThenFindsItCurrent) {
  Deployment deployment;
  Publish(deployment);
  if (IsSkipped()) return;
  Run();
  EXPECT_EQ(1, events.finished);
  EXPECT_EQ(1, events.allGood);
  EXPECT_EQ("3.5.0.2", events.version);
  EXPECT_EQ(1, gRuns);
  EXPECT_EQ(deployment.program, testsupport::ReadFileText(Installed()));
  EXPECT_EQ("3.5.0.2", ReadFileVersion(Installed()));
  EXPECT_NE(0, static_cast<int>(std::filesystem::status(Installed()).permissions() &
                                std::filesystem::perms::owner_exec));
  EXPECT_TRUE(Logged("[TessenLib] Current Version:  / New Version: 3.5.0.2"));
  EXPECT_TRUE(Logged("[TessenLib] Update File (Count: 2)"));
  EXPECT_EQ(1, Requests("/engine.7z"));
  EXPECT_EQ(1, Requests("/engine.7z.md4"));
  EXPECT_EQ(std::vector<std::string>{server.Url("/v3_32/engine.7z")}, events.fileStarts);

  Run();
  EXPECT_EQ(1, events.allGood);
  EXPECT_EQ(2, gRuns);
  EXPECT_EQ(1, Requests("/engine.7z")) << "a current engine fetches no archive";
  EXPECT_TRUE(Logged("[TessenLib] Current Version: 3.5.0.2 / New Version: 3.5.0.2"));
  EXPECT_TRUE(Logged("[TessenLib] Update File (Count: 0)"));
}

TEST_F(SelfUpdateTest, TwoUpdatableFilesFetchTheAllArchive) {
  Deployment deployment;
  deployment.fileChildren = 2;
  deployment.extension = "zip";
  Publish(deployment);
  if (IsSkipped()) return;
  Run();
  EXPECT_EQ(1, events.allGood);
  EXPECT_EQ(1, Requests("/engine.zip"));
  EXPECT_EQ(deployment.program, testsupport::ReadFileText(Installed()));
}

TEST_F(SelfUpdateTest, UntrustedUpdatesAreRefusedAndTheInstalledEngineStays) {
  struct Case {
    const char* name;
    Deployment deployment;
    std::string installedVersion;
    const char* logged;
  };
  auto make = [](auto change) {
    Deployment d;
    change(d);
    return d;
  };
  const std::vector<Case> cases = {
      {"tampered archive", make([](Deployment& d) { d.tamperArchive = true; }), "3.0.0.0",
       "differs from the manifest's SHA-256 or size"},
      {"tampered manifest", make([](Deployment& d) { d.tamperManifest = true; }), "3.0.0.0",
       "the manifest's signature does not verify"},
      {"expired", make([](Deployment& d) { d.expires = "2020-01-01T00:00:00Z"; }), "3.0.0.0",
       "the manifest expired at 2020-01-01T00:00:00Z"},
      {"older", make([](Deployment& d) { d.version = "3.5.0.1"; }), "3.5.0.2",
       "version 3.5.0.1 is older than the installed 3.5.0.2"},
      {"unsigned", make([](Deployment& d) { d.sign = false; }), "3.0.0.0", "the manifest is not signed"},
      {"no sha256", make([](Deployment& d) { d.withSha256 = false; }), "3.0.0.0",
       "gives no SHA-256 and size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(site / "v3_32");
    ResetLog();
    const std::string installed = testsupport::MakeVersionedProgram(c.installedVersion);
    Install(installed);
    Publish(c.deployment);
    if (IsSkipped()) return;
    Run();
    EXPECT_EQ(1, events.finished);
    EXPECT_EQ(0, events.allGood);
    EXPECT_EQ(installed, testsupport::ReadFileText(Installed()));
    EXPECT_EQ(
        1,
        std::distance(std::filesystem::directory_iterator(std::filesystem::path(Installed()).parent_path()),
                      std::filesystem::directory_iterator()) -
            (std::filesystem::exists(std::filesystem::path(Installed()).parent_path() / "config") ? 1 : 0))
        << "nothing was unpacked beside the engine";
    EXPECT_TRUE(Logged("[TessenLib] Update refused: "));
    EXPECT_TRUE(Logged(c.logged));
  }
}

TEST_F(SelfUpdateTest, WithSignaturesNotRequiredAnUnsignedManifestInstallsAndTheLogSaysSo) {
  ScopedEnvironment off("ORBA_UPDATE_REQUIRE_SIGNATURE", "0");
  Deployment deployment;
  deployment.sign = false;
  deployment.withSha256 = false;
  Publish(deployment);
  Run();
  EXPECT_EQ(deployment.program, testsupport::ReadFileText(Installed()));
  int notes = 0;
  for (const std::string& line : testsupport::LogLines(users.LogPath())) {
    notes += line.find("Update manifest not verified") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(1, notes);
}

TEST_F(SelfUpdateTest, BrokenDownloadsEndInsteadOfStalling) {
  ScopedEnvironment online("ORBA_NETWORK_STATE", "online");
  struct Case {
    const char* name;
    std::function<void(SelfUpdateTest&)> setUp;
    int allGood, failed;
    const char* suffix;  // requested this many times
    int requests;
  };
  const std::vector<Case> cases = {
      {"digest list differs",
       [](SelfUpdateTest& t) {
         Deployment d;
         d.corruptDigestList = true;
         t.Publish(d);
       },
       0, 0, "/engine.7z", 3},
      // The first of the three tries asks for the signature, which is missing too.
      {"manifest missing", [](SelfUpdateTest&) {}, 0, 0, "/qtxdownload_updater.xml", 2},
      {"archive cut after its head",
       [](SelfUpdateTest& t) {
         Deployment d;
         t.Publish(d);
         testsupport::HttpResourceOptions cut;
         cut.cutAfter = 10;
         t.server.AddResource("/v3_32/engine.7z", testsupport::ReadFileText(t.site / "v3_32/engine.7z"), cut);
       },
       0, 0, "/engine.7z", 3},
      {"unknown archive kind",
       [](SelfUpdateTest& t) {
         Deployment d;
         d.extension = "exe";
         t.Publish(d);
       },
       -1, 1, "/engine.exe", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(site / "v3_32");
    server.ClearRequests();
    ResetLog();
    c.setUp(*this);
    if (IsSkipped()) return;
    Run();
    EXPECT_EQ(c.allGood, events.allGood);
    EXPECT_EQ(c.failed, events.failed);
    EXPECT_EQ(c.requests, Requests(c.suffix));
    EXPECT_FALSE(std::filesystem::exists(Installed()));
  }
  EXPECT_TRUE(Logged("[TessenLib] 엔진 다운로드 실패 result : 5"));
}

TEST_F(SelfUpdateTest, UnreachableHostIsAFailedTryOnlineAndANetworkWaitOffline) {
  {
    ScopedEnvironment online("ORBA_NETWORK_STATE", "online");
    events = Events();
    CDownloader updater(&CountRun);
    updater.SetDownloaderListener(&events);
    updater.BeginUpdate("http://no-such-host.invalid/v3_32/qtxdownload_updater.xml");
    ASSERT_TRUE(runtime.PumpUntil([&] { return events.finished > 0; }, 20000));
    EXPECT_EQ(0, events.networkWaits);
    EXPECT_EQ(0, events.allGood);
  }
  ScopedEnvironment offline("ORBA_NETWORK_STATE", "offline");
  events = Events();
  CDownloader updater(&CountRun);
  updater.SetDownloaderListener(&events);
  updater.BeginUpdate("http://no-such-host.invalid/v3_32/qtxdownload_updater.xml");
  ASSERT_TRUE(runtime.PumpUntil([&] { return events.networkWaits > 0; }, 20000));
  EXPECT_TRUE(updater.InNetworkWait());
  auto errors = [&] {
    int count = 0;
    for (const std::string& line : testsupport::LogLines(users.LogPath())) {
      count += line.find("Session Error (URL: http://no-such-host.invalid") != std::string::npos ? 1 : 0;
    }
    return count;
  };
  const int before = errors();
  for (int i = 0; i < 5; ++i) {
    runtime.AdvanceSeconds(1);
    runtime.PumpUntil([&] { return errors() > before + i; }, 5000);
  }
  EXPECT_GE(errors(), before + 4) << "the wait keeps trying past three tries";
  EXPECT_EQ(0, events.finished);
}

TEST_F(SelfUpdateTest, NetworkWaitKeepsTryingTheArchiveAfterTheManifestCame) {
  ScopedEnvironment offline("ORBA_NETWORK_STATE", "offline");
  Deployment deployment;
  deployment.archiveBase = "http://no-such-host.invalid/";
  Publish(deployment);
  if (IsSkipped()) return;
  events = Events();
  CDownloader updater(&CountRun);
  updater.SetDownloaderListener(&events);
  updater.BeginUpdate(ManifestUrl());
  // The manifest came from the loopback server; the archive's host is out of reach.
  ASSERT_TRUE(runtime.PumpUntil([&] { return events.networkWaits > 0; }, 20000));
  auto tries = [&] {
    int count = 0;
    for (const std::string& line : testsupport::LogLines(users.LogPath())) {
      count +=
          line.find("Session Error (URL: http://no-such-host.invalid/engine.7z") != std::string::npos ? 1 : 0;
    }
    return count;
  };
  for (int second = 1; second <= 5; ++second) {
    runtime.AdvanceSeconds(1);
    runtime.PumpUntil([&] { return tries() > second; }, 5000);
  }
  EXPECT_GE(tries(), 5);
  EXPECT_EQ(0, events.finished);
}

TEST_F(SelfUpdateTest, LauncherLogsTheOutcomeOfTheUpdate) {
  ScopedEnvironment url("ORBA_UPDATE_MANIFEST_URL", ManifestUrl());
  Publish(Deployment());
  if (IsSkipped()) return;
  {
    CEngineLauncher launcher(nullptr, &CountRun);
    ASSERT_TRUE(runtime.PumpUntil([&] { return launcher.Updater().Finished(); }, 20000));
  }
  EXPECT_TRUE(Logged("[TessenLib] Patch Success"));
  EXPECT_TRUE(Logged("[TessenLib] Finalize Downloader"));
}

}  // namespace
