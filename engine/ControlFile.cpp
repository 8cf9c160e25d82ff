#include "engine/ControlFile.h"

#include <algorithm>
#include <limits>

namespace engine {

namespace {

constexpr std::string_view kFirstLine = "orba-part 1";

// A text as EncodeControl writes it: without line breaks.
std::string OneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (char c : text)
    if (c != '\n' && c != '\r') line.push_back(c);
  return line;
}

// Reads a text line by line; a last line without its '\n' is not a line (the file was cut).
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  std::optional<std::string_view> Next() {
    const size_t newline = text_.find('\n');
    if (newline == std::string_view::npos) return std::nullopt;
    const std::string_view line = text_.substr(0, newline);
    text_.remove_prefix(newline + 1);
    return line;
  }
  // The next line without taking it.
  std::optional<std::string_view> Peek() const { return LineReader(text_).Next(); }
  bool AtEnd() const { return text_.empty(); }

 private:
  std::string_view text_;
};

// The text after `key` and one space, when `line` starts so.
std::optional<std::string_view> Field(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ')
    return std::nullopt;
  return line.substr(key.size() + 1);
}

// A text field: EncodeControl never writes a '\r' into one.
std::optional<std::string_view> TextField(std::string_view line, std::string_view key) {
  const auto text = Field(line, key);
  if (!text || text->find('\r') != std::string_view::npos) return std::nullopt;
  return text;
}

// A non-negative decimal as EncodeControl writes it: digits only, no leading zero, no overflow.
std::optional<int64_t> ParseCount(std::string_view digits) {
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool SameUrls(const std::vector<std::string>& stored, const std::vector<std::string>& urls) {
  return std::equal(stored.begin(), stored.end(), urls.begin(), urls.end(),
                    [](const std::string& a, const std::string& b) { return a == OneLine(b); });
}

bool SameValidator(std::string_view stored, std::string_view expected) {
  return stored.empty() || expected.empty() || stored == OneLine(expected);
}

}  // namespace

std::string EncodeControl(const ControlRecord& record) {
  std::string text(kFirstLine);
  text += "\nsize " + std::to_string(record.size);
  text += "\netag " + OneLine(record.etag);
  text += "\nlast-modified " + OneLine(record.lastModified);
  for (const std::string& url : record.urls) text += "\nurl " + OneLine(url);
  for (const RangeSet::Interval& interval : record.done.Intervals()) {
    const int64_t begin = std::max<int64_t>(interval.begin, 0);
    const int64_t end = std::min(interval.end, record.size);
    if (begin < end) text += "\ndone " + std::to_string(begin) + " " + std::to_string(end);
  }
  text += "\nend\n";
  return text;
}

std::optional<ControlRecord> DecodeControl(std::string_view text) {
  LineReader lines(text);
  if (lines.Next() != kFirstLine) return std::nullopt;

  ControlRecord record;
  const auto sizeLine = lines.Next();
  const auto size = sizeLine ? Field(*sizeLine, "size") : std::nullopt;
  const auto sizeValue = size ? ParseCount(*size) : std::nullopt;
  if (!sizeValue) return std::nullopt;
  record.size = *sizeValue;

  const auto etagLine = lines.Next();
  const auto etag = etagLine ? TextField(*etagLine, "etag") : std::nullopt;
  if (!etag) return std::nullopt;
  record.etag = *etag;

  const auto modifiedLine = lines.Next();
  const auto modified = modifiedLine ? TextField(*modifiedLine, "last-modified") : std::nullopt;
  if (!modified) return std::nullopt;
  record.lastModified = *modified;

  while (const auto line = lines.Peek()) {
    if (!Field(*line, "url")) break;
    const auto url = TextField(*line, "url");
    if (!url) return std::nullopt;
    if (record.urls.size() == kMaxControlUrls) return std::nullopt;
    record.urls.emplace_back(*url);
    lines.Next();
  }

  size_t ranges = 0;
  int64_t previousEnd = -1;
  while (const auto line = lines.Peek()) {
    const auto range = Field(*line, "done");
    if (!range) break;
    const size_t space = range->find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const auto begin = ParseCount(range->substr(0, space));
    const auto end = ParseCount(range->substr(space + 1));
    // Merged intervals never touch, so each starts strictly after the previous one ends.
    if (!begin || !end || *begin >= *end || *end > record.size || *begin <= previousEnd) return std::nullopt;
    if (++ranges > kMaxControlRanges) return std::nullopt;
    record.done.Add(*begin, *end);
    previousEnd = *end;
    lines.Next();
  }

  if (lines.Next() != "end" || !lines.AtEnd()) return std::nullopt;
  return record;
}

bool ControlMatches(const ControlRecord& stored, int64_t size, const std::vector<std::string>& urls) {
  return ControlMatches(stored, size, urls, {}, {});
}

bool ControlMatches(const ControlRecord& stored, int64_t size, const std::vector<std::string>& urls,
                    std::string_view etag, std::string_view lastModified) {
  return (size < 0 || stored.size == size) && SameUrls(stored.urls, urls) &&
         SameValidator(stored.etag, etag) && SameValidator(stored.lastModified, lastModified);
}

}  // namespace engine
