// Helpers of the string-table tests: loading bytes into a dictionary and reading lookups back.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "localization/ZStringDictionary.h"
#include "tools/stringtable/StringTableWriter.h"

namespace table_fixtures {

inline void load(quirra_private::ZStringDictionary& dictionary, const std::string& bytes) {
    std::istringstream in(bytes, std::ios::in | std::ios::binary);
    dictionary.load(in);
}

inline std::u16string lookup(const quirra_private::ZStringDictionary& dictionary, const std::string& keyString,
                             const uint32_t* selector = nullptr) {
    return std::u16string(dictionary.lookup(keyString.c_str(), selector).view());
}

// UTF-16LE bytes of a text, for hand-made text tables.
inline std::string utf16le(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
}

inline std::string utf16be(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        out.push_back(static_cast<char>(unit >> 8));
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    return out;
}

// Final texts (no markup), encodable in every value encoding.
inline const std::vector<stringtable::Entry>& sampleEntries() {
    static const std::vector<stringtable::Entry> entries = {
        {"/ZOR/Title", u"Install"},
        {"/ZOR/AdminError", u"Administrator privileges are required to continue with the installation."},
        {"/ZOR/Accents", u"\u00e9t\u00e9 \u20ac"},
        {"/ZOR/Empty", u""},
        {"Key", u"Value"},
        {"/ZOR/LongKeyNumberOne", u"first"},
        {"/ZOR/LongKeyNumberTwo", u"second"},
    };
    return entries;
}

struct NamedTable {
    std::string name;
    std::string bytes;
};

// The sample in every binary layout the loader reads.
inline std::vector<NamedTable> sampleBinaryTables() {
    const auto& entries = sampleEntries();
    stringtable::Version2Options v20;
    v20.minor = 0;
    stringtable::Version2Options big;
    big.bigEndian = true;
    big.extraRecord = true;
    return {
        {"1.0 UTF-16", stringtable::writeVersion1_0(entries, 0)},
        {"1.0 UTF-8", stringtable::writeVersion1_0(entries, 1)},
        {"1.0 8-bit", stringtable::writeVersion1_0(entries, 2)},
        {"1.5 UTF-16", stringtable::writeVersion1_5(entries, 0, 0)},
        {"1.5 UTF-16 FE FF", stringtable::writeVersion1_5(entries, 0, 1)},
        {"1.5 UTF-16 FF FE", stringtable::writeVersion1_5(entries, 0, 2)},
        {"1.5 UTF-8", stringtable::writeVersion1_5(entries, 1)},
        {"1.5 8-bit", stringtable::writeVersion1_5(entries, 7)},
        {"2.0", stringtable::writeVersion2(entries, v20)},
        {"2.1 little-endian", stringtable::writeVersion2(entries)},
        {"2.1 big-endian with extra data", stringtable::writeVersion2(entries, big)},
    };
}

}  // namespace table_fixtures
