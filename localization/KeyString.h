// The key-string split ("$$$" prefix, key, '=' and default text) and the key hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quirra_private {

inline constexpr uint32_t kHashModulus = 1021;

struct KeyStringParts {
    size_t keyBegin = 0;
    size_t keyLength = 0;
    size_t valueBegin = 0;
    size_t valueLength = 0;
};

// Works on bytes (lookups) and on UTF-16 units (text-table lines) alike.
template <typename Unit>
std::optional<KeyStringParts> splitKeyString(const Unit* text, size_t count) {
    KeyStringParts parts;
    if (count > 0 && text[0] == Unit('$')) {
        if (count < 3 || text[1] != Unit('$') || text[2] != Unit('$')) return std::nullopt;
        parts.keyBegin = 3;
    }
    size_t equals = parts.keyBegin;
    while (equals < count && text[equals] != Unit('=')) ++equals;
    parts.keyLength = equals - parts.keyBegin;
    parts.valueBegin = equals < count ? equals + 1 : count;
    parts.valueLength = count - parts.valueBegin;
    return parts;
}

// Every byte of a key shorter than 5 bytes counts, else every (length / 5)-th byte.
inline uint32_t keyHash(const uint8_t* bytes, size_t length, uint32_t modulus = kHashModulus) {
    const size_t step = length < 5 ? 1 : length / 5;
    uint32_t hash = 0;
    for (size_t i = 0; i < length; i += step) hash = (hash * 32 + bytes[i]) % modulus;
    return hash;
}

}  // namespace quirra_private
