#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/ControlFile.h"

namespace {

// Names each case of a table after its `name`.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

using engine::ControlRecord;
using engine::DecodeControl;
using engine::EncodeControl;

ControlRecord Sample() {
  ControlRecord record;
  record.size = 5000;
  record.etag = "\"abc 1\"";
  record.lastModified = "Tue, 01 Jul 2025 10:00:00 GMT";
  record.urls = {"https://a.example/f.bin", "https://b.example/f.bin"};
  record.done.Add(0, 100);
  record.done.Add(4000, 5000);
  return record;
}

const std::string kSampleText =
    "orba-part 1\nsize 5000\netag \"abc 1\"\nlast-modified Tue, 01 Jul 2025 10:00:00 GMT\n"
    "url https://a.example/f.bin\nurl https://b.example/f.bin\ndone 0 100\ndone 4000 5000\nend\n";

void ExpectSameRecord(const ControlRecord& a, const ControlRecord& b) {
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.etag, b.etag);
  EXPECT_EQ(a.lastModified, b.lastModified);
  EXPECT_EQ(a.urls, b.urls);
  EXPECT_EQ(a.done, b.done);
}

TEST(ControlFileTest, EncodesTheDocumentedLinesAndReadsThemBack) {
  EXPECT_EQ(EncodeControl(Sample()), kSampleText);
  const auto decoded = DecodeControl(kSampleText);
  ASSERT_TRUE(decoded.has_value());
  ExpectSameRecord(*decoded, Sample());
}

TEST(ControlFileTest, EmptyTextsAndNoRangesRoundTrip) {
  ControlRecord record;
  record.size = 0;
  const auto decoded = DecodeControl(EncodeControl(record));
  ASSERT_TRUE(decoded.has_value());
  ExpectSameRecord(*decoded, record);
}

TEST(ControlFileTest, LineBreaksInTextsAndRangesOutsideTheSizeAreDropped) {
  ControlRecord record = Sample();
  record.etag = "x\r\ny";
  record.urls = {"https://a.example/\nf"};
  record.done.Add(4500, 9000);
  record.done.Add(-50, -10);
  const auto decoded = DecodeControl(EncodeControl(record));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->etag, "xy");
  EXPECT_EQ(decoded->urls, std::vector<std::string>{"https://a.example/f"});
  EXPECT_EQ(decoded->done, Sample().done);
  EXPECT_TRUE(engine::ControlMatches(*decoded, 5000, record.urls, record.etag, ""));
}

TEST(ControlFileTest, CountsUpToTheMaximumsOnly) {
  ControlRecord record;
  record.urls.assign(engine::kMaxControlUrls, "u");
  for (int64_t i = 0; i < static_cast<int64_t>(engine::kMaxControlRanges); ++i)
    record.done.Add(2 * i, 2 * i + 1);
  record.size = 2 * static_cast<int64_t>(engine::kMaxControlRanges) + 2;
  EXPECT_TRUE(DecodeControl(EncodeControl(record)));
  ControlRecord moreUrls = record;
  moreUrls.urls.push_back("u");
  EXPECT_FALSE(DecodeControl(EncodeControl(moreUrls)));
  record.done.Add(record.size - 1, record.size);
  EXPECT_FALSE(DecodeControl(EncodeControl(record)));
}

TEST(ControlFileTest, EveryTruncationIsRefused) {
  for (size_t length = 0; length < kSampleText.size(); ++length)
    EXPECT_FALSE(DecodeControl(std::string_view(kSampleText).substr(0, length))) << length;
}

struct DamageCase {
  const char* name;
  std::string from;
  std::string to;
};

class ControlDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ControlDamageTest, IsRefused) {
  std::string text = kSampleText;
  const size_t at = text.find(GetParam().from);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, GetParam().from.size(), GetParam().to);
  EXPECT_FALSE(DecodeControl(text)) << text;
}

const DamageCase kDamageCases[] = {
    {"OtherFormat", "orba-part", "orba-file"},
    {"OtherVersion", "orba-part 1", "orba-part 2"},
    {"NegativeSize", "size 5000", "size -1"},
    {"SignedSize", "size 5000", "size +5000"},
    {"LeadingZero", "size 5000", "size 05000"},
    {"HugeSize", "size 5000", "size 99999999999999999999"},
    {"NoSize", "size 5000\n", ""},
    {"NoEtag", "etag \"abc 1\"\n", ""},
    {"NoLastModified", "last-modified", "modified"},
    {"EtagWithoutSpace", "etag \"abc 1\"", "etag"},
    {"RangePastSize", "done 4000 5000", "done 4000 5001"},
    {"RangeInverted", "done 4000 5000", "done 4000 3000"},
    {"RangeEmpty", "done 4000 5000", "done 4000 4000"},
    {"RangeTouchesPrevious", "done 4000 5000", "done 100 5000"},
    {"RangesOutOfOrder", "done 0 100\ndone 4000 5000", "done 4000 5000\ndone 0 100"},
    {"RangeOneNumber", "done 0 100", "done 0"},
    {"RangeExtraSpace", "done 0 100", "done 0  100"},
    {"UrlAfterRange", "url https://b.example/f.bin\ndone 0 100", "done 0 100\nurl https://b.example/f.bin"},
    {"UnknownLine", "end\n", "extra 1\nend\n"},
    {"AfterEnd", "end\n", "end\nend\n"},
    {"CarriageReturns", "size 5000\n", "size 5000\r\n"},
    {"CarriageReturnInText", "etag \"abc 1\"", "etag \"abc\r1\""},
    {"EndWithoutNewline", "end\n", "end"},
};

INSTANTIATE_TEST_SUITE_P(Table, ControlDamageTest, ::testing::ValuesIn(kDamageCases), CaseName());

// Whatever arbitrary bytes decode to must be exactly what EncodeControl writes for it.
TEST(ControlFileTest, ArbitraryBytesDecodeOnlyAsTheirOwnEncoding) {
  std::mt19937 random(11);
  const std::string alphabet = "orba-pt 1\n0123456789 sizeendlu\r";
  for (int round = 0; round < 20000; ++round) {
    std::string text = round % 2 == 0 ? kSampleText : std::string();
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = text.empty() ? 0 : random() % (text.size() + 1);
      const char c = round % 4 < 2 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
      if (random() % 2 == 0 && at < text.size())
        text[at] = c;
      else
        text.insert(at, 1, c);
    }
    if (const auto decoded = DecodeControl(text)) {
      EXPECT_EQ(EncodeControl(*decoded), text);
    }
  }
}

struct MatchCase {
  const char* name;
  int64_t size;
  std::vector<std::string> urls;
  std::string etag;
  std::string lastModified;
  bool matches;
};

class ControlMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ControlMatchTest, Decides) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(engine::ControlMatches(Sample(), c.size, c.urls, c.etag, c.lastModified), c.matches);
  if (c.etag.empty() && c.lastModified.empty()) {
    EXPECT_EQ(engine::ControlMatches(Sample(), c.size, c.urls), c.matches);
  }
}

const std::vector<std::string> kUrls = Sample().urls;

const MatchCase kMatchCases[] = {
    {"Same", 5000, kUrls, "\"abc 1\"", "Tue, 01 Jul 2025 10:00:00 GMT", true},
    {"NoExpectedValidators", 5000, kUrls, "", "", true},
    {"SizeUnknown", -1, kUrls, "", "", true},
    {"OtherSize", 5001, kUrls, "", "", false},
    {"UrlsReordered", 5000, {kUrls[1], kUrls[0]}, "", "", false},
    {"UrlMissing", 5000, {kUrls[0]}, "", "", false},
    {"UrlAdded", 5000, {kUrls[0], kUrls[1], "https://c.example/f.bin"}, "", "", false},
    {"OtherEtag", 5000, kUrls, "\"abc 2\"", "", false},
    {"OtherLastModified", 5000, kUrls, "", "Wed, 02 Jul 2025 10:00:00 GMT", false},
};

INSTANTIATE_TEST_SUITE_P(Table, ControlMatchTest, ::testing::ValuesIn(kMatchCases), CaseName());

TEST(ControlFileTest, AStoredRecordWithoutValidatorsMatchesAnyValidator) {
  ControlRecord stored = Sample();
  stored.etag.clear();
  stored.lastModified.clear();
  EXPECT_TRUE(engine::ControlMatches(stored, 5000, kUrls, "\"abc 9\"", "Thu, 03 Jul 2025 10:00:00 GMT"));
}

}  // namespace
