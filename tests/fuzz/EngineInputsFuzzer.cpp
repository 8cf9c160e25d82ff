// Fuzz target: what the engine reads from outside besides the library's frames. The first byte
// picks the reader: a control file left on disk by an earlier run (what decodes must encode to the
// same text), or a server's response head read line by line (a Content-Range it accepts must be
// in order). Each input is copied into a buffer of its exact size, so an over-read is caught.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ControlFile.h"
#include "engine/ResponseHead.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<char> bytes(data + 1, data + size);
  std::string_view text(bytes.data(), bytes.size());
  if (data[0] % 2 == 0) {
    std::optional<engine::ControlRecord> record = engine::DecodeControl(text);
    if (record && engine::EncodeControl(*record) != text) std::abort();
    return 0;
  }
  engine::ResponseHead head;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start + 1);
    head.TakeLine(line);
    start = end == std::string_view::npos ? text.size() : end + 1;
  }
  if (head.rangeFirst > head.rangeLast || (head.rangeTotal >= 0 && head.rangeLast >= head.rangeTotal))
    std::abort();
  return 0;
}
