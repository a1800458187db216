// Serialisation of string tables, used to build the bundle's tables and test fixtures.
#include "tools/stringtable/StringTableWriter.h"

#include <map>
#include <stdexcept>

#include "localization/KeyString.h"
#include "localization/TextEncoding.h"

namespace stringtable {
namespace {

constexpr char kMagic[] = "ZString Binary Format";

class Output {
public:
    explicit Output(bool bigEndian = false) : bigEndian_(bigEndian) {}
    void u8(uint8_t value) { bytes.push_back(static_cast<char>(value)); }
    void u16(uint32_t value) { put(value, 2); }
    void u32(uint32_t value) { put(value, 4); }
    void raw(const std::string& data) { bytes += data; }
    void units(const std::u16string& text) {
        for (char16_t unit : text) u16(unit);
    }
    std::string bytes;

private:
    void put(uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
            bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    bool bigEndian_;
};

void checkKey(const std::string& key) {
    for (unsigned char c : key) {
        if (c == '=' || c == '"' || c == '\n' || c == '\r' || c == 0 || c > 0x7F)
            throw std::invalid_argument("key cannot be written to a string table: " + key);
    }
}

uint32_t bucketOf(const std::string& key) {
    return quirra_private::keyHash(reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

// Entry positions grouped by bucket, buckets ascending, file order within a bucket.
std::map<uint32_t, std::vector<size_t>> groupByBucket(const std::vector<Entry>& entries) {
    std::map<uint32_t, std::vector<size_t>> groups;
    for (size_t i = 0; i < entries.size(); ++i) {
        checkKey(entries[i].key);
        groups[bucketOf(entries[i].key)].push_back(i);
    }
    return groups;
}

std::string prefix(int8_t major, int8_t minor, uint8_t encoding) {
    std::string out = kMagic;
    out.push_back(static_cast<char>(major));
    out.push_back(static_cast<char>(minor));
    out.push_back(static_cast<char>(encoding));
    return out;
}

std::string encodedValue(const std::u16string& value, uint8_t encoding, bool bigEndian) {
    if (encoding == 1) return quirra_private::encodeUtf8(value.data(), value.size());
    if (encoding != 0) return quirra_private::encodeMacRoman(value.data(), value.size());
    Output out(bigEndian);
    out.units(value);
    return out.bytes;
}

}  // namespace

std::string writeTextTable(const std::vector<Entry>& entries) {
    Output out;
    out.u16(0xFEFF);
    for (const Entry& entry : entries) {
        checkKey(entry.key);
        out.units(u"\"$$$");
        for (unsigned char c : entry.key) out.u16(c);
        out.u16(u'=');
        for (char16_t unit : entry.value) {
            if (unit == u'\n') {
                out.units(u"\\n");
            } else if (unit == u'\r') {
                out.units(u"\\r");
            } else if (unit == u'"') {
                out.units(u"\\\"");
            } else {
                out.u16(unit);
            }
        }
        out.units(u"\"\n");
    }
    return out.bytes;
}

std::string writeVersion1_0(const std::vector<Entry>& entries, uint8_t encoding) {
    const auto groups = groupByBucket(entries);
    Output body;
    Output records;
    uint32_t position = 0;
    for (const auto& [bucket, members] : groups) {
        records.u16(bucket);
        records.u32(position);
        for (size_t i : members) {
            const std::string value = encodedValue(entries[i].value, encoding, false);
            body.u32(static_cast<uint32_t>(entries[i].key.size()));
            body.raw(entries[i].key);
            body.u32(static_cast<uint32_t>(value.size()));
            body.raw(value);
            position += static_cast<uint32_t>(8 + entries[i].key.size() + value.size());
        }
    }
    records.u16(0);
    records.u32(position);
    Output out;
    out.raw(prefix(1, 0, encoding));
    out.u16(static_cast<uint32_t>(groups.size() + 1));
    out.raw(records.bytes);
    out.raw(body.bytes);
    return out.bytes;
}

std::string writeVersion1_5(const std::vector<Entry>& entries, uint8_t encoding, int byteOrderMark) {
    const auto groups = groupByBucket(entries);
    Output out(true);
    out.raw(prefix(1, 5, encoding));
    out.u32(static_cast<uint32_t>(groups.size()));
    uint32_t words = 0;
    for (const auto& group : groups) {
        words += static_cast<uint32_t>(2 * group.second.size());
        out.u32(words);
    }
    std::vector<std::string> values(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (encoding == 0 && byteOrderMark == 1) values[i] = "\xFE\xFF";
        if (encoding == 0 && byteOrderMark == 2) values[i] = "\xFF\xFE";
        values[i] += encodedValue(entries[i].value, encoding, byteOrderMark != 2);
    }
    for (const auto& group : groups) {
        for (size_t i : group.second) {
            out.u32(static_cast<uint32_t>(entries[i].key.size()));
            out.u32(static_cast<uint32_t>(values[i].size()));
        }
    }
    for (const auto& group : groups) out.u16(group.first);
    for (const auto& group : groups) {
        for (size_t i : group.second) {
            out.raw(entries[i].key);
            out.raw(values[i]);
        }
    }
    return out.bytes;
}

std::string writeVersion2(const std::vector<Entry>& entries, const Version2Options& options) {
    const auto groups = groupByBucket(entries);
    const bool bigEndian = options.minor >= 1 && options.bigEndian;
    Output out(bigEndian);
    out.raw(prefix(2, options.minor, 0));
    if (options.minor >= 1) out.u8(bigEndian ? 1 : 0);
    out.u32(static_cast<uint32_t>(options.header.size()));
    out.raw(options.header);

    Output keyData(bigEndian);
    Output valueData(bigEndian);
    std::vector<uint32_t> keyOffsets, valueOffsets, keyLengths, valueLengths;
    for (const Entry& entry : entries) {
        if (entry.key.size() > 0xFFFF || entry.value.size() * 2 > 0xFFFF)
            throw std::invalid_argument("entry too long for a version-2 table: " + entry.key);
        keyOffsets.push_back(static_cast<uint32_t>(keyData.bytes.size()));
        keyLengths.push_back(static_cast<uint32_t>(entry.key.size()));
        keyData.raw(entry.key);
        valueOffsets.push_back(static_cast<uint32_t>(valueData.bytes.size()));
        valueLengths.push_back(static_cast<uint32_t>(entry.value.size() * 2));
        valueData.units(entry.value);
    }
    const auto n = static_cast<uint32_t>(entries.size());
    out.u32(options.base);
    out.u8(options.keys ? 'Y' : 'N');
    out.u32(n);
    out.u32(n);
    out.u32(options.keys ? static_cast<uint32_t>(groups.size()) : 0);
    if (options.keys) out.u32(static_cast<uint32_t>(keyData.bytes.size()));
    out.u32(static_cast<uint32_t>(valueData.bytes.size()));
    if (options.keys) {
        for (uint32_t offset : keyOffsets) out.u32(offset);
        for (uint32_t length : keyLengths) out.u16(length);
    }
    for (uint32_t offset : valueOffsets) out.u32(offset);
    for (uint32_t length : valueLengths) out.u16(length);
    if (options.keys) out.raw(keyData.bytes);
    out.raw(valueData.bytes);
    if (options.keys) {
        for (const auto& group : groups) out.u16(group.first);
        for (const auto& group : groups) out.u32(static_cast<uint32_t>(group.second.size()));
        for (const auto& group : groups) {
            for (size_t i : group.second) out.u32(static_cast<uint32_t>(i));
        }
    }
    if (options.extraRecord && n > 0) {
        const std::u16string extra = u"extra";
        out.u32(1);
        out.u32(static_cast<uint32_t>(extra.size() * 2));
        out.u32(0);
        out.u32(0);
        out.u16(static_cast<uint32_t>(extra.size() * 2));
        out.units(extra);
    } else {
        out.u32(0);
    }
    return out.bytes;
}

}  // namespace stringtable
