#pragma once
// What the local servers (orba-devserver and the test servers) make of a request's "Range" header,
// and the percent-decoding of request paths. One copy, so every server answers ranges alike.

#include <cstdint>
#include <string>
#include <string_view>

namespace httpcommon {

struct ByteRange {
  // Whole: answer 200 with the whole body (no range, several ranges, bad syntax, another unit).
  // Partial: answer 206 with bytes first..last. Unsatisfiable: answer 416 "bytes */size".
  enum class Kind { Whole, Partial, Unsatisfiable };
  Kind kind = Kind::Whole;
  uint64_t first = 0;
  uint64_t last = 0;
};

// One "bytes=a-b", "bytes=a-" or "bytes=-n" (unit in any case, blanks ignored) against a body of
// `size` bytes: an end past the body is cut to it; a start at or past the end, or "-0", is
// unsatisfiable. Numbers too large for 64 bits count as the largest one, never wrap around.
ByteRange ResolveRange(std::string_view header, uint64_t size);

// "%XX" escapes (either case) become their byte; anything else, a lone or malformed "%" included,
// stays as it is. "+" is not a blank in a path.
std::string PercentDecode(std::string_view text);

}  // namespace httpcommon
