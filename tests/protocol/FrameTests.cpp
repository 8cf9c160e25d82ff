#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "protocol/nwFrame.h"

namespace {

uint32_t LengthField(const std::string& frame) {
  return static_cast<uint32_t>(static_cast<unsigned char>(frame[10])) |
         static_cast<uint32_t>(static_cast<unsigned char>(frame[11])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(frame[12])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(frame[13])) << 24;
}

TEST(nwFrameTest, RoundUp8) {
  EXPECT_EQ(nwRoundUp8(0), 0);
  EXPECT_EQ(nwRoundUp8(1), 8);
  EXPECT_EQ(nwRoundUp8(8), 8);
  EXPECT_EQ(nwRoundUp8(14), 16);
  EXPECT_EQ(nwRoundUp8(274), 280);
  EXPECT_EQ(nwRoundUp8(31), 32);
}

TEST(nwFrameTest, HeaderIsLittleEndianFieldByField) {
  nwFrameHeader header;
  header.group = 0x0102;
  header.type = 0x0304;
  header.reserved[0] = 0xAA;  // never sent
  header.payloadLength = 0x05060708;
  char bytes[kFrameHeaderSize];
  nwEncodeFrameHeader(header, bytes);
  EXPECT_EQ(std::string(bytes, sizeof bytes),
            std::string("\x02\x01\x04\x03\0\0\0\0\0\0\x08\x07\x06\x05", 14));
}

TEST(nwFrameTest, DecodeReadsEveryFieldAndIgnoresNothing) {
  const std::string bytes("\x00\x03\x07\x00\x01\x02\x03\x04\x05\x06\xFF\xFF\xFF\xFF", 14);
  const nwFrameHeader header = nwDecodeFrameHeader(bytes.data());
  EXPECT_EQ(header.group, 0x0300);
  EXPECT_EQ(header.type, 7);
  EXPECT_EQ(header.reserved[0], 1);
  EXPECT_EQ(header.reserved[5], 6);
  EXPECT_EQ(header.payloadLength, 0xFFFFFFFFu);
}

struct PaddingCase {
  int32_t payload;
  std::size_t frame;
  uint32_t lengthField;
};

void PrintTo(const PaddingCase& c, std::ostream* out) {
  *out << "Payload" << c.payload << "_Frame" << c.frame;
}

class nwFramePaddingTest : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(nwFramePaddingTest, PadsTheFrameToAMultipleOfEight) {
  const PaddingCase c = GetParam();
  std::string payload;
  for (int32_t i = 0; i < c.payload; ++i) payload += static_cast<char>('a' + i % 26);
  const std::string frame = nwBuildFrame(0x0100, 0x0205, payload.data(), c.payload);
  ASSERT_EQ(frame.size(), c.frame);
  EXPECT_EQ(nwFrameSize(c.payload), static_cast<int64_t>(c.frame));
  EXPECT_EQ(LengthField(frame), c.lengthField);
  EXPECT_EQ(frame.substr(0, 10), std::string("\x00\x01\x05\x02\0\0\0\0\0\0", 10));
  EXPECT_EQ(frame.substr(14, payload.size()), payload);
  EXPECT_EQ(frame.substr(14 + payload.size()), std::string(c.frame - 14 - payload.size(), '\0'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, nwFramePaddingTest,
                         ::testing::Values(PaddingCase{0, 16, 2}, PaddingCase{2, 16, 2},
                                           PaddingCase{10, 24, 10}, PaddingCase{17, 32, 18},
                                           PaddingCase{18, 32, 18}, PaddingCase{260, 280, 266}));

TEST(nwFrameTest, EmptyPayloadMayBeNull) { EXPECT_EQ(nwBuildFrame(1, 2, nullptr, 0).size(), 16u); }

TEST(nwFrameTest, InvalidLengthsBuildNothing) {
  EXPECT_EQ(nwBuildFrame(1, 2, "abc", -1), "");
  EXPECT_EQ(nwBuildFrame(1, 2, nullptr, 3), "");
  EXPECT_EQ(nwFrameSize(-1), -1);
  EXPECT_EQ(nwFrameSize(int64_t{kFrameMaxPayload} + 1), -1);
  // The padded length is held to the same limit the receiver checks.
  EXPECT_EQ(nwFrameSize(kFrameMaxPayload), -1);
  EXPECT_EQ(nwFrameSize(kFrameMaxPayload - 6), int64_t{kFrameMaxPayload} + 8);
}

}  // namespace
