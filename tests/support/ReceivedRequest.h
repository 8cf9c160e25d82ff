#pragma once
// One HTTP request as a test server received it, with its headers in arrival order and the exact
// bytes of its head, so tests can check what the client sent (Range, Referer, header order, ...).

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ReceivedRequest {
  std::string method;   // "GET", "HEAD", ...
  std::string target;   // as sent on the request line: path and query, not decoded
  std::string version;  // "HTTP/1.1"
  // Every header line in arrival order: the name as sent, the value without surrounding blanks.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string rawHead;  // request line through the blank line, byte for byte
  std::string body;     // the request body (filled by HttpFileServer for requests that carry one)
  int connection = -1;  // 0-based index of the connection that carried the request

  // The target up to '?'.
  std::string Path() const;
  // The value of the first header of that name (compared without case); "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  std::vector<std::string> HeaderNames() const;
};

// Parses a request head ("GET / HTTP/1.1\r\nName: value\r\n...\r\n\r\n"). Lines may end in LF
// alone; header lines without ':' are skipped. Anything after the blank line is ignored.
ReceivedRequest ParseRequestHead(const std::string& raw);

}  // namespace testsupport
