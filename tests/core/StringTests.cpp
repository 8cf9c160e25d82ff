#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>

#include "core/nvCString.h"

namespace {

// Short content lives inside the object itself; anything else is a heap block.
bool IsInline(const nvCString& s) {
  const auto begin = reinterpret_cast<uintptr_t>(&s);
  const auto buffer = reinterpret_cast<uintptr_t>(s.GetBuffer());
  return buffer >= begin && buffer < begin + sizeof s;
}

std::string Text(const nvCString& s) { return std::string(s.GetBuffer(), s.GetLength()); }

TEST(nvCStringTest, EmptyStringHasZeroLengthAndATerminatedBuffer) {
  for (const nvCString& s : {nvCString(), nvCString(nullptr), nvCString(""), nvCString('\0')}) {
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_TRUE(s.IsEmpty());
    ASSERT_NE(s.GetBuffer(), nullptr);
    EXPECT_EQ(s.GetBuffer()[0], '\0');
  }
}

TEST(nvCStringTest, ConstructsFromTextCharacterAndCopy) {
  nvCString fromChar('x');
  EXPECT_EQ(Text(fromChar), "x");
  EXPECT_TRUE(IsInline(fromChar));

  nvCString longText("http://host/file");
  nvCString copy(longText);
  EXPECT_EQ(Text(copy), "http://host/file");
  EXPECT_NE(copy.GetBuffer(), longText.GetBuffer());
  EXPECT_EQ(copy.GetBuffer()[copy.GetLength()], '\0');
}

TEST(nvCStringTest, ThreeBytesStayInlineAndAFourthMovesToTheHeap) {
  nvCString s("abc");
  EXPECT_EQ(s.GetLength(), 3u);
  EXPECT_TRUE(IsInline(s));
  EXPECT_STREQ(s.GetBuffer(), "abc");

  s.Append("d");
  EXPECT_EQ(s.GetLength(), 4u);
  EXPECT_FALSE(IsInline(s));
  EXPECT_STREQ(s.GetBuffer(), "abcd");
}

TEST(nvCStringTest, ShortAppendsStayInline) {
  nvCString s;
  s.Append("a");
  s.Append("");
  s.Append(nvCString("bc"));
  EXPECT_EQ(Text(s), "abc");
  EXPECT_TRUE(IsInline(s));
}

TEST(nvCStringTest, EveryAppendToAHeapStringReallocates) {
  nvCString s("abcd");
  const char* before = s.GetBuffer();
  s.Append("e");
  EXPECT_NE(s.GetBuffer(), before);
  EXPECT_EQ(Text(s), "abcde");
}

TEST(nvCStringTest, AppendingNullChangesNothing) {
  nvCString s("abcdef");
  const char* before = s.GetBuffer();
  s.Append(static_cast<const char*>(nullptr));
  EXPECT_EQ(s.GetBuffer(), before);
  EXPECT_EQ(Text(s), "abcdef");
}

TEST(nvCStringTest, AssigningAShorterHeapStringKeepsTheBlock) {
  nvCString s("abcdefgh");
  const char* block = s.GetBuffer();

  s.Assign("wxyz");
  EXPECT_EQ(s.GetBuffer(), block);
  EXPECT_EQ(s.GetLength(), 4u);
  EXPECT_STREQ(s.GetBuffer(), "wxyz");

  // The block now is larger than the content, and still serves an equal length.
  const nvCString same("1234");
  s = same;
  EXPECT_EQ(s.GetBuffer(), block);
  EXPECT_STREQ(s.GetBuffer(), "1234");

  const nvCString other("pqrst");  // longer than the current length: needs its own block
  s = other;
  EXPECT_STREQ(s.GetBuffer(), "pqrst");
  EXPECT_NE(s.GetBuffer(), other.GetBuffer());
}

TEST(nvCStringTest, AssigningThreeBytesOrLessGoesBackInline) {
  nvCString s("abcdefgh");
  s.Assign("xy");
  EXPECT_TRUE(IsInline(s));
  EXPECT_EQ(Text(s), "xy");

  s.Assign(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  s.Assign("abcdefgh");
  s.Assign("");
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(s.GetBuffer()[0], '\0');
}

TEST(nvCStringTest, SelfAssignmentKeepsTheContent) {
  for (const char* text : {"ab", "abcdefgh"}) {
    nvCString s(text);
    nvCString& alias = s;
    s = alias;
    EXPECT_EQ(Text(s), text);
    s.Assign(s.GetBuffer());
    EXPECT_EQ(Text(s), text);
  }
}

TEST(nvCStringTest, AssigningATailOfItselfWorks) {
  nvCString heap("abcdefgh");
  heap.Assign(heap.GetBuffer() + 2);  // stays on the heap, overlapping the source
  EXPECT_EQ(Text(heap), "cdefgh");
  heap.Assign(heap.GetBuffer() + 3);  // moves inline out of the block being freed
  EXPECT_EQ(Text(heap), "fgh");
  heap.Assign(heap.GetBuffer() + 1);  // inline to inline
  EXPECT_EQ(Text(heap), "gh");
}

TEST(nvCStringTest, AppendingAStringToItselfDoublesIt) {
  for (const char* text : {"a", "ab", "abcd"}) {
    const std::string doubled = std::string(text) + text;
    nvCString s(text);
    s.Append(s);
    EXPECT_EQ(Text(s), doubled);

    nvCString viaBuffer(text);
    viaBuffer.Append(viaBuffer.GetBuffer());
    EXPECT_EQ(Text(viaBuffer), doubled);
  }
}

TEST(nvCStringTest, MoveLeavesTheSourceEmpty) {
  nvCString source("abcdefgh");
  const char* block = source.GetBuffer();
  nvCString moved(std::move(source));
  EXPECT_EQ(moved.GetBuffer(), block);
  EXPECT_TRUE(source.IsEmpty());

  nvCString target("xyz");
  target = std::move(moved);
  EXPECT_EQ(target.GetBuffer(), block);
  EXPECT_EQ(Text(target), "abcdefgh");

  nvCString shortSource("ab");
  target = std::move(shortSource);
  EXPECT_EQ(Text(target), "ab");
  EXPECT_TRUE(IsInline(target));
}

struct MidCase {
  const char* text;
  uint32_t start;
  uint32_t count;
  const char* expected;
};

void PrintTo(const MidCase& c, std::ostream* os) {
  *os << '"' << c.text << "\".Mid(" << c.start << ", " << c.count << ")";
}

class nvCStringMidTest : public ::testing::TestWithParam<MidCase> {};

TEST_P(nvCStringMidTest, TakesTheExpectedBytes) {
  const MidCase& c = GetParam();
  const nvCString piece = nvCString(c.text).Mid(c.start, c.count);
  EXPECT_EQ(Text(piece), c.expected);
  EXPECT_EQ(piece.GetLength(), std::strlen(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, nvCStringMidTest,
                         ::testing::Values(MidCase{"abcdefgh", 1, 5, "bcdef"},  //
                                           MidCase{"abcdefgh", 0, 8, "abcdefgh"},
                                           MidCase{"abcdefgh", 6, 100, "gh"},   // cut at the end
                                           MidCase{"abc", 0, 0x100000, "abc"},  // largest count
                                           MidCase{"abc", 0, 0x100001, ""},     // count too large
                                           MidCase{"abcdefgh", 2, 0xFFFFFFFF, ""},
                                           MidCase{"abc", 3, 1, ""},  // start at the end
                                           MidCase{"abc", 4, 1, ""},  // start past the end
                                           MidCase{"abc", 1, 0, ""},  //
                                           MidCase{"", 0, 1, ""}));

TEST(nvCStringTest, FindReturnsTheOffsetFromTheBeginning) {
  const nvCString s("abab");
  EXPECT_EQ(s.Find("b", 2), 3);
  EXPECT_EQ(s.Find("b", 0), 1);
  EXPECT_EQ(s.Find("ab", 1), 2);
  EXPECT_EQ(s.Find("abab", 0), 0);
  EXPECT_EQ(s.Find("x", 0), -1);
  EXPECT_EQ(s.Find("aba", 1), -1);
  EXPECT_EQ(s.Find("b", 4), -1);  // start at the end: nothing left to search
  EXPECT_EQ(s.Find("b", 5), -1);  // start past the end
  EXPECT_EQ(s.Find(nullptr, 0), -1);
  EXPECT_EQ(nvCString().Find("a", 0), -1);
}

TEST(nvCStringTest, MakeLowerChangesOnlyAsciiCapitals) {
  // '@' and '[' border A-Z; bytes above 127 are not letters here.
  nvCString s("@AZ[az`{\xC4\xD6 Mixed09");
  s.MakeLower();
  EXPECT_EQ(Text(s), "@az[az`{\xC4\xD6 mixed09");

  nvCString inlineText("ABC");
  inlineText.MakeLower();
  EXPECT_EQ(Text(inlineText), "abc");
}

TEST(nvCStringTest, CompareHasTheSignOfByteOrder) {
  EXPECT_EQ(nvCString("abc").Compare(nvCString("abc")), 0);
  EXPECT_EQ(nvCString().Compare(nvCString("")), 0);
  EXPECT_LT(nvCString("abc").Compare(nvCString("abd")), 0);
  EXPECT_GT(nvCString("b").Compare(nvCString("abcdef")), 0);
  EXPECT_LT(nvCString("ab").Compare(nvCString("abc")), 0);
  EXPECT_LT(nvCString().Compare(nvCString("a")), 0);
  // Bytes compare unsigned: a high byte sorts after ASCII.
  EXPECT_GT(nvCString("\xC4").Compare(nvCString("z")), 0);
  // Case matters.
  EXPECT_LT(nvCString("ABC").Compare(nvCString("abc")), 0);
}

TEST(nvCStringTest, EmptyFreesAndClears) {
  nvCString s("abcdefgh");
  s.Empty();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(s.GetBuffer()[0], '\0');
  s.Append("abcd");  // usable again
  EXPECT_EQ(Text(s), "abcd");
}

}  // namespace
