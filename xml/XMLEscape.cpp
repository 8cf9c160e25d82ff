#include "xml/XMLEscape.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr char32_t kLargestCodePoint = 0x10FFFF;

// Writes pieces into out[0, capacity) and stops for good at the first piece that does not fit whole.
class BoundedWriter {
 public:
  BoundedWriter(char* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void Put(const char* piece, size_t length) {
    if (full_ || length > capacity_ - written_) {
      full_ = true;
      return;
    }
    for (size_t i = 0; i < length; ++i) out_[written_ + i] = piece[i];
    written_ += length;
  }
  bool Full() const { return full_; }
  size_t Written() const { return written_; }

 private:
  char* out_;
  size_t capacity_;
  size_t written_ = 0;
  bool full_ = false;
};

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t EncodeUtf8(char32_t code, char* bytes) {
  if (code < 0x80) {
    bytes[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code >> 6));
    bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (code >> 18));
  bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

// Reads a numeric reference at text[at] == '&', text[at + 1] == '#'. Returns the length consumed,
// 0 when no digits follow (then it is no reference). Every digit is consumed however many there
// are, but the value stops growing past U+10FFFF, so no count of digits can overflow it; a ';'
// after the digits is consumed too. The reference becomes its code point in UTF-8; one that names
// no character (0, a surrogate half, beyond U+10FFFF) becomes nothing, which also keeps NUL out
// of decoded text and keeps every decoding no longer than its source.
size_t ReadNumericReference(std::string_view text, size_t at, char* bytes, size_t* byteCount) {
  size_t i = at + 2;
  const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
  if (hex) ++i;
  const size_t firstDigit = i;
  char32_t value = 0;
  bool tooLarge = false;
  for (int digit; i < text.size() && (digit = DigitValue(text[i], hex)) >= 0; ++i) {
    if (tooLarge) continue;
    value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
    tooLarge = value > kLargestCodePoint;
  }
  if (i == firstDigit) return 0;
  if (i < text.size() && text[i] == ';') ++i;
  const bool named = !tooLarge && value != 0 && (value < 0xD800 || value > 0xDFFF);
  *byteCount = named ? EncodeUtf8(value, bytes) : 0;
  return i - at;
}

struct NamedEntity {
  std::string_view entity;
  char character;
};
constexpr NamedEntity kNamedEntities[] = {
    {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'},
};

size_t Unescape(std::string_view text, char* out, size_t capacity) {
  BoundedWriter writer(out, capacity);
  size_t i = 0;
  while (i < text.size() && !writer.Full()) {
    if (text[i] != '&') {
      writer.Put(&text[i], 1);
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    size_t consumed = 0;
    for (const NamedEntity& named : kNamedEntities) {
      if (rest.starts_with(named.entity)) {
        writer.Put(&named.character, 1);
        consumed = named.entity.size();
        break;
      }
    }
    if (consumed == 0 && rest.starts_with("&#")) {
      char bytes[4];
      size_t byteCount = 0;
      consumed = ReadNumericReference(text, i, bytes, &byteCount);
      if (consumed > 0) writer.Put(bytes, byteCount);
    }
    if (consumed == 0) {
      // Not a reference we know: the "&" stays as written and decoding goes on after it.
      writer.Put(&text[i], 1);
      consumed = 1;
    }
    i += consumed;
  }
  return writer.Written();
}

std::string_view EscapeOf(std::string_view text, size_t i) {
  switch (text[i]) {
    case '&':
      return i + 1 < text.size() && text[i + 1] == '#' ? std::string_view() : "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    default:
      return {};
  }
}

}  // namespace

size_t XMLEscape(std::string_view text, char* out) {
  size_t length = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const std::string_view entity = EscapeOf(text, i);
    if (entity.empty()) {
      if (out) out[length] = text[i];
      ++length;
    } else {
      if (out) entity.copy(out + length, entity.size());
      length += entity.size();
    }
  }
  if (out) out[length] = '\0';
  return length;
}

size_t XMLUnescape(std::string_view text, char* out) {
  if (!out) return text.size();
  const size_t length = Unescape(text, out, text.size());
  out[length] = '\0';
  return length;
}

size_t XMLUnescapeInto(std::string_view text, char* out, size_t outSize) {
  if (!out || outSize == 0) return 0;
  const size_t length = Unescape(text, out, outSize - 1);
  out[length] = '\0';
  return length;
}

std::string XMLEscaped(std::string_view text) {
  std::string escaped(XMLEscape(text, nullptr), '\0');
  XMLEscape(text, escaped.data());  // writes its NUL onto the string's own terminator
  return escaped;
}

std::string XMLUnescaped(std::string_view text) {
  std::string decoded(text.size(), '\0');
  decoded.resize(XMLUnescape(text, decoded.data()));
  return decoded;
}
