// Reading string tables: the text format's encodings and line rules, and each binary version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "localization/ZStringDictionary.h"
#include "tests/localization/TableFixtures.h"
#include "tools/stringtable/StringTableWriter.h"

using namespace quirra_private;
using namespace table_fixtures;

namespace {

std::string keyString(const stringtable::Entry& entry) { return "$$$" + entry.key + "=Default"; }

}  // namespace

TEST(StringTableTest, EveryFormatGivesTheSameLookups) {
    std::vector<NamedTable> tables = sampleBinaryTables();
    tables.push_back({"text", stringtable::writeTextTable(sampleEntries())});
    for (const NamedTable& table : tables) {
        ZStringDictionary dictionary;
        load(dictionary, table.bytes);
        for (const auto& entry : sampleEntries()) {
            EXPECT_EQ(lookup(dictionary, keyString(entry)), entry.value) << table.name << " " << entry.key;
        }
        EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Missing=Default"), u"Default") << table.name;
        EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Title"), u"Install") << table.name;
    }
}

TEST(StringTableTest, VersionTwoSetsTheVersionAndKeepsTheHeader) {
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2(sampleEntries()));
    EXPECT_EQ(dictionary.majorVersion(), 2);
    EXPECT_EQ(dictionary.minorVersion(), 7);
    ASSERT_NE(dictionary.header(), nullptr);
    EXPECT_STREQ(dictionary.header(), "stringtable");

    ZStringDictionary text;
    load(text, stringtable::writeTextTable(sampleEntries()));
    load(text, stringtable::writeVersion1_0(sampleEntries()));
    EXPECT_EQ(text.majorVersion(), 0);
    EXPECT_EQ(text.header(), nullptr);
}

TEST(StringTableTest, TextLinesAsTabled) {
    const std::u16string bom = u"\ufeff";
    struct Case {
        const char* what;
        std::string bytes;
        std::string key;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {"quoted line right after the mark", utf16le(bom + u"\"$$$/ZOR/Title=Install\"\n"), "$$$/ZOR/Title=D",
         u"Install"},
        {"unquoted line after the mark keeps 0xFF in its key", utf16le(bom + u"Key=Value\n"), "Key=D", u"D"},
        {"unquoted line after the mark, looked up with 0xFF", utf16le(bom + u"Key=Value\n"), "\xFFKey=D",
         u"Value"},
        {"unquoted line without prefix", utf16le(bom + u"\n\"x=y\"\nKey=Value\n"), "Key=D", u"Value"},
        {"escaped quotes stay in the value", utf16le(bom + u"\n\"$$$/ZOR/Q=say \\\"hi\\\"\" trailing\n"),
         "$$$/ZOR/Q=D", u"say \"hi\""},
        {"no closing quote runs to the end", utf16le(bom + u"\n\"$$$/ZOR/Open=to the end\n"), "$$$/ZOR/Open=D",
         u"to the end"},
        {"a line with two '$' is dropped, the next loads",
         utf16le(bom + u"\n\"$$/ZOR/Bad=x\"\n\"$$$/ZOR/Good=y\"\n"), "$$$/ZOR/Good=D", u"y"},
        {"dropped line's key is absent", utf16le(bom + u"\n\"$$/ZOR/Bad=x\"\n"), "$$/ZOR/Bad=D", u""},
        {"CR LF", utf16le(bom + u"\r\n\"$$$/A=1\"\r\n\"$$$/B=2\"\r\n"), "$$$/B=D", u"2"},
        {"line separators", utf16le(bom + u"\u2028\"$$$/A=1\"\u2029\"$$$/B=2\""), "$$$/B=D", u"2"},
        {"the later line of a key wins", utf16le(bom + u"\n\"$$$/A=old\"\n\"$$$/A=new\"\n"), "$$$/A=D", u"new"},
        {"markup in values", utf16le(bom + u"\n\"$$$/M=Fish #{amp} Chips^R\\n\"\n"), "$$$/M=D",
         u"Fish & Chips\u00ae\n"},
        {"more '=' belong to the value", utf16le(bom + u"\n\"$$$/A=b=c\"\n"), "$$$/A=D", u"b=c"},
        {"a NUL unit at a line start ends the input",
         utf16le(bom + u"\n\"$$$/A=1\"\n") + std::string(2, '\0') + utf16le(u"\"$$$/B=2\"\n"), "$$$/B=D", u"D"},
        {"a NUL unit ends its line only", utf16le(bom + u"\n\"$$$/A=1") + std::string(2, '\0') +
                                              utf16le(u"ignored\n\"$$$/B=2\"\n"),
         "$$$/B=D", u"2"},
        {"big-endian mark", utf16be(bom + u"\n\"$$$/ZOR/Title=Gro\u00df\"\n"), "$$$/ZOR/Title=D", u"Gro\u00df"},
        {"8-bit text in the system encoding", "\"$$$/ZOR/Title=\x8Et\x8E\"\n", "$$$/ZOR/Title=D",
         u"\u00e9t\u00e9"},
        {"8-bit CR LF", "\"$$$/A=1\"\r\n\"$$$/B=2\"\r\n", "$$$/B=D", u"2"},
        {"a table shorter than the binary magic loads as text", "\"A=B\"\n", "A=D", u"B"},
        {"three bytes", "A=B", "A=D", u"B"},
        {"empty table", "", "A=D", u"D"},
        {"a lone half unit at the end is ignored", utf16le(bom + u"\n\"$$$/A=1\"") + "x", "$$$/A=D", u"1"},
    };
    for (const Case& c : cases) {
        ZStringDictionary dictionary;
        load(dictionary, c.bytes);
        EXPECT_EQ(lookup(dictionary, c.key), c.expected) << c.what;
    }
}

TEST(StringTableTest, TextWrittenByTheWriterRoundTrips) {
    const std::vector<stringtable::Entry> entries = {
        {"/ZOR/Lines", u"one\ntwo\rthree"},
        {"/ZOR/Quoted", u"a \"quoted\" word"},
        {"/ZOR/Markup", u"^C 2014 #{euro}"},
    };
    const std::string bytes = stringtable::writeTextTable(entries);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    ZStringDictionary dictionary;
    load(dictionary, bytes);
    EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Lines"), u"one\ntwo\rthree");
    EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Quoted"), u"a \"quoted\" word");
    EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Markup"), u"\u00a9 2014 \u20ac");
    EXPECT_THROW(stringtable::writeTextTable({{"bad=key", u"x"}}), std::invalid_argument);
}

TEST(StringTableTest, UnsupportedVersionsAndEmptyTablesLoadNothing) {
    auto withVersion = [](int8_t major, int8_t minor) {
        std::string bytes = stringtable::writeVersion1_0(sampleEntries());
        bytes[21] = static_cast<char>(major);
        bytes[22] = static_cast<char>(minor);
        return bytes;
    };
    std::string oneRecord = stringtable::writeVersion1_0({});
    ASSERT_EQ(static_cast<uint8_t>(oneRecord[24]), 1);
    const std::vector<NamedTable> tables = {
        {"1.3", withVersion(1, 3)},
        {"3.0", withVersion(3, 0)},
        {"2 with a negative minor", withVersion(2, -1)},
        {"1.0 with C = 1", oneRecord},
        {"magic only", "ZString Binary Format"},
        {"prefix only", "ZString Binary Format\x01"},
    };
    for (const NamedTable& table : tables) {
        ZStringDictionary dictionary;
        load(dictionary, table.bytes);
        EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Title=Default"), u"Default") << table.name;
        EXPECT_EQ(dictionary.majorVersion(), 0) << table.name;
    }
}

TEST(StringTableTest, VersionOneFiveFindsTheFirstOfTwoEqualKeys) {
    const std::vector<stringtable::Entry> entries = {{"/ZOR/Twice", u"first"}, {"/ZOR/Twice", u"second"}};
    for (const std::string& bytes : {stringtable::writeVersion1_5(entries), stringtable::writeVersion1_0(entries)}) {
        ZStringDictionary dictionary;
        load(dictionary, bytes);
        EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Twice"), u"first");
    }
}

TEST(StringTableTest, VersionOneFiveGroupEndsMustRiseByWholeEntries) {
    // Two keys in different buckets give two groups; their ends follow N at offset 24.
    const std::vector<stringtable::Entry> entries = {{"A", u"a"}, {"B", u"b"}};
    const std::string good = stringtable::writeVersion1_5(entries);
    auto withEnds = [&](uint8_t first, uint8_t second) {
        std::string bytes = good;
        bytes[31] = static_cast<char>(first);
        bytes[35] = static_cast<char>(second);
        return bytes;
    };
    ZStringDictionary control;
    load(control, withEnds(2, 4));
    EXPECT_EQ(lookup(control, "B"), u"b");
    for (const auto& [first, second] : std::vector<std::pair<uint8_t, uint8_t>>{{4, 2}, {1, 4}, {2, 3}}) {
        ZStringDictionary dictionary;
        load(dictionary, withEnds(first, second));
        EXPECT_EQ(lookup(dictionary, "A=none"), u"none") << int(first) << "," << int(second);
        EXPECT_EQ(lookup(dictionary, "B=none"), u"none") << int(first) << "," << int(second);
    }
}

TEST(StringTableTest, KeylessVersionTwoBlockFindsNothing) {
    stringtable::Version2Options keyless;
    keyless.keys = false;
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2(sampleEntries(), keyless));
    EXPECT_EQ(dictionary.majorVersion(), 2);
    EXPECT_EQ(lookup(dictionary, "$$$/ZOR/Title=Default"), u"Default");
}

TEST(StringTableTest, VersionTwoBlocksMergeBehindTheStore) {
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2({{"/A", u"a1"}, {"/B", u"b1"}, {"/C", u"c1"}}));
    // Base 0 behind a filled store: present keys take the new values, new keys are appended.
    load(dictionary, stringtable::writeVersion2({{"/B", u"b2"}, {"/D", u"d2"}}));
    EXPECT_EQ(lookup(dictionary, "/A"), u"a1");
    EXPECT_EQ(lookup(dictionary, "/B"), u"b2");
    EXPECT_EQ(lookup(dictionary, "/D"), u"d2");
    EXPECT_EQ(dictionary.fastArray().indexTotal(), 5u);
    EXPECT_EQ(dictionary.fastArray().liveTotal(), 4u);

    // A block of nothing but present keys is dropped once its live count reaches 0; the
    // values it replaced must outlive it.
    load(dictionary, stringtable::writeVersion2({{"/A", u"a3"}, {"/C", u"c3"}}));
    EXPECT_EQ(dictionary.fastArray().indexTotal(), 5u);
    EXPECT_EQ(lookup(dictionary, "/A"), u"a3");
    EXPECT_EQ(lookup(dictionary, "/C"), u"c3");
}

TEST(StringTableTest, VersionTwoBaseMustContinueTheStore) {
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2({{"/A", u"a"}, {"/B", u"b"}}));
    stringtable::Version2Options wrongBase;
    wrongBase.base = 5;
    load(dictionary, stringtable::writeVersion2({{"/C", u"c"}}, wrongBase));
    EXPECT_EQ(lookup(dictionary, "/C=rejected"), u"rejected");
    stringtable::Version2Options rightBase;
    rightBase.base = 2;
    load(dictionary, stringtable::writeVersion2({{"/C", u"c"}, {"/A", u"again"}}, rightBase));
    EXPECT_EQ(lookup(dictionary, "/C"), u"c");
    EXPECT_EQ(lookup(dictionary, "/A"), u"a");  // no merge with a base given: the earlier entry is found first

    // A first block with any base starts the store at 0.
    ZStringDictionary fresh;
    load(fresh, stringtable::writeVersion2({{"/X", u"x"}}, wrongBase));
    EXPECT_EQ(lookup(fresh, "/X"), u"x");
}

TEST(StringTableTest, EmptyKeyDoesNotMatchADeletedEntry) {
    // An entry with key length 0 is a deleted one; it sits in bucket 0, where the empty key hashes.
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2({{"", u"deleted"}, {"/A", u"a"}}));
    EXPECT_EQ(lookup(dictionary, "$$$=Default"), u"Default");
    EXPECT_EQ(lookup(dictionary, "/A"), u"a");
}

TEST(StringTableTest, TextAfterVersionTwoGoesIntoTheStore) {
    ZStringDictionary dictionary;
    load(dictionary, stringtable::writeVersion2({{"/A", u"a"}, {"/B", u"b"}}));
    std::vector<stringtable::Entry> lines = {{"/A", u"replaced"}};
    for (int i = 0; i < 250; ++i) lines.push_back({"/Inserted" + std::to_string(i), u"v" + std::u16string(1, char16_t(u'0' + i % 10))});
    load(dictionary, stringtable::writeTextTable(lines));
    EXPECT_EQ(lookup(dictionary, "/A"), u"replaced");
    EXPECT_EQ(lookup(dictionary, "/B"), u"b");
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(lookup(dictionary, "/Inserted" + std::to_string(i)), u"v" + std::u16string(1, char16_t(u'0' + i % 10)))
            << i;
    }
    EXPECT_EQ(dictionary.fastArray().indexTotal(), 252u);
    // Inserted blocks hold at most 100 entries each.
    EXPECT_EQ(dictionary.fastArray().blockCount(), 4u);

    // A binary block loaded after insertions continues the index range behind them.
    load(dictionary, stringtable::writeVersion2({{"/Later", u"later"}, {"/Inserted7", u"merged"}}));
    load(dictionary, stringtable::writeTextTable({{"/AfterLater", u"z"}}));
    EXPECT_EQ(lookup(dictionary, "/Later"), u"later");
    EXPECT_EQ(lookup(dictionary, "/Inserted7"), u"merged");
    EXPECT_EQ(lookup(dictionary, "/AfterLater"), u"z");
    EXPECT_EQ(lookup(dictionary, "/Inserted249"), u"v9");
}

TEST(StringTableTest, DamagedVersionTwoBlocksChangeNothing) {
    const std::vector<stringtable::Entry> first = {{"/A", u"a"}};
    const std::vector<stringtable::Entry> second = {{"/A", u"new"}, {"/B", u"b"}};
    const std::string good = stringtable::writeVersion2(second);
    // Header "stringtable" (11 bytes) from offset 29; the block's base follows at 40.
    const size_t block = 25 + 4 + 11;
    const size_t n = block + 5;
    const size_t valueSize = block + 21;
    const size_t firstKeyOffset = block + 25;
    const size_t firstBucket = block + 25 + 2 * 12 + 4 + 8;  // after the arrays, "/A/B" and "new", "b"
    struct Patch {
        const char* what;
        size_t offset;
        uint32_t value;
        int width;
    };
    const std::vector<Patch> patches = {
        {"live above n", block + 9, 3, 4},
        {"n beyond the file", n, 0x10000000, 4},
        {"value data beyond the file", valueSize, 0xFFFFFFF0, 4},
        {"key offset outside its data", firstKeyOffset, 3, 4},
        {"bucket 1021", firstBucket, 1021, 2},
    };
    for (const Patch& patch : patches) {
        std::string bytes = good;
        ASSERT_LT(patch.offset + patch.width, bytes.size());
        for (int i = 0; i < patch.width; ++i) bytes[patch.offset + i] = static_cast<char>((patch.value >> (8 * i)) & 0xFF);
        ZStringDictionary dictionary;
        load(dictionary, stringtable::writeVersion2(first));
        load(dictionary, bytes);
        EXPECT_EQ(lookup(dictionary, "/A"), u"a") << patch.what;
        EXPECT_EQ(lookup(dictionary, "/B=none"), u"none") << patch.what;
        EXPECT_EQ(dictionary.fastArray().indexTotal(), 1u) << patch.what;
    }
}
