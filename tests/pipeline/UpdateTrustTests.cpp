// The checks that make an update trustworthy: signatures by the built-in key only, expiry times,
// and version order (never backwards).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "pipeline/FileVersion.h"
#include "pipeline/UpdateTrust.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VersionedProgram.h"

namespace {

TEST(UpdateTrustTest, VersionsCompareByTheirNumbers) {
  struct Case {
    const char* a;
    const char* b;
    std::optional<int> order;
  };
  const Case cases[] = {
      {"3.5.0.2", "3.5.0.2", 0}, {"3.5.0.2", "3.5.0.10", -1},  {"3.10", "3.9.9", 1},
      {"3.5", "3.5.0.0", 0},     {"3, 5, 0, 2", "3.5.0.2", 0}, {"4", "3.99", 1},
      {"", "3.5", std::nullopt}, {"beta", "1", std::nullopt},  {"99999999999999999999", "1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.order, CompareVersions(c.a, c.b)) << c.a << " vs " << c.b;
  }
}

TEST(UpdateTrustTest, OnlyWellFormedUtcTimesParse) {
  EXPECT_EQ(0, ParseUtcTime("1970-01-01T00:00:00Z"));
  EXPECT_EQ(951782400, ParseUtcTime("2000-02-29T00:00:00Z"));
  EXPECT_EQ(4102444799, ParseUtcTime("2099-12-31T23:59:59Z"));
  for (const char* bad : {"", "2027-13-01T00:00:00Z", "2027-01-01 00:00:00Z", "2027-01-01T00:00:00",
                          "2027-01-01T24:00:00Z", "2027-1-01T00:00:00Z", "+027-01-01T00:00:00Z"}) {
    EXPECT_EQ(std::nullopt, ParseUtcTime(bad)) << bad;
  }
}

TEST(UpdateTrustTest, SignaturesVerifyOnlyForTheirKeyAndMessage) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  ASSERT_NE(nullptr, key);
  UpdatePublicKey publicKey{};
  size_t keyLength = publicKey.size();
  ASSERT_EQ(1, EVP_PKEY_get_raw_public_key(key, publicKey.data(), &keyLength));
  const std::string message = "<qtxdownload_updater/>";
  std::string signature(64, '\0');
  size_t length = signature.size();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ASSERT_EQ(1, EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key));
  ASSERT_EQ(1, EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                              reinterpret_cast<const unsigned char*>(message.data()), message.size()));
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);

  EXPECT_TRUE(VerifyEd25519(publicKey, message, signature));
  EXPECT_FALSE(VerifyEd25519(publicKey, message + " ", signature));
  EXPECT_FALSE(VerifyEd25519(publicKey, message, signature.substr(0, 63)));
  EXPECT_FALSE(VerifyEd25519(BuiltInUpdateKey(), message, signature)) << "another key signed it";
  std::string flipped = signature;
  flipped[10] = static_cast<char>(flipped[10] ^ 1);
  EXPECT_FALSE(VerifyEd25519(publicKey, message, flipped));
}

TEST(UpdateTrustTest, FileVersionIsTheSectionTextUpToItsEnd) {
  testsupport::TempFolder folder;
  testsupport::WriteFileText(folder / "engine", testsupport::MakeVersionedProgram("3.5.0.2", "junk"));
  EXPECT_EQ("3.5.0.2", ReadFileVersion(folder / "engine"));
  EXPECT_EQ("", ReadFileVersion(folder / "absent"));
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Sha256Hex("", 0));
}

}  // namespace
