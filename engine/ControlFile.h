#pragma once
// The control file kept beside a partial download (<name>.part): what a restarted engine needs to
// resume exactly where it stopped, and to tell whether the partial file is still the same download.
//
// A line-based text, every line ending in '\n':
//   orba-part 1
//   size <decimal>
//   etag <text>
//   last-modified <text>
//   url <text>               one per URL alternative, in order
//   done <begin> <end>       one per written interval, ascending, never touching
//   end
// Texts run to the end of their line, so EncodeControl drops every '\r' and '\n' from them: a URL
// or validator holding one is not a valid one anyway, and the file stays readable. Done intervals
// are written cut to [0, size).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/RangeSet.h"

namespace engine {

// Beyond these a control file is damaged, not a download.
constexpr size_t kMaxControlUrls = 4096;
constexpr size_t kMaxControlRanges = 1 << 16;

struct ControlRecord {
  int64_t size = -1;  // the file's total size
  std::string etag;   // validators from the server, may be empty
  std::string lastModified;
  std::vector<std::string> urls;  // the file's URL alternatives, in order
  RangeSet done;                  // byte ranges written and complete
};

// A record of unknown size (< 0) cannot be resumed, and its text is refused by DecodeControl.
std::string EncodeControl(const ControlRecord& record);

// Refuses (nullopt) anything EncodeControl did not write in full: an unknown first line or
// version, a missing, extra, misplaced or malformed line, a size < 0, a done interval empty,
// inverted, outside [0, size), or not after the previous one, more than the maximal counts, or a
// text not ending in "end\n".
std::optional<ControlRecord> DecodeControl(std::string_view text);

// Whether the stored record belongs to the same download: the same size (when `size` >= 0) and the
// same URL list.
bool ControlMatches(const ControlRecord& stored, int64_t size, const std::vector<std::string>& urls);
// The same, and the same validators where both sides have one (an empty expected validator
// matches anything).
bool ControlMatches(const ControlRecord& stored, int64_t size, const std::vector<std::string>& urls,
                    std::string_view etag, std::string_view lastModified);

}  // namespace engine
