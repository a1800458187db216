// The project's one strict UTF-8 codec, and UTF-16 decoding for loading text files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ZEZUUtils::text {

// The code point of the well-formed UTF-8 sequence at bytes[at], moving at past it. Nothing,
// with at unchanged, for an ill-formed or cut sequence (overlong forms, surrogates and values
// above U+10FFFF included) or at the end.
std::optional<char32_t> nextUtf8CodePoint(std::string_view bytes, size_t& at);

// A code point (at most U+10FFFF) appended as UTF-8.
void appendUtf8(std::string& out, char32_t code);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// UTF-16 bytes to UTF-8: byte order from a leading mark (dropped), else big-endian. False
// for an odd length or an unpaired surrogate; out changes only on success.
bool utf16ToUtf8(const std::string& bytes, std::string& out);

}  // namespace ZEZUUtils::text
