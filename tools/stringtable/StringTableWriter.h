// Writes string tables in the text format and the binary versions 1.0, 1.5 and 2.x.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stringtable {

struct Entry {
    std::string key;        // the key's bytes, without the "$$$" prefix
    std::u16string value;   // text tables: markup source; binary tables: the final text
};

// UTF-16LE with the byte-order mark FF FE; one quoted "$$$key=value" line an entry, with LF,
// double quote and CR escaped. Keys holding '=', '"', line breaks or bytes above 0x7F are refused.
std::string writeTextTable(const std::vector<Entry>& entries);

// Value encodings of version 1: 0 UTF-16, 1 UTF-8, 2 the system's 8-bit encoding.
std::string writeVersion1_0(const std::vector<Entry>& entries, uint8_t encoding = 0);
// byteOrderMark: 0 none (big-endian units), 1 FE FF, 2 FF FE with little-endian units.
std::string writeVersion1_5(const std::vector<Entry>& entries, uint8_t encoding = 0, int byteOrderMark = 0);

struct Version2Options {
    int8_t minor = 1;         // 0 has no byte-order byte and is little-endian
    bool bigEndian = false;
    uint32_t base = 0;
    bool keys = true;
    bool extraRecord = false;  // one extra-data record on the first entry
    std::string header = "stringtable";
};
std::string writeVersion2(const std::vector<Entry>& entries, const Version2Options& options = {});

}  // namespace stringtable
