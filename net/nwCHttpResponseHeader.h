#pragma once
// The header block of one HTTP response, kept as received and as a list of lines.
//
// A line is split at its first space, so the status line HTTP/1.1 200 OK gives the key "HTTP/1.1"
// and the value "200 OK", and Content-Length: 123 the key "Content-Length:" (colon included) and
// the value "123". Lookups match the start of a key without case, which lets callers ask for
// "Location:" or "content-length" alike.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class nwCHttpResponseHeader {
 public:
  struct Line {
    std::string key;
    std::string value;  // percent-decoded
  };

  // The length of the header block at the start of `data`: the offset just past its first
  // CR LF CR LF, or 0 while the block is not complete.
  static std::size_t FindEnd(std::string_view data);

  // Forgets the previous response and parses `block`, which is kept (through its first CR LF CR LF,
  // when it has one) as the raw text. Lines end at LF; CR bytes are dropped; a line without a space
  // is dropped.
  void Parse(std::string_view block);
  void Clear();

  // Whether a header block was parsed.
  bool IsReceived() const { return received_; }
  const std::string& RawText() const { return raw_; }
  const std::vector<Line>& Lines() const { return lines_; }

  // The value of the first line whose key, without case, starts with `name`; null for an empty name
  // or no match.
  const std::string* GetHeader(std::string_view name) const;
  // The leading decimal digits of the "Content-Length" value. 0 when absent, when the value does not
  // start with a digit, or when the number does not fit an int64: such a length cannot be trusted,
  // so the body is read until the connection closes, as when the header is missing.
  int64_t GetContentLength() const;
  // The leading decimal digits of the first line's value; 0 without lines, without digits or when
  // the number does not fit an int32.
  int32_t GetStatusCode() const;

 private:
  std::string raw_;
  std::vector<Line> lines_;
  bool received_ = false;
};
