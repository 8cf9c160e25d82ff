// The entity coding: what each entity and numeric reference decodes to, what an unknown "&" does,
// the lengths reported without a buffer, and cutting into a small buffer.
#include <gtest/gtest.h>

#include <string>

#include "xml/XMLEscape.h"

namespace {

struct CodingCase {
  const char* name;
  std::string text;
  std::string result;
};

void PrintTo(const CodingCase& codingCase, std::ostream* out) { *out << codingCase.name; }

class XMLUnescapeTest : public ::testing::TestWithParam<CodingCase> {};

TEST_P(XMLUnescapeTest, Decodes) {
  const CodingCase& codingCase = GetParam();
  std::string out(codingCase.text.size() + 1, '\x7f');
  const size_t length = XMLUnescape(codingCase.text, out.data());
  EXPECT_EQ(codingCase.result, out.substr(0, length));
  EXPECT_EQ('\0', out[length]);
  EXPECT_EQ(codingCase.text.size(), XMLUnescape(codingCase.text, nullptr));
  EXPECT_EQ(codingCase.result, XMLUnescaped(codingCase.text));
}

INSTANTIATE_TEST_SUITE_P(
    Entities, XMLUnescapeTest,
    ::testing::Values(CodingCase{"Plain", "abc", "abc"}, CodingCase{"Empty", "", ""},
                      CodingCase{"Named", "&amp;&quot;&apos;&lt;&gt;", "&\"'<>"},
                      CodingCase{"AmpInValue", "x&amp;y", "x&y"},
                      CodingCase{"EscapedEntityOnce", "&amp;lt;", "&lt;"},
                      CodingCase{"Decimal", "&#65;&#233;", "A\xC3\xA9"},
                      CodingCase{"HexBothCases", "&#x41;&#X42;&#x20AC;", "AB\xE2\x82\xAC"},
                      CodingCase{"FourByteUtf8", "&#x1F600;", "\xF0\x9F\x98\x80"},
                      CodingCase{"LeadingZerosOfAnyLength", "&#0000000000000000000065;", "A"},
                      CodingCase{"Unterminated", "&#65", "A"},
                      CodingCase{"OnlyTheSemicolonIsEaten", "&#65x", "Ax"},
                      CodingCase{"ZeroGivesNothing", "a&#0;b", "ab"},
                      CodingCase{"HugeGivesNothing", "a&#99999999999999999999999999;b", "ab"},
                      CodingCase{"BeyondUnicodeGivesNothing", "a&#x110000;b", "ab"},
                      CodingCase{"SurrogateGivesNothing", "a&#xD800;b", "ab"},
                      CodingCase{"NoDigitsIsNoReference", "&#;&#x;&#xg", "&#;&#x;&#xg"},
                      CodingCase{"UnknownAmpersandStays", "&bogus; & &amp", "&bogus; & &amp"},
                      CodingCase{"AmpersandAtEnd", "a&", "a&"}));

class XMLEscapeTest : public ::testing::TestWithParam<CodingCase> {};

TEST_P(XMLEscapeTest, EncodesAndComesBack) {
  const CodingCase& codingCase = GetParam();
  const size_t length = XMLEscape(codingCase.text, nullptr);
  ASSERT_EQ(codingCase.result.size(), length);
  std::string out(length + 2, '\x7f');
  EXPECT_EQ(length, XMLEscape(codingCase.text, out.data()));
  EXPECT_EQ(codingCase.result + '\0' + '\x7f', out);
  if (codingCase.text.find("&#") == std::string::npos) {
    EXPECT_EQ(codingCase.text, XMLUnescaped(out.c_str()));
  }
}

INSTANTIATE_TEST_SUITE_P(Entities, XMLEscapeTest,
                         ::testing::Values(CodingCase{"Plain", "abc", "abc"}, CodingCase{"Empty", "", ""},
                                           CodingCase{"MarkupCharacters", "a&b<c>d\"e'f",
                                                      "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
                                           CodingCase{"EntityEscapedAgain", "&amp;", "&amp;amp;"},
                                           CodingCase{"NumericReferenceKept", "&#65;", "&#65;"},
                                           CodingCase{"AmpersandAtEnd", "x&", "x&amp;"}));

TEST(XMLUnescapeIntoTest, CutsToTheBufferWithoutSplittingACharacter) {
  struct Cut {
    size_t outSize;
    std::string result;
  };
  const std::string text = "ab&#233;c";
  const std::string eAcute = "\xC3\xA9";
  for (const Cut& cut : {Cut{1, ""}, Cut{3, "ab"}, Cut{4, "ab"}, Cut{5, "ab" + eAcute},
                         Cut{6, "ab" + eAcute + "c"}, Cut{64, "ab" + eAcute + "c"}}) {
    std::string out(cut.outSize + 1, '\x7f');
    EXPECT_EQ(cut.result.size(), XMLUnescapeInto(text, out.data(), cut.outSize)) << cut.outSize;
    EXPECT_EQ(cut.result, std::string(out.c_str())) << cut.outSize;
    EXPECT_EQ('\x7f', out[cut.outSize]) << cut.outSize;
  }
  char untouched = '\x7f';
  EXPECT_EQ(0u, XMLUnescapeInto(text, &untouched, 0));
  EXPECT_EQ('\x7f', untouched);
  EXPECT_EQ(0u, XMLUnescapeInto(text, nullptr, 8));
}

}  // namespace
