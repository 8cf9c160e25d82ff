#pragma once
// Percent-encoding of URL pieces and header values. Everything outside a fixed set of 68 bytes is
// encoded, so '/', '~', ' ' and every byte of a multi-byte character go out as %XX. URL pieces
// keep the escapes they already carry, as curl sends them.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/Status.h"

constexpr cpStatus UT_S_OK = cpMakeStatus(0x40600000u);
constexpr cpStatus UT_E_FAIL = cpMakeStatus(0x80600000u);

class utCUriCodec {
 public:
  utCUriCodec() = default;
  utCUriCodec(const utCUriCodec&) = delete;
  utCUriCodec& operator=(const utCUriCodec&) = delete;

  // Both operations store the result's length in *outLength and, when `dst` is not null, copy the
  // result with a NUL after it: callers ask for the length first, then call again with a buffer
  // of *outLength + 1 bytes. UT_E_FAIL for a null or empty `src` or a null `outLength`.
  //
  // Replaces '%' and two hex digits (either case) by that byte; any other byte, '+' included,
  // and an incomplete escape are copied unchanged.
  virtual cpStatus Decode(const char* src, char* dst, uint32_t* outLength);
  // Keeps A-Z a-z 0-9 * + - . @ _ and writes every other byte as '%' and two uppercase hex digits.
  virtual cpStatus Encode(const char* src, char* dst, uint32_t* outLength);
  virtual ~utCUriCodec() = default;

  // The same rules for the library's own callers; these keep a decoded NUL byte.
  static std::string EncodeString(std::string_view text);
  // EncodeString for a piece of a URL (a path segment, a query name or value): a '%' with two hex
  // digits after it is an escape the URL already carries and stays as it is, so "%20" is sent
  // once and not as "%2520"; any other '%' becomes "%25".
  static std::string EncodeUrlString(std::string_view text);
  static std::string DecodeString(std::string_view text);

  static bool IsUnreserved(unsigned char byte);
};
