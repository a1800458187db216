// Reading the unsigned decimal numbers of the manifest, asset, action and validation files.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace manifest_text {

// Leading blanks, an optional "+", then decimal digits; what follows the digits is ignored.
// A "-", text without digits, or a value beyond T gives 0, which every caller treats as invalid:
// a sign would otherwise wrap "-5" into a huge unsigned number.
template <typename T>
T parseDecimal(const std::string& text) {
    static_assert(std::numeric_limits<T>::is_integer && !std::numeric_limits<T>::is_signed);
    size_t position = 0;
    while (position < text.size() && (text[position] == ' ' || text[position] == '\t' || text[position] == '\n' ||
                                      text[position] == '\r' || text[position] == '\v' || text[position] == '\f'))
        ++position;
    if (position < text.size() && text[position] == '+') ++position;
    T value = 0;
    bool digits = false;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        const T digit = static_cast<T>(text[position] - '0');
        if (value > (std::numeric_limits<T>::max() - digit) / 10) return 0;
        value = static_cast<T>(value * 10 + digit);
        digits = true;
    }
    return digits ? value : 0;
}

}  // namespace manifest_text
