#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "net/nwCHttpResponseHeader.h"

namespace {

nwCHttpResponseHeader Parsed(const std::string& block) {
  nwCHttpResponseHeader header;
  header.Parse(block);
  return header;
}

int64_t ContentLengthOf(const std::string& value) {
  return Parsed("HTTP/1.1 200 OK\r\nContent-Length: " + value + "\r\n\r\n").GetContentLength();
}

TEST(nwCHttpResponseHeaderTest, FindEndIsTheOffsetPastTheFirstBlankLine) {
  const std::string data = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody\r\n\r\n";
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd(data), 25u);
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd("\r\n\r\n"), 4u);
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd(""), 0u);
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd("\r\n\r"), 0u);
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd("HTTP/1.1 200 OK\n\nbody"), 0u);
}

TEST(nwCHttpResponseHeaderTest, BlockSplitAcrossTwoReceivesEndsOnlyWithTheSecond) {
  const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r";
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd(first), 0u);
  const std::string both = first + "\nabc";
  EXPECT_EQ(nwCHttpResponseHeader::FindEnd(both), both.size() - 3);
}

TEST(nwCHttpResponseHeaderTest, LinesSplitAtTheFirstSpace) {
  const nwCHttpResponseHeader header =
      Parsed("HTTP/1.1 200 OK\r\nContent-Length: 123\r\nServer: a b c\r\n\r\n");
  ASSERT_EQ(header.Lines().size(), 3u);
  EXPECT_EQ(header.Lines()[0].key, "HTTP/1.1");
  EXPECT_EQ(header.Lines()[0].value, "200 OK");
  EXPECT_EQ(header.Lines()[1].key, "Content-Length:");
  EXPECT_EQ(header.Lines()[1].value, "123");
  EXPECT_EQ(header.Lines()[2].key, "Server:");
  EXPECT_EQ(header.Lines()[2].value, "a b c");
}

TEST(nwCHttpResponseHeaderTest, RawTextEndsWithTheBlankLine) {
  const std::string block = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
  nwCHttpResponseHeader header;
  EXPECT_FALSE(header.IsReceived());
  header.Parse(block + "body bytes");
  EXPECT_TRUE(header.IsReceived());
  EXPECT_EQ(header.RawText(), block);
  EXPECT_EQ(header.Lines().size(), 2u);
}

TEST(nwCHttpResponseHeaderTest, LinesEndAtLineFeedCarriageReturnsDropLinesWithoutSpaceDrop) {
  const nwCHttpResponseHeader header = Parsed("HTTP/1.0 302 Found\nNoSpaceHere\r\nLoca\rtion: /x\r\n\r\n");
  ASSERT_EQ(header.Lines().size(), 2u);
  EXPECT_EQ(header.Lines()[0].value, "302 Found");
  EXPECT_EQ(header.Lines()[1].key, "Location:");
  EXPECT_EQ(header.Lines()[1].value, "/x");
}

TEST(nwCHttpResponseHeaderTest, ValuesArePercentDecoded) {
  const nwCHttpResponseHeader header =
      Parsed("HTTP/1.1 200 OK\r\nX-A: a%41b\r\nX-B: a%4\r\nX-C: a+b\r\n\r\n");
  ASSERT_NE(header.GetHeader("X-A"), nullptr);
  EXPECT_EQ(*header.GetHeader("X-A"), "aAb");
  EXPECT_EQ(*header.GetHeader("X-B"), "a%4");
  EXPECT_EQ(*header.GetHeader("X-C"), "a+b");
}

TEST(nwCHttpResponseHeaderTest, GetHeaderMatchesTheStartOfAKeyWithoutCase) {
  const nwCHttpResponseHeader header = Parsed(
      "HTTP/1.1 302 Found\r\nlocation: http://b.test/1\r\nLocation: http://b.test/2\r\n"
      "Content-Length: 0\r\n\r\n");
  ASSERT_NE(header.GetHeader("Location:"), nullptr);
  EXPECT_EQ(*header.GetHeader("Location:"), "http://b.test/1");
  ASSERT_NE(header.GetHeader("CONTENT-LENGTH"), nullptr);
  EXPECT_EQ(*header.GetHeader("CONTENT-LENGTH"), "0");
  EXPECT_EQ(header.GetHeader("ETag"), nullptr);
  EXPECT_EQ(header.GetHeader(""), nullptr);
}

TEST(nwCHttpResponseHeaderTest, StatusCodeIsTheLeadingDigitsOfTheFirstLine) {
  EXPECT_EQ(Parsed("HTTP/1.1 206 Partial Content\r\n\r\n").GetStatusCode(), 206);
  EXPECT_EQ(Parsed("HTTP/1.1 404\r\n\r\n").GetStatusCode(), 404);
  EXPECT_EQ(Parsed("HTTP/1.1 OK\r\n\r\n").GetStatusCode(), 0);
  EXPECT_EQ(Parsed("HTTP/1.1 99999999999 Huge\r\n\r\n").GetStatusCode(), 0);
  EXPECT_EQ(Parsed("\r\n\r\n").GetStatusCode(), 0);
  EXPECT_EQ(nwCHttpResponseHeader().GetStatusCode(), 0);
}

TEST(nwCHttpResponseHeaderTest, ContentLengthIsTheLeadingDigits) {
  EXPECT_EQ(ContentLengthOf("123"), 123);
  EXPECT_EQ(ContentLengthOf("12abc"), 12);
  EXPECT_EQ(ContentLengthOf("00042"), 42);
  EXPECT_EQ(ContentLengthOf("5000000000"), int64_t{5000000000});
  EXPECT_EQ(ContentLengthOf("abc"), 0);
  EXPECT_EQ(ContentLengthOf("-5"), 0);
  EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\ncontent-length: 7\r\n\r\n").GetContentLength(), 7);
  EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\n\r\n").GetContentLength(), 0);
}

TEST(nwCHttpResponseHeaderTest, ContentLengthTooLargeForInt64CountsAsAbsent) {
  EXPECT_EQ(ContentLengthOf("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ContentLengthOf("9223372036854775808"), 0);
  EXPECT_EQ(ContentLengthOf("18446744073709551617"), 0);
  EXPECT_EQ(ContentLengthOf("99999999999999999999999999999999"), 0);
}

TEST(nwCHttpResponseHeaderTest, ParsingForgetsThePreviousResponse) {
  nwCHttpResponseHeader header;
  header.Parse("HTTP/1.1 200 OK\r\nX-Old: 1\r\n\r\n");
  header.Parse("HTTP/1.1 404 Not Found\r\n\r\n");
  EXPECT_EQ(header.GetStatusCode(), 404);
  EXPECT_EQ(header.GetHeader("X-Old"), nullptr);
  EXPECT_EQ(header.RawText(), "HTTP/1.1 404 Not Found\r\n\r\n");
  header.Clear();
  EXPECT_FALSE(header.IsReceived());
  EXPECT_TRUE(header.Lines().empty());
}

}  // namespace
