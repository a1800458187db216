// Shared string conversions: native and UTF-8 text, numbers, GUID texts, replace, gunzip.
#pragma once

#include <cstdint>
#include <string>

// Native strings and UTF-8 strings are the same bytes on this platform. The trailing
// untyped pointers are reserved and ignored.
class StringUtils {
public:
    static bool NativeToUTF8(const std::string& text, std::string& utf8, void* reserved = nullptr);
    // NULL gives an empty string.
    static bool UTF8ToNative(const char* utf8, std::string& text, void* reserved = nullptr);

    // The leading decimal integer as atoi reads it (white space and a sign allowed, 0 when
    // there is none), clamped to the int range instead of overflowing.
    static int UTF8ToInt(const std::string& text, void* reserved = nullptr);
    static bool IntToNativeString(int value, std::string& text, void* reserved = nullptr);
    static bool LongToNativeString(int64_t value, std::string& text);

    // A new random GUID: 36 characters, upper-case hexadecimal in groups 8-4-4-4-12.
    static bool GUIDString(std::string& guid);

    // Replaces every occurrence left to right; the inserted text is not searched again.
    // An empty search text changes nothing.
    static void Replace(std::string& text, const std::string& search, const std::string& replacement);

    // Inflates gzip data (one or more members). True only when every member ended properly
    // and no other bytes follow; otherwise false and an empty output, so a truncated or
    // damaged body is never taken for a whole one. An empty input gives true and "".
    static bool GunzipString(const std::string& compressed, std::string& output);
};
