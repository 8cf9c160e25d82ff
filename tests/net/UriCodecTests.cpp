#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/utCUriCodec.h"

namespace {

constexpr char kUnreserved[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*+-.@_";

// Runs one codec call the way callers do: length first, then a buffer of length + 1.
std::string Run(cpStatus (utCUriCodec::*call)(const char*, char*, uint32_t*), const char* src) {
  utCUriCodec codec;
  uint32_t length = 0;
  EXPECT_EQ((codec.*call)(src, nullptr, &length), UT_S_OK);
  std::vector<char> buffer(length + 1, 'Z');
  uint32_t again = 0;
  EXPECT_EQ((codec.*call)(src, buffer.data(), &again), UT_S_OK);
  EXPECT_EQ(again, length);
  EXPECT_EQ(buffer[length], '\0');
  return std::string(buffer.data(), length);
}

std::string Encode(const char* src) { return Run(&utCUriCodec::Encode, src); }
std::string Decode(const char* src) { return Run(&utCUriCodec::Decode, src); }

TEST(utCUriCodecTest, StatusValues) {
  EXPECT_EQ(static_cast<uint32_t>(UT_S_OK), 0x40600000u);
  EXPECT_EQ(static_cast<uint32_t>(UT_E_FAIL), 0x80600000u);
}

TEST(utCUriCodecTest, NullOrEmptyInputFails) {
  utCUriCodec codec;
  uint32_t length = 77;
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(codec.Encode(nullptr, buffer, &length), UT_E_FAIL);
  EXPECT_EQ(codec.Encode("", buffer, &length), UT_E_FAIL);
  EXPECT_EQ(codec.Decode(nullptr, buffer, &length), UT_E_FAIL);
  EXPECT_EQ(codec.Decode("", buffer, &length), UT_E_FAIL);
  EXPECT_EQ(codec.Encode("a", buffer, nullptr), UT_E_FAIL);
  EXPECT_EQ(codec.Decode("a", buffer, nullptr), UT_E_FAIL);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(utCUriCodecTest, LengthFirstLeavesNoBufferWritten) {
  utCUriCodec codec;
  uint32_t length = 0;
  EXPECT_EQ(codec.Encode("a b", nullptr, &length), UT_S_OK);
  EXPECT_EQ(length, 5u);
  char buffer[8];
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(codec.Encode("a b", buffer, &length), UT_S_OK);
  EXPECT_STREQ(buffer, "a%20b");
  EXPECT_EQ(buffer[6], 'Z');  // nothing beyond length + 1
}

TEST(utCUriCodecTest, TheSixtyEightUnreservedBytesStay) {
  ASSERT_EQ(std::strlen(kUnreserved), 68u);
  EXPECT_EQ(Encode(kUnreserved), kUnreserved);
}

TEST(utCUriCodecTest, EveryOtherByteBecomesUppercaseHex) {
  int encoded = 0;
  for (int byte = 1; byte < 256; ++byte) {
    const char text[2] = {static_cast<char>(byte), '\0'};
    if (std::strchr(kUnreserved, byte) != nullptr) continue;
    char expected[4];
    std::snprintf(expected, sizeof expected, "%%%02X", static_cast<unsigned>(byte));
    EXPECT_EQ(Encode(text), expected) << "byte " << byte;
    ++encoded;
  }
  EXPECT_EQ(encoded, 255 - 68);
}

TEST(utCUriCodecTest, SlashTildeSpaceAndHighBytesAreEncoded) {
  EXPECT_EQ(Encode("/~ \xEA\xB2\x8C"), "%2F%7E%20%EA%B2%8C");
  EXPECT_EQ(Encode("a%20b"), "a%2520b");
}

TEST(utCUriCodecTest, DecodesEscapesOfEitherCase) {
  EXPECT_EQ(Decode("a%41b"), "aAb");
  EXPECT_EQ(Decode("%4a%4A%2f"), "JJ/");
  EXPECT_EQ(Decode("%2520"), "%20");
}

TEST(utCUriCodecTest, IncompleteEscapesAndPlusStay) {
  EXPECT_EQ(Decode("a%4"), "a%4");
  EXPECT_EQ(Decode("%"), "%");
  EXPECT_EQ(Decode("100%"), "100%");
  EXPECT_EQ(Decode("%zz%4g"), "%zz%4g");
  EXPECT_EQ(Decode("a+b"), "a+b");
  EXPECT_EQ(Decode("%%41"), "%A");
}

TEST(utCUriCodecTest, StringFormsRoundTripEveryByte) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string encoded = utCUriCodec::EncodeString(all);
  EXPECT_EQ(encoded.substr(0, 6), "%00%01");
  EXPECT_EQ(utCUriCodec::DecodeString(encoded), all);
  EXPECT_EQ(utCUriCodec::EncodeString(""), "");
}

// URL pieces keep the escapes they already carry and encode the rest; a '%' that starts no escape
// is encoded like any other byte.
TEST(utCUriCodecTest, UrlPiecesKeepTheirEscapes) {
  const struct {
    const char* text;
    const char* sent;
  } cases[] = {
      {"a%20b", "a%20b"},         {"a b", "a%20b"},
      {"%2520", "%2520"},         {"%e4%B8%ad", "%e4%B8%ad"},
      {"a%2Db.pak", "a%2Db.pak"}, {"100%", "100%25"},
      {"50%x", "50%25x"},         {"%4", "%254"},
      {"%zz%4g", "%25zz%254g"},   {"%%41", "%25%41"},
      {"a%20 b", "a%20%20b"},     {"\xEA\xB2\x8C%20", "%EA%B2%8C%20"},
      {"/~", "%2F%7E"},           {"", ""},
  };
  for (const auto& item : cases) {
    EXPECT_EQ(utCUriCodec::EncodeUrlString(item.text), item.sent) << item.text;
    // Decoding what goes out gives what a server decodes from a URL written in either form.
    EXPECT_EQ(utCUriCodec::DecodeString(utCUriCodec::EncodeUrlString(item.text)),
              utCUriCodec::DecodeString(item.text))
        << item.text;
  }
}

TEST(utCUriCodecTest, DecodedNulCountsInTheLength) { EXPECT_EQ(Decode("ab%00cd"), std::string("ab\0cd", 5)); }

}  // namespace
