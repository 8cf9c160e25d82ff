#include "tests/support/ReceivedRequest.h"

#include <strings.h>

namespace testsupport {

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string ReceivedRequest::Path() const { return target.substr(0, target.find('?')); }

std::string ReceivedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return {};
}

bool ReceivedRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

std::vector<std::string> ReceivedRequest::HeaderNames() const {
  std::vector<std::string> names;
  for (const auto& header : headers) names.push_back(header.first);
  return names;
}

ReceivedRequest ParseRequestHead(const std::string& raw) {
  ReceivedRequest request;
  size_t end = raw.find("\r\n\r\n");
  size_t endLength = 4;
  size_t bareEnd = raw.find("\n\n");
  if (bareEnd != std::string::npos && (end == std::string::npos || bareEnd < end)) {
    end = bareEnd;
    endLength = 2;
  }
  request.rawHead = end == std::string::npos ? raw : raw.substr(0, end + endLength);

  bool first = true;
  size_t position = 0;
  const std::string& head = request.rawHead;
  while (position < head.size()) {
    size_t newline = head.find('\n', position);
    if (newline == std::string::npos) newline = head.size();
    std::string line = head.substr(position, newline - position);
    position = newline + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (first) continue;  // tolerate blank lines before the request line
      break;
    }
    if (first) {
      first = false;
      size_t space = line.find(' ');
      request.method = line.substr(0, space);
      if (space == std::string::npos) continue;
      size_t second = line.find(' ', space + 1);
      request.target =
          line.substr(space + 1, second == std::string::npos ? std::string::npos : second - space - 1);
      if (second != std::string::npos) request.version = line.substr(second + 1);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  return request;
}

}  // namespace testsupport
