// The strict UTF-8 codec and UTF-16 to UTF-8 decoding.
#include "foundation/utils/TextEncoding.h"

#include <cstdint>

namespace ZEZUUtils::text {

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::optional<char32_t> nextUtf8CodePoint(std::string_view bytes, size_t& at) {
    if (at >= bytes.size()) return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    const size_t left = bytes.size() - at;
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    size_t length;
    char32_t code;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (left < length) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return std::nullopt;
        code = (code << 6) | (p[k] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    at += length;
    return code;
}

bool isValidUtf8(std::string_view bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        if (!nextUtf8CodePoint(bytes, at)) return false;
    }
    return true;
}

bool utf16ToUtf8(const std::string& bytes, std::string& out) {
    if (bytes.size() % 2 != 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    bool bigEndian = true;
    if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        bigEndian = false;
        i = 2;
    } else if (bytes.size() >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
        i = 2;
    }
    auto unit = [&](size_t at) -> uint32_t {
        return bigEndian ? (uint32_t{p[at]} << 8 | p[at + 1]) : (uint32_t{p[at + 1]} << 8 | p[at]);
    };
    std::string result;
    result.reserve(bytes.size());
    while (i < bytes.size()) {
        char32_t code = unit(i);
        i += 2;
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i >= bytes.size()) return false;
            char32_t low = unit(i);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            i += 2;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        appendUtf8(result, code);
    }
    out = std::move(result);
    return true;
}

}  // namespace ZEZUUtils::text
