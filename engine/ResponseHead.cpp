#include "engine/ResponseHead.h"

#include <cctype>
#include <charconv>

namespace engine {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// A whole non-negative decimal number (at most 18 digits, so it fits with room to add).
bool ParseCount(std::string_view text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ParseContentRange(std::string_view value, int64_t* first, int64_t* last, int64_t* total) {
  value = Trim(value);
  if (value.size() < 6 || !SameName(value.substr(0, 6), "bytes ")) return false;
  value = Trim(value.substr(6));
  size_t slash = value.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view range = Trim(value.substr(0, slash));
  std::string_view size = Trim(value.substr(slash + 1));
  *first = *last = *total = -1;
  if (size != "*" && !ParseCount(size, total)) return false;
  if (range == "*") return *total >= 0;
  size_t dash = range.find('-');
  if (dash == std::string_view::npos || !ParseCount(range.substr(0, dash), first) ||
      !ParseCount(range.substr(dash + 1), last)) {
    return false;
  }
  if (*first > *last || (*total >= 0 && *last >= *total)) return false;
  return true;
}

void ResponseHead::TakeLine(std::string_view line) {
  std::string_view text = Trim(line);
  if (text.size() >= 5 && text.substr(0, 5) == "HTTP/") {
    *this = ResponseHead();
    size_t space = text.find(' ');
    int64_t code = 0;
    if (space != std::string_view::npos && ParseCount(text.substr(space + 1, 3), &code))
      status = static_cast<long>(code);
    return;
  }
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view name = Trim(text.substr(0, colon));
  std::string_view value = Trim(text.substr(colon + 1));
  if (SameName(name, "Content-Range")) {
    hasContentRange = true;
    if (!ParseContentRange(value, &rangeFirst, &rangeLast, &rangeTotal))
      rangeFirst = rangeLast = rangeTotal = -1;
  } else if (SameName(name, "Content-Length")) {
    if (!ParseCount(value, &contentLength)) contentLength = -1;
  } else if (SameName(name, "ETag")) {
    etag = std::string(value);
  } else if (SameName(name, "Last-Modified")) {
    lastModified = std::string(value);
  }
}

}  // namespace engine
