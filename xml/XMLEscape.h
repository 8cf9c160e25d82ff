#pragma once
// The entity coding of the XML reader: names are kept escaped in the tree and attribute values as
// written, and both are decoded on the way out.
//
// Buffer forms: with `out` null a function only measures; otherwise `out` must hold the measured
// length + 1 (the text written is always NUL-terminated). The std::string forms do the same
// without a caller buffer.

#include <cstddef>
#include <string>
#include <string_view>

// "&" (unless "&#" follows), "<", ">", '"' and "'" become entities; "&#..." stays as it is, so a
// numeric reference written in the source survives. Returns the length of the escaped text.
size_t XMLEscape(std::string_view text, char* out);

// Decodes "&amp;", "&quot;", "&apos;", "&lt;", "&gt;" and numeric references ("&#65;", "&#x41;").
// Anything else after "&" is copied as it is. With `out` null returns text.size(), a bound that is
// never exceeded (decoding never lengthens the text); otherwise returns the length written.
size_t XMLUnescape(std::string_view text, char* out);

// Decodes like XMLUnescape into a buffer of `outSize` bytes: at most outSize - 1 bytes and a NUL.
// A character that does not fit whole is left out, so the result is always a prefix of the full
// decoding. Returns the length written (0 and nothing written when out is null or outSize is 0).
size_t XMLUnescapeInto(std::string_view text, char* out, size_t outSize);

std::string XMLEscaped(std::string_view text);
std::string XMLUnescaped(std::string_view text);
