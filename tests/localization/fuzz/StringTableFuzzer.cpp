// libFuzzer target: loads any bytes as a string table, twice, then looks keys up and expands markup.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "localization/Markup.h"
#include "localization/ZStringDictionary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    quirra_private::ZStringDictionary dictionary;
    for (int round = 0; round < 2; ++round) {
        // The second round merges the same table behind the first.
        std::istringstream in(bytes, std::ios::in | std::ios::binary);
        dictionary.load(in);
    }
    for (const char* key : {"$$$/ZOR/Title=Install", "Key=Value", "$$$=Default", "$$$/ZOR/Quote",
                            "$$$/ZOR/LongerKeyThatSamplesEveryFifth=x^R#{amp}"}) {
        const quirra_private::ZString value = dictionary.lookup(key, nullptr);
        char16_t buffer[8];
        value.copyToBuffer(buffer, sizeof buffer / sizeof buffer[0], false);
    }
    // The input's own first line as a key string, with each default-text encoding.
    const std::string firstLine = bytes.substr(0, bytes.find_first_of(std::string("\n\0", 2)));
    for (uint32_t selector : {0u, 1u, 2u}) dictionary.lookup(firstLine.c_str(), &selector);
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    quirra_private::expandMarkup(units.data(), units.size());
    return 0;
}
