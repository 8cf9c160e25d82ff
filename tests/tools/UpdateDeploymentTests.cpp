// The engine's update deployment: what orba-updatepack writes (the build's own deployment and one
// made here with a key of the test's), and how orba-devserver serves it, as it is and altered.
#include <archive.h>
#include <archive_entry.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/DevServerProcess.h"
#include "tools/updatecommon/UpdateDigests.h"
#include "tools/updatecommon/UpdateManifest.h"

namespace {

using namespace devservertest;
using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

const std::string kFolder = "norvik/qtxdownload/update/v3_32";
const std::string kServedFolder = "/" + kFolder + "/";
const std::string kManifest = "qtxdownload_updater.xml";
const std::string kSignature = "qtxdownload_updater.xml.sig";
const std::vector<std::string> kArchives = {"QTXDownloadV32.7z", "qtxdownload_all.zip"};

// The text between `name="` and the next quote; empty when missing.
std::string Attribute(const std::string& text, const std::string& name) {
  size_t start = text.find(" " + name + "=\"");
  if (start == std::string::npos) return std::string();
  start += name.size() + 3;
  return text.substr(start, text.find('"', start) - start);
}

std::string Md4(const std::string& bytes) {
  static EVP_MD* md4 = [] {
    OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER_load(nullptr, "legacy");
    return EVP_MD_fetch(nullptr, "MD4", nullptr);
  }();
  unsigned char digest[16];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, md4, nullptr), 1);
  return std::string(reinterpret_cast<char*>(digest), length);
}

bool Verifies(EVP_PKEY* key, const std::string& message, const std::string& signature) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

KeyPointer ReadPublicKey(const std::string& pem) {
  FILE* file = std::fopen(pem.c_str(), "rb");
  EVP_PKEY* key = file != nullptr ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
  if (file != nullptr) std::fclose(file);
  return KeyPointer(key, EVP_PKEY_free);
}

struct Entry {
  std::string name;
  int permissions = 0;
  bool regular = false;
  std::string bytes;
};

std::vector<Entry> ReadArchive(const std::string& archive) {
  std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(), archive_read_free);
  archive_read_support_format_7zip(reader.get());
  archive_read_support_format_zip(reader.get());
  std::vector<Entry> entries;
  if (archive_read_open_memory(reader.get(), archive.data(), archive.size()) != ARCHIVE_OK) {
    ADD_FAILURE() << archive_error_string(reader.get());
    return entries;
  }
  struct archive_entry* header = nullptr;
  while (archive_read_next_header(reader.get(), &header) == ARCHIVE_OK) {
    Entry entry{archive_entry_pathname(header), static_cast<int>(archive_entry_perm(header)),
                archive_entry_filetype(header) == AE_IFREG, std::string()};
    char chunk[65536];
    for (la_ssize_t n; (n = archive_read_data(reader.get(), chunk, sizeof chunk)) > 0;)
      entry.bytes.append(chunk, static_cast<size_t>(n));
    entries.push_back(std::move(entry));
  }
  return entries;
}

// Everything a deployment of `engine` must hold; `key` null: no signature is looked at.
void CheckDeployment(const fs::path& root, const std::string& engine, const std::string& version,
                     EVP_PKEY* key) {
  fs::path folder = root / kFolder;
  std::string manifest = ReadFile(folder / kManifest);
  std::vector<std::string> archives;
  for (const std::string& name : kArchives) archives.push_back(ReadFile(folder / name));
  std::string expires = Attribute(manifest, "expires");
  auto fields = [&](size_t i) {
    return "url=\"" + kArchives[i] + "\" hash=\"" + kArchives[i] + ".md4\" sha256=\"" +
           updatecommon::Sha256Hex(archives[i]) + "\" size=\"" + std::to_string(archives[i].size()) +
           "\"/>\n";
  };
  EXPECT_EQ(manifest, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qtxdownload_updater expires=\"" +
                          expires + "\">\n<file>\n<QTXDownloadV32 ver=\"" + version + "\" " + fields(0) +
                          "</file>\n<all>\n<all " + fields(1) + "</all>\n</qtxdownload_updater>\n");
  std::optional<std::time_t> expiry = updatecommon::ParseUtc(expires);
  ASSERT_TRUE(expiry) << expires;
  EXPECT_GT(*expiry, std::time(nullptr));
  if (key != nullptr) {
    EXPECT_TRUE(Verifies(key, manifest, ReadFile(folder / kSignature)));
  }

  for (size_t i = 0; i < kArchives.size(); ++i) {
    SCOPED_TRACE(kArchives[i]);
    EXPECT_EQ(ReadFile(folder / (kArchives[i] + ".md4")), updatecommon::Md4List(archives[i]));
    std::vector<Entry> entries = ReadArchive(archives[i]);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "QTXDownloadV32");
    EXPECT_TRUE(entries[0].regular);
    EXPECT_EQ(entries[0].permissions, 0755);
    EXPECT_TRUE(entries[0].bytes == engine);
  }
}

TEST(UpdateDigestsTest, Md4ListHasTheDigestOfEveryBlockThenTheDigestOfThose) {
  EXPECT_EQ(updatecommon::Hex(*updatecommon::Md4List("")), "31d6cfe0d16ae931b73c59d7e0c089c0");  // RFC 1320
  EXPECT_EQ(updatecommon::Hex(Md4("abc")), "a448017aaf21d8525fc10ae87aa6729d");
  constexpr size_t kBlock = 1048576;
  for (size_t size : {size_t{3}, kBlock, kBlock + 1, 2 * kBlock + 5}) {
    SCOPED_TRACE(size);
    std::string bytes = PatternBytes(size);
    std::string digests;
    for (size_t offset = 0; offset < size; offset += kBlock) digests += Md4(bytes.substr(offset, kBlock));
    EXPECT_EQ(updatecommon::Md4List(bytes), digests + Md4(digests));
    EXPECT_EQ(digests.size(), (size + kBlock - 1) / kBlock * 16);
  }
}

TEST(UpdateDigestsTest, UtcTextIsReadBackOnlyInItsOwnShape) {
  EXPECT_EQ(updatecommon::FormatUtc(1828395094), "2027-12-09T23:31:34Z");
  EXPECT_EQ(updatecommon::ParseUtc("2027-12-09T23:31:34Z"), std::time_t{1828395094});
  for (const char* bad : {"", "2027-12-09 23:31:34Z", "2027-12-09T23:31:34", "2027-13-09T23:31:34Z", "x"})
    EXPECT_FALSE(updatecommon::ParseUtc(bad)) << bad;
}

TEST(BuildDeploymentTest, HoldsTheEngineInBothArchivesSignedWithTheBuildKey) {
  std::string engine = ReadFile(ORBA_ENGINE_PROGRAM);
  ASSERT_FALSE(engine.empty());
  KeyPointer key = ReadPublicKey(ORBA_UPDATE_PUBLIC_KEY_PEM);
  ASSERT_TRUE(key);
  bool signedByBuild = !std::string(ORBA_UPDATE_SIGNING_KEY).empty();
  EXPECT_EQ(fs::exists(fs::path(ORBA_UPDATE_DEPLOYMENT_DIR) / kFolder / kSignature), signedByBuild);
  CheckDeployment(ORBA_UPDATE_DEPLOYMENT_DIR, engine, ORBA_PROJECT_VERSION,
                  signedByBuild ? key.get() : nullptr);
}

TEST(BuildDeploymentTest, DevServerServesItByDefault) {
  TempFolder folder;
  DevServer server;
  ASSERT_TRUE(server.Start({"--root", folder.Path().string()}, folder.Path() / "server.log"))
      << ReadFile(folder.Path() / "server.log");
  std::string manifestUrl = server.Value("update_manifest_url");
  EXPECT_EQ(manifestUrl, server.Value("http_url") + kFolder + "/" + kManifest);
  httplib::Client client("127.0.0.1", server.Port("http_url"));
  client.set_read_timeout(30, 0);
  auto manifest = client.Get(kServedFolder + kManifest);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->status, 200);
  EXPECT_EQ(manifest->body, ReadFile(fs::path(ORBA_UPDATE_DEPLOYMENT_DIR) / kFolder / kManifest));
  auto signature = client.Get(kServedFolder + kSignature);
  ASSERT_TRUE(signature);
  if (std::string(ORBA_UPDATE_SIGNING_KEY).empty()) GTEST_SKIP() << "the build has no signing key";
  EXPECT_EQ(signature->status, 200);
  EXPECT_TRUE(Verifies(ReadPublicKey(ORBA_UPDATE_PUBLIC_KEY_PEM).get(), manifest->body, signature->body));
}

// A deployment of a fake engine made here with a key of this test's.
class UpdatePackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.Path().empty());
    key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    ASSERT_TRUE(key_);
    FILE* pem = std::fopen(KeyFile().c_str(), "wb");
    ASSERT_NE(pem, nullptr);
    ASSERT_EQ(PEM_write_PrivateKey(pem, key_.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
    std::fclose(pem);
    WriteFile(EngineFile(), engine_);
  }

  // orba-updatepack's exit code; what it printed is in Output().
  int Pack(std::vector<std::string> args) {
    args.insert(args.begin(), ORBA_UPDATEPACK);
    return RunProgram(args, folder_.Path() / "pack.out");
  }
  int PackSigned() {
    return Pack({"--engine", EngineFile(), "--version", "4.0.0.7", "--out", Root().string(), "--sign-key",
                 KeyFile(), "--expires-days", "2"});
  }
  std::string Output() const { return ReadFile(folder_.Path() / "pack.out"); }
  std::string KeyFile() const { return (folder_.Path() / "key.pem").string(); }
  std::string EngineFile() const { return (folder_.Path() / "engine").string(); }
  fs::path Root() const { return folder_.Path() / "deployment"; }
  fs::path Folder() const { return Root() / kFolder; }

  TempFolder folder_;
  KeyPointer key_{nullptr, EVP_PKEY_free};
  std::string engine_ = PatternBytes(2 * 1048576 + 12345);  // archives of more than one block
};

TEST_F(UpdatePackTest, MakesASignedDeploymentAndDropsTheSignatureWhenUnsigned) {
  ASSERT_EQ(PackSigned(), 0) << Output();
  CheckDeployment(Root(), engine_, "4.0.0.7", key_.get());
  std::time_t expiry =
      updatecommon::ParseUtc(Attribute(ReadFile(Folder() / kManifest), "expires")).value_or(0);
  EXPECT_NEAR(static_cast<double>(expiry - std::time(nullptr)), 2 * 86400.0, 120.0);
  EXPECT_GT(ReadFile(Folder() / kArchives[0]).size(), 1048576u);

  ASSERT_EQ(Pack({"--engine", EngineFile(), "--version", "4.0.0.8", "--out", Root().string()}), 0)
      << Output();
  CheckDeployment(Root(), engine_, "4.0.0.8", nullptr);
  EXPECT_FALSE(fs::exists(Folder() / kSignature));
}

TEST_F(UpdatePackTest, RefusesBadInputWithAReason) {
  WriteFile(folder_.Path() / "empty", "");
  std::string out = Root().string();
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{"--version", "1", "--out", out}, "--engine is missing"},
      {{"--engine", EngineFile(), "--out", out}, "--version is missing"},
      {{"--engine", EngineFile(), "--version", "1"}, "--out is missing"},
      {{"--engine", (folder_.Path() / "none").string(), "--version", "1", "--out", out}, "not a file"},
      {{"--engine", (folder_.Path() / "empty").string(), "--version", "1", "--out", out}, "is empty"},
      {{"--engine", EngineFile(), "--version", "1\"2", "--out", out}, "bad value for --version"},
      {{"--engine", EngineFile(), "--version", "1", "--out", out, "--expires-days", "0"}, "--expires-days"},
      {{"--engine", EngineFile(), "--version", "1", "--out", out, "--sign-key", EngineFile()},
       "no PEM private key"},
      {{"--engine", EngineFile(), "--version", "1", "--out", out, "--color", "red"},
       "unknown option --color"},
      {{"--engine"}, "needs a value"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(Pack(c.args), 0) << c.reason;
    EXPECT_NE(Output().find(c.reason), std::string::npos) << Output();
  }
  EXPECT_FALSE(fs::exists(Root()));
}

// What one route serves: its manifest's version and expiry, and its signature.
struct AlteredRoute {
  const char* prefix;
  const char* version;  // nullptr: the original
  bool expired;
  int signatureStatus;
  bool signatureVerifies;
};

// orba-devserver serving the deployment made here, signing with the test's key.
class UpdateRoutesTest : public UpdatePackTest {
 protected:
  void SetUp() override {
    UpdatePackTest::SetUp();
    ASSERT_EQ(PackSigned(), 0) << Output();
    fs::create_directories(folder_.Path() / "root");
  }
  void StartServer(const std::string& signKey) {
    ASSERT_TRUE(server_.Start({"--root", (folder_.Path() / "root").string(), "--update-root", Root().string(),
                               "--sign-key", signKey},
                              folder_.Path() / "server.log"))
        << ReadFile(folder_.Path() / "server.log");
  }
  httplib::Result Get(const std::string& prefix, const std::string& name,
                      const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", server_.Port("http_url"));
    client.set_read_timeout(30, 0);
    return client.Get(prefix + kServedFolder + name, headers);
  }
  void CheckRoutes(const std::vector<AlteredRoute>& routes) {
    std::string original = ReadFile(Folder() / kManifest);
    for (const AlteredRoute& route : routes) {
      SCOPED_TRACE(route.prefix);
      auto manifest = Get(route.prefix, kManifest);
      auto signature = Get(route.prefix, kSignature);
      ASSERT_TRUE(manifest && signature);
      EXPECT_EQ(Attribute(manifest->body, "ver"), route.version ? route.version : Attribute(original, "ver"));
      std::time_t expiry = updatecommon::ParseUtc(Attribute(manifest->body, "expires")).value_or(0);
      EXPECT_EQ(expiry < std::time(nullptr), route.expired);
      EXPECT_EQ(signature->status, route.signatureStatus);
      EXPECT_EQ(Verifies(key_.get(), manifest->body, signature->body), route.signatureVerifies);
    }
  }

  DevServer server_;
};

TEST_F(UpdateRoutesTest, ServesTheDeploymentAsItIsWithRanges) {
  StartServer(KeyFile());
  EXPECT_EQ(server_.Value("update_manifest_url"), server_.Value("http_url") + kFolder + "/" + kManifest);
  for (const std::string& name :
       {kManifest, kSignature, kArchives[0], kArchives[0] + ".md4", kArchives[1], kArchives[1] + ".md4"}) {
    auto answer = Get("", name);
    ASSERT_TRUE(answer) << name;
    EXPECT_EQ(answer->status, 200) << name;
    EXPECT_TRUE(answer->body == ReadFile(Folder() / name)) << name;  // Ed25519 signs alike every time
  }
  auto slice = Get("", kArchives[1], {{"Range", "bytes=10-19"}});
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->status, 206);
  EXPECT_EQ(slice->body, ReadFile(Folder() / kArchives[1]).substr(10, 10));
  auto missing = Get("", "other.bin");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(UpdateRoutesTest, EachAlteredRouteLiesAsItSays) {
  StartServer(KeyFile());
  CheckRoutes({{"", nullptr, false, 200, true},
               {"/update-tampered-archive", nullptr, false, 200, true},
               {"/update-tampered-manifest", "9.9.9.9", false, 200, false},
               {"/update-expired", nullptr, true, 200, true},
               {"/update-older", "0.0.0.1", false, 200, true},
               {"/update-unsigned", nullptr, false, 404, false}});

  std::string manifest = ReadFile(Folder() / kManifest);
  for (const std::string& name : kArchives) {
    SCOPED_TRACE(name);
    auto archive = Get("/update-tampered-archive", name);
    auto list = Get("/update-tampered-archive", name + ".md4");
    ASSERT_TRUE(archive && list);
    std::string original = ReadFile(Folder() / name);
    ASSERT_EQ(archive->body.size(), original.size());
    EXPECT_EQ(archive->body.substr(0, original.size() - 1), original.substr(0, original.size() - 1));
    EXPECT_NE(archive->body.back(), original.back());
    EXPECT_EQ(list->body, updatecommon::Md4List(archive->body));  // only the signed digest tells
    std::string line = manifest.substr(manifest.find("url=\"" + name + "\""));
    EXPECT_NE(Attribute(line, "sha256"), updatecommon::Sha256Hex(archive->body));
    EXPECT_EQ(Attribute(line, "sha256"), updatecommon::Sha256Hex(original));
  }
}

TEST_F(UpdateRoutesTest, WithoutAKeyTheDeploymentsOwnSignatureIsServed) {
  StartServer("none");
  CheckRoutes({{"", nullptr, false, 200, true},
               {"/update-tampered-manifest", "9.9.9.9", false, 200, false},
               {"/update-expired", nullptr, true, 404, false},
               {"/update-older", "0.0.0.1", false, 404, false},
               {"/update-unsigned", nullptr, false, 404, false}});
}

}  // namespace
