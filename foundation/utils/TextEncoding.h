// UTF-8 validation and UTF-16 decoding for loading text files.
#pragma once

#include <string>

namespace ZEZUUtils::text {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const std::string& bytes);

// UTF-16 bytes to UTF-8: byte order from a leading mark (dropped), else big-endian. False
// for an odd length or an unpaired surrogate; out changes only on success.
bool utf16ToUtf8(const std::string& bytes, std::string& out);

}  // namespace ZEZUUtils::text
