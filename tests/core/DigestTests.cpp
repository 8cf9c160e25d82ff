#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/ctCMD4.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::string Hex(const ctCMD4::Digest& digest) { return Hex(digest.data(), digest.size()); }

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// OpenSSL's MD4 (from its legacy provider) as the reference; null when this OpenSSL has none.
class OpenSslMd4 {
 public:
  OpenSslMd4() {
    legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
    md_ = EVP_MD_fetch(nullptr, "MD4", nullptr);
  }
  ~OpenSslMd4() {
    EVP_MD_free(md_);
    if (legacy_ != nullptr) OSSL_PROVIDER_unload(legacy_);
  }
  OpenSslMd4(const OpenSslMd4&) = delete;
  OpenSslMd4& operator=(const OpenSslMd4&) = delete;

  bool Available() const { return md_ != nullptr; }
  std::string Of(const uint8_t* data, size_t length) const {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    if (EVP_Digest(data, length, out, &outLength, md_, nullptr) != 1) return "openssl failed";
    return Hex(out, outLength);
  }

 private:
  OSSL_PROVIDER* legacy_ = nullptr;
  EVP_MD* md_ = nullptr;
};

struct Vector {
  const char* message;
  const char* digest;
};

// The test suite of RFC 1320, appendix A.5.
const Vector kRfcVectors[] = {
    {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
    {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
    {"message digest", "d9130a8164549fe818874806e1c7014b"},
    {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "e33b4ddc9c38f2199c3e7b164fcc0536"},
};

class Md4VectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(Md4VectorTest, MatchesTheRfc) {
  std::string message = GetParam().message;
  EXPECT_EQ(Hex(ctCMD4::Of(message.data(), message.size())), GetParam().digest);
  // Byte by byte through Update gives the same digest.
  ctCMD4 md4;
  for (char c : message) md4.Update(&c, 1);
  EXPECT_EQ(Hex(md4.Final()), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(Rfc1320, Md4VectorTest, ::testing::ValuesIn(kRfcVectors));

TEST(Md4Test, FinalStartsAfresh) {
  ctCMD4 md4;
  md4.Update("abc", 3);
  EXPECT_EQ(Hex(md4.Final()), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Hex(md4.Final()), "31d6cfe0d16ae931b73c59d7e0c089c0");
  md4.Update("a", 1);
  EXPECT_EQ(Hex(md4.Final()), "bde52cb31de33e46245e05fbdbd6fb24");
}

TEST(Md4Test, NothingGivenIsTheEmptyDigest) {
  EXPECT_EQ(Hex(ctCMD4::Of(nullptr, 0)), "31d6cfe0d16ae931b73c59d7e0c089c0");
}

TEST(Md4Test, AgreesWithOpenSslAroundThePaddingEdgesAndAcrossSplits) {
  OpenSslMd4 reference;
  if (!reference.Available()) GTEST_SKIP() << "OpenSSL has no MD4 here";
  std::mt19937 random(1320);
  std::vector<size_t> lengths;
  for (size_t edge : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
    for (size_t around = edge > 2 ? edge - 2 : 0; around <= edge + 2; ++around) lengths.push_back(around);
  }
  for (int i = 0; i < 40; ++i) lengths.push_back(random() % 5000);
  lengths.push_back(kDigestListBlockSize + 3);

  for (size_t length : lengths) {
    std::vector<uint8_t> data = RandomBytes(length, static_cast<uint32_t>(length) * 7 + 1);
    std::string expected = reference.Of(data.data(), data.size());
    ASSERT_EQ(Hex(ctCMD4::Of(data.data(), data.size())), expected) << "length " << length;

    // Random splits, including empty pieces and pieces across block edges.
    for (int round = 0; round < 4; ++round) {
      ctCMD4 md4;
      size_t offset = 0;
      while (offset < length) {
        size_t piece = std::min<size_t>(length - offset, random() % 150);
        md4.Update(data.data() + offset, piece);
        offset += piece;
      }
      ASSERT_EQ(Hex(md4.Final()), expected) << "length " << length << ", split round " << round;
    }
  }
}

// The list for data of `length` bytes, built independently of ctComputeDigestList.
std::vector<uint8_t> ExpectedList(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> list;
  for (size_t offset = 0; offset < data.size(); offset += kDigestListBlockSize) {
    ctCMD4 md4;
    md4.Update(data.data() + offset, std::min(kDigestListBlockSize, data.size() - offset));
    ctCMD4::Digest digest = md4.Final();
    list.insert(list.end(), digest.begin(), digest.end());
  }
  ctCMD4::Digest last = ctCMD4::Of(list.data(), list.size());
  list.insert(list.end(), last.begin(), last.end());
  return list;
}

struct ListCase {
  size_t length;
  size_t listLength;
};

class DigestListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(DigestListTest, HasOneDigestPerBlockAndOneOfTheDigests) {
  std::vector<uint8_t> data = RandomBytes(GetParam().length, 5);
  std::vector<uint8_t> list = ctComputeDigestList(data.data(), data.size());
  EXPECT_EQ(list.size(), GetParam().listLength);
  EXPECT_EQ(list, ExpectedList(data));
  EXPECT_TRUE(ctDigestListMatches(list.data(), list.size(), data.data(), data.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DigestListTest,
    ::testing::Values(ListCase{0, 16}, ListCase{1, 32}, ListCase{kDigestListBlockSize - 1, 32},
                      ListCase{kDigestListBlockSize, 32}, ListCase{kDigestListBlockSize + 1, 48},
                      ListCase{2 * kDigestListBlockSize, 48}, ListCase{2 * kDigestListBlockSize + 7, 64}));

TEST(DigestListTest, EmptyDataIsTheDigestOfNothing) {
  std::vector<uint8_t> list = ctComputeDigestList(nullptr, 0);
  EXPECT_EQ(Hex(list.data(), list.size()), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_TRUE(ctDigestListMatches(list.data(), list.size(), nullptr, 0));
}

TEST(DigestListTest, BlockDigestsAgreeWithOpenSsl) {
  OpenSslMd4 reference;
  if (!reference.Available()) GTEST_SKIP() << "OpenSSL has no MD4 here";
  std::vector<uint8_t> data = RandomBytes(kDigestListBlockSize + 1, 9);
  std::vector<uint8_t> list = ctComputeDigestList(data.data(), data.size());
  ASSERT_EQ(list.size(), 48u);
  EXPECT_EQ(Hex(list.data(), 16), reference.Of(data.data(), kDigestListBlockSize));
  EXPECT_EQ(Hex(list.data() + 16, 16), reference.Of(data.data() + kDigestListBlockSize, 1));
  EXPECT_EQ(Hex(list.data() + 32, 16), reference.Of(list.data(), 32));
}

class DigestMatchTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> data_ = RandomBytes(2 * kDigestListBlockSize + 100, 77);
  std::vector<uint8_t> list_ = ctComputeDigestList(data_.data(), data_.size());

  bool Matches(const std::vector<uint8_t>& list, size_t length) const {
    return ctDigestListMatches(list.data(), length, data_.data(), data_.size());
  }
};

TEST_F(DigestMatchTest, TheWholeListMatches) { EXPECT_TRUE(Matches(list_, list_.size())); }

TEST_F(DigestMatchTest, ATruncatedListMatchesOverItsLength) {
  for (size_t length :
       {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{40}, size_t{48}, list_.size() - 1}) {
    EXPECT_TRUE(Matches(list_, length)) << "length " << length;
  }
}

TEST_F(DigestMatchTest, AnEmptyListNeverMatches) {
  EXPECT_FALSE(Matches(list_, 0));
  EXPECT_FALSE(ctDigestListMatches(nullptr, 0, data_.data(), data_.size()));
  EXPECT_FALSE(ctDigestListMatches(nullptr, 16, data_.data(), data_.size()));
}

TEST_F(DigestMatchTest, AListLongerThanTheComputedOneNeverMatches) {
  std::vector<uint8_t> longer = list_;
  longer.push_back(0);
  EXPECT_FALSE(Matches(longer, longer.size()));
  // The list of data that lost its last block, against that data, is the same story.
  std::vector<uint8_t> shortData(data_.begin(), data_.begin() + 2 * kDigestListBlockSize);
  EXPECT_FALSE(ctDigestListMatches(list_.data(), list_.size(), shortData.data(), shortData.size()));
}

TEST_F(DigestMatchTest, AChangedByteInTheListFails) {
  for (size_t position : {size_t{0}, size_t{15}, size_t{16}, size_t{33}, list_.size() - 1}) {
    std::vector<uint8_t> changed = list_;
    changed[position] ^= 0x01;
    EXPECT_FALSE(Matches(changed, changed.size())) << "position " << position;
  }
}

TEST_F(DigestMatchTest, AChangedByteInTheDataFails) {
  for (size_t position : {size_t{0}, kDigestListBlockSize - 1, kDigestListBlockSize, data_.size() - 1}) {
    std::vector<uint8_t> changed = data_;
    changed[position] ^= 0x80;
    EXPECT_FALSE(ctDigestListMatches(list_.data(), list_.size(), changed.data(), changed.size()))
        << "position " << position;
  }
}

TEST(DigestListTest, EmptyDataMatchesOnlyTheDigestOfNothing) {
  std::vector<uint8_t> list = ctComputeDigestList(nullptr, 0);
  list.push_back(0);
  EXPECT_FALSE(ctDigestListMatches(list.data(), list.size(), nullptr, 0));
  uint8_t one = 1;
  std::vector<uint8_t> oneByteList = ctComputeDigestList(&one, 1);
  EXPECT_FALSE(ctDigestListMatches(oneByteList.data(), oneByteList.size(), nullptr, 0));
}

}  // namespace
