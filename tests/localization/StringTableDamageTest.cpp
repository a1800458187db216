// Truncated and corrupted string tables load what they can or nothing, and never crash or
// allocate beyond the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "localization/ZStringDictionary.h"
#include "tests/localization/TableFixtures.h"
#include "tools/stringtable/StringTableWriter.h"

using namespace quirra_private;
using namespace table_fixtures;

namespace {

// Every key gives its own value or the default, never anything else; returns how many were found.
// A text table cut inside a line may also give the start of the value.
size_t checkLookups(const ZStringDictionary& dictionary, const std::string& what, bool text = false) {
    size_t found = 0;
    for (const auto& entry : sampleEntries()) {
        const std::u16string value = std::u16string(
            dictionary.lookup(("$$$" + entry.key + "=default").c_str(), nullptr).view());
        if (value == entry.value) {
            ++found;
        } else if (!(text && entry.value.starts_with(value))) {
            EXPECT_EQ(value, u"default") << what << " " << entry.key;
        }
    }
    return found;
}

bool isVersionTwo(const std::string& name) { return name.rfind("2.", 0) == 0; }

}  // namespace

TEST(StringTableDamageTest, EveryTruncationKeepsWhatWasReadBefore) {
    std::vector<NamedTable> tables = sampleBinaryTables();
    tables.push_back({"text", stringtable::writeTextTable(sampleEntries())});
    for (const NamedTable& table : tables) {
        size_t previous = 0;
        for (size_t length = 0; length <= table.bytes.size(); ++length) {
            ZStringDictionary dictionary;
            // An earlier table's entries stay whatever the damage of the later one.
            load(dictionary, "\"$$$/Earlier=kept\"\n");
            load(dictionary, table.bytes.substr(0, length));
            const std::string what = table.name + " cut at " + std::to_string(length);
            ASSERT_EQ(lookup(dictionary, "$$$/Earlier=gone"), dictionary.majorVersion() < 2 ? u"kept" : u"gone")
                << what;
            const size_t found = checkLookups(dictionary, what, table.name == "text");
            if (isVersionTwo(table.name)) {
                // A block is all or nothing.
                EXPECT_EQ(found, length == table.bytes.size() ? sampleEntries().size() : 0u) << what;
            } else if (table.name != "text") {
                EXPECT_GE(found, previous) << what;
            }
            previous = found;
        }
        EXPECT_EQ(previous, sampleEntries().size()) << table.name;
    }
}

TEST(StringTableDamageTest, CorruptedBytesAnywhereAreSurvived) {
    std::vector<NamedTable> tables = sampleBinaryTables();
    tables.push_back({"text", stringtable::writeTextTable(sampleEntries())});
    for (const NamedTable& table : tables) {
        for (size_t offset = 0; offset < table.bytes.size(); ++offset) {
            for (char replacement : {'\xFF', '\x7F', '\x00', '\x80'}) {
                std::string bytes = table.bytes;
                if (bytes[offset] == replacement) continue;
                bytes[offset] = replacement;
                ZStringDictionary dictionary;
                load(dictionary, bytes);
                for (const auto& entry : sampleEntries()) dictionary.lookup(("$$$" + entry.key).c_str(), nullptr);
            }
        }
    }
}

TEST(StringTableDamageTest, HugeLengthFieldsAllocateNothing) {
    // Lengths and counts set to their maximum right where each format keeps its first one.
    struct Case {
        const char* what;
        std::string bytes;
        size_t offset;
        int width;
    };
    const auto& entries = sampleEntries();
    const std::string v10 = stringtable::writeVersion1_0(entries);
    const std::string v15 = stringtable::writeVersion1_5(entries);
    const size_t records = static_cast<uint8_t>(v10[24]) | (static_cast<uint8_t>(v10[25]) << 8);
    const size_t groups = static_cast<uint8_t>(v15[27]);
    ASSERT_GT(records, 2u);
    ASSERT_GT(groups, 1u);
    const std::vector<Case> cases = {
        {"1.0 record count", v10, 24, 2},
        {"1.0 first key length", v10, 26 + 6 * records, 4},
        {"1.5 group count", v15, 24, 4},
        {"1.5 last group end", v15, 28 + 4 * (groups - 1), 4},
        {"1.5 first key size", v15, 28 + 4 * groups, 4},
        {"2.1 header length", stringtable::writeVersion2(entries), 25, 4},
        {"2.1 entry count", stringtable::writeVersion2(entries), 25 + 4 + 11 + 5, 4},
        {"2.1 used buckets", stringtable::writeVersion2(entries), 25 + 4 + 11 + 13, 4},
    };
    for (const Case& c : cases) {
        std::string bytes = c.bytes;
        ASSERT_LE(c.offset + c.width, bytes.size()) << c.what;
        for (int i = 0; i < c.width; ++i) bytes[c.offset + i] = '\xFF';
        ZStringDictionary dictionary;
        load(dictionary, bytes);
        checkLookups(dictionary, c.what);
    }
}
