#include "net/utCUriCodec.h"

#include <cstring>
#include <limits>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A '%' at `at` with two hexadecimal digits after it (a '%' within the last two bytes is none).
bool IsEscapeAt(std::string_view text, std::size_t at) {
  return text[at] == '%' && at + 2 < text.size() && HexValue(text[at + 1]) >= 0 &&
         HexValue(text[at + 2]) >= 0;
}

void AppendEncoded(std::string* out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (utCUriCodec::IsUnreserved(byte)) {
    out->push_back(c);
  } else {
    out->push_back('%');
    out->push_back(kHexDigits[byte >> 4]);
    out->push_back(kHexDigits[byte & 0x0F]);
  }
}

// The shared tail of Encode and Decode: the length always, the bytes when there is room given.
cpStatus Deliver(const std::string& result, char* dst, uint32_t* outLength) {
  // A result that its own length field cannot describe is refused rather than cut.
  if (result.size() >= std::numeric_limits<uint32_t>::max()) return UT_E_FAIL;
  *outLength = static_cast<uint32_t>(result.size());
  if (dst != nullptr) {
    std::memcpy(dst, result.data(), result.size());
    dst[result.size()] = '\0';
  }
  return UT_S_OK;
}

}  // namespace

bool utCUriCodec::IsUnreserved(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
         byte == '*' || byte == '+' || byte == '-' || byte == '.' || byte == '@' || byte == '_';
}

cpStatus utCUriCodec::Decode(const char* src, char* dst, uint32_t* outLength) {
  if (src == nullptr || src[0] == '\0' || outLength == nullptr) return UT_E_FAIL;
  return Deliver(DecodeString(std::string_view(src)), dst, outLength);
}

cpStatus utCUriCodec::Encode(const char* src, char* dst, uint32_t* outLength) {
  if (src == nullptr || src[0] == '\0' || outLength == nullptr) return UT_E_FAIL;
  return Deliver(EncodeString(std::string_view(src)), dst, outLength);
}

std::string utCUriCodec::EncodeString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) AppendEncoded(&result, c);
  return result;
}

std::string utCUriCodec::EncodeUrlString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsEscapeAt(text, i)) {
      result.append(text.substr(i, 3));
      i += 2;
    } else {
      AppendEncoded(&result, text[i]);
    }
  }
  return result;
}

std::string utCUriCodec::DecodeString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsEscapeAt(text, i)) {
      result += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      result += text[i];
    }
  }
  return result;
}
