#pragma once
// What the engine reads from a response's head: the status and the headers that say which bytes
// the body holds and which version of the file they belong to.

#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

struct ResponseHead {
  long status = 0;
  bool hasContentRange = false;
  int64_t rangeFirst = -1;  // Content-Range "bytes first-last/total"; -1 where absent or "*"
  int64_t rangeLast = -1;
  int64_t rangeTotal = -1;
  int64_t contentLength = -1;
  std::string etag;
  std::string lastModified;

  // Takes one header line as it came (with or without its CR LF). A status line starts a new head
  // (a redirect or an interim answer came before), so everything read so far is forgotten.
  void TakeLine(std::string_view line);
};

// "bytes a-b/n", "bytes */n", "bytes a-b/*"; false for anything else or numbers out of order.
bool ParseContentRange(std::string_view value, int64_t* first, int64_t* last, int64_t* total);

}  // namespace engine
