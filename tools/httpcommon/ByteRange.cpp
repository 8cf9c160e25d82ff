#include "tools/httpcommon/ByteRange.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace httpcommon {

namespace {

constexpr uint64_t kLargest = std::numeric_limits<uint64_t>::max();

// Digits only; saturates at the largest value, so a huge end still means "to the end".
std::optional<uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    value = value > (kLargest - digit) / 10 ? kLargest : value * 10 + digit;
  }
  return value;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

ByteRange ResolveRange(std::string_view header, uint64_t size) {
  std::string compact;
  for (char c : header) {
    if (c != ' ' && c != '\t') compact += Lower(c);
  }
  std::string_view set(compact);
  constexpr std::string_view kUnit = "bytes=";
  if (set.substr(0, kUnit.size()) != kUnit) return {};
  set.remove_prefix(kUnit.size());
  size_t dash = set.find('-');
  if (dash == std::string_view::npos || set.find(',') != std::string_view::npos) return {};
  std::string_view from = set.substr(0, dash);
  std::string_view to = set.substr(dash + 1);
  if (from.empty()) {  // the last n bytes
    std::optional<uint64_t> count = ParseDecimal(to);
    if (!count) return {};
    if (*count == 0 || size == 0) return {ByteRange::Kind::Unsatisfiable};
    return {ByteRange::Kind::Partial, size - std::min(*count, size), size - 1};
  }
  std::optional<uint64_t> first = ParseDecimal(from);
  std::optional<uint64_t> last = to.empty() ? std::optional<uint64_t>(kLargest) : ParseDecimal(to);
  if (!first || !last || *last < *first) return {};
  if (*first >= size) return {ByteRange::Kind::Unsatisfiable};
  return {ByteRange::Kind::Partial, *first, std::min(*last, size - 1)};
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int high = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace httpcommon
