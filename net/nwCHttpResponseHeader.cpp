#include "net/nwCHttpResponseHeader.h"

#include <limits>

#include "net/utCUriCodec.h"

namespace {

constexpr std::string_view kBlockEnd = "\r\n\r\n";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

// The number made of the leading decimal digits of `text`; 0 without digits or when it exceeds
// `limit`, so a hostile value can never wrap into a small or negative one.
int64_t LeadingNumber(std::string_view text, int64_t limit) {
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    if (value > (limit - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::size_t nwCHttpResponseHeader::FindEnd(std::string_view data) {
  const std::size_t at = data.find(kBlockEnd);
  return at == std::string_view::npos ? 0 : at + kBlockEnd.size();
}

void nwCHttpResponseHeader::Clear() {
  raw_.clear();
  lines_.clear();
  received_ = false;
}

void nwCHttpResponseHeader::Parse(std::string_view block) {
  Clear();
  if (const std::size_t end = FindEnd(block); end != 0) block = block.substr(0, end);
  raw_.assign(block);
  received_ = true;

  std::string line;
  auto takeLine = [this, &line] {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) {
      lines_.push_back(Line{line.substr(0, space), utCUriCodec::DecodeString(line.substr(space + 1))});
    }
    line.clear();
  };
  for (char c : block) {
    if (c == '\n') {
      takeLine();
    } else if (c != '\r') {
      line += c;
    }
  }
  takeLine();
}

const std::string* nwCHttpResponseHeader::GetHeader(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (const Line& line : lines_) {
    if (StartsWithNoCase(line.key, name)) return &line.value;
  }
  return nullptr;
}

int64_t nwCHttpResponseHeader::GetContentLength() const {
  const std::string* value = GetHeader("Content-Length");
  return value != nullptr ? LeadingNumber(*value, std::numeric_limits<int64_t>::max()) : 0;
}

int32_t nwCHttpResponseHeader::GetStatusCode() const {
  if (lines_.empty()) return 0;
  return static_cast<int32_t>(LeadingNumber(lines_.front().value, std::numeric_limits<int32_t>::max()));
}
