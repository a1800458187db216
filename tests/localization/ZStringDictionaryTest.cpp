// The dictionary through its flat handle interface: lookups, default texts, the hash table and entries.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "localization/HashItem.h"
#include "localization/KeyString.h"
#include "localization/ZDictFlat.h"
#include "tests/localization/TableFixtures.h"
#include "tools/stringtable/StringTableWriter.h"

using namespace quirra_private;
using table_fixtures::utf16le;

namespace {

const char kAdminError[] = "$$$/ZOR/AdminError=Administrator privileges are required to continue with the installation.";

// A dictionary made and freed through the flat interface.
class FlatDictionary {
public:
    FlatDictionary() { zdictCreate(&dictionary_); }
    ~FlatDictionary() { zdictDestroy(&dictionary_); }
    FlatDictionary(const FlatDictionary&) = delete;
    FlatDictionary& operator=(const FlatDictionary&) = delete;

    void load(const std::string& bytes) {
        std::istringstream in(bytes, std::ios::in | std::ios::binary);
        zdictLoad(&dictionary_, in);
    }
    // Looks up as the bootstrapper does: length, copy out, destroy the result.
    std::u16string lookup(const char* keyString, const uint32_t* selector = nullptr) {
        ZString* result = nullptr;
        zdictLookup(&result, &dictionary_, keyString, selector);
        std::vector<char16_t> buffer(zstrLengthWithNul(&result));
        zstrCopyToBuffer(&result, buffer.data(), static_cast<uint32_t>(buffer.size()), 0);
        zstrDestroy(&result);
        return std::u16string(buffer.data());
    }

private:
    ZStringDictionary* dictionary_ = nullptr;
};

std::string textTable(const std::u16string& lines) { return utf16le(u"\ufeff" + lines); }

}  // namespace

TEST(ZStringDictionaryTest, LookupsAsTabled) {
    FlatDictionary dictionary;
    dictionary.load(textTable(u"\n\"$$$/ZOR/Present=table value\"\n\"$$$/ZOR/Blank=\"\n\"Key=from table\"\n"));
    struct Case {
        const char* keyString;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {kAdminError, u"Administrator privileges are required to continue with the installation."},
        {"$$$/ZOR/Present=default", u"table value"},
        {"$$$/ZOR/X", u""},
        {"$$$/ZOR/Blank=default", u""},
        {"$$Key=Text", u""},
        {"Key=Text", u"from table"},
        {"$$$/ZOR/A=b=c", u"b=c"},
        {"$$$/ZOR/Mark=Brand^R #{amp} Co", u"Brand\u00ae & Co"},
        {"$$$", u""},
        {"$", u""},
        {"", u""},
    };
    for (const Case& c : cases) EXPECT_EQ(dictionary.lookup(c.keyString), c.expected) << c.keyString;
    EXPECT_EQ(dictionary.lookup(nullptr), u"");
}

TEST(ZStringDictionaryTest, TableValueReplacesTheDefaultOnceLoaded) {
    FlatDictionary dictionary;
    EXPECT_EQ(dictionary.lookup(kAdminError),
              u"Administrator privileges are required to continue with the installation.");
    dictionary.load(stringtable::writeTextTable({{"/ZOR/AdminError", u"Administratorrechte sind erforderlich."}}));
    EXPECT_EQ(dictionary.lookup(kAdminError), u"Administratorrechte sind erforderlich.");
}

TEST(ZStringDictionaryTest, DefaultTextDecodedBySelector) {
    FlatDictionary dictionary;
    const uint32_t widen = 0;
    const uint32_t utf8 = 1;
    const uint32_t system = 2;
    EXPECT_EQ(dictionary.lookup("$$$/X=caf\xE9"), u"caf\u00e9");
    EXPECT_EQ(dictionary.lookup("$$$/X=caf\xC3\xA9", &widen), u"caf\u00c3\u00a9");
    EXPECT_EQ(dictionary.lookup("$$$/X=caf\xC3\xA9", &utf8), u"caf\u00e9");
    EXPECT_EQ(dictionary.lookup("$$$/X=caf\xE9", &utf8), u"");  // invalid UTF-8 decodes to nothing
    EXPECT_EQ(dictionary.lookup("$$$/X=caf\x8E", &system), u"caf\u00e9");
}

TEST(ZStringDictionaryTest, KeyHashSamplesEveryStepthByte) {
    EXPECT_EQ(keyHash(nullptr, 0), 0u);
    const std::string ab = "ab";
    EXPECT_EQ(keyHash(reinterpret_cast<const uint8_t*>(ab.data()), ab.size()), (97u * 32 + 98) % 1021);
    // Ten bytes: only 0, 2, 4, 6 and 8 count, so these two share a bucket.
    const std::string first = "aXbXcXdXeX";
    const std::string second = "aYbYcYdYeY";
    const std::string third = "aXbXcXdXfX";
    auto hashOf = [](const std::string& key) { return keyHash(reinterpret_cast<const uint8_t*>(key.data()), key.size()); };
    EXPECT_EQ(hashOf(first), hashOf(second));
    EXPECT_NE(hashOf(first), hashOf(third));
    const std::string four1 = "abcd";
    const std::string four2 = "abce";
    EXPECT_NE(hashOf(four1), hashOf(four2));

    // Keys sharing a bucket are told apart, and replacing one deep in the chain unlinks it.
    FlatDictionary dictionary;
    dictionary.load(textTable(u"\n\"aXbXcXdXeX=1\"\n\"aYbYcYdYeY=2\"\n\"aZbZcZdZeZ=3\"\n\"aXbXcXdXeX=4\"\n"));
    EXPECT_EQ(dictionary.lookup("aXbXcXdXeX"), u"4");
    EXPECT_EQ(dictionary.lookup("aYbYcYdYeY"), u"2");
    EXPECT_EQ(dictionary.lookup("aZbZcZdZeZ"), u"3");
}

TEST(ZStringDictionaryTest, HashTableRemoveUnlinksHeadOrMiddle) {
    ZStringDictionary dictionary;
    for (const char* key : {"aXbXcXdXeX", "aYbYcYdYeY", "aZbZcZdZeZ"})
        dictionary.insert(new DictionaryEntry(reinterpret_cast<const uint8_t*>(key), 10, ZString(u"v", 1)));
    for (const char* key : {"aYbYcYdYeY", "aZbZcZdZeZ", "aXbXcXdXeX"}) {
        const ByteRunKey probe(reinterpret_cast<const uint8_t*>(key), 10, false);
        HashItem* removed = dictionary.remove(probe);
        ASSERT_NE(removed, nullptr) << key;
        EXPECT_EQ(removed->next, nullptr);
        delete removed;
        EXPECT_EQ(dictionary.find(probe), nullptr) << key;
    }
    const ByteRunKey absent(reinterpret_cast<const uint8_t*>("nothing"), 7, false);
    EXPECT_EQ(dictionary.remove(absent), nullptr);
}

TEST(ZStringDictionaryTest, EntriesWriteTheTextLineForm) {
    const std::u16string value = u"say \"hi\"\n";
    const DictionaryEntry entry(reinterpret_cast<const uint8_t*>("/ZOR/Q"), 6, ZString(value.data(), value.size()));
    std::ostringstream text;
    EXPECT_EQ(entry.write(text, 0, nullptr), 0u);
    EXPECT_EQ(text.str(), utf16le(u"\"/ZOR/Q=say \\\"hi\\\"\\n\"\n"));

    std::ostringstream binary;
    EXPECT_EQ(entry.write(binary, 1, nullptr), 6u + 2 * value.size());
    EXPECT_EQ(binary.str(), "/ZOR/Q" + utf16le(value));

    std::ostringstream swapped;
    EXPECT_EQ(entry.writeValue(swapped, 1, nullptr, 0), 2 * value.size());
    EXPECT_EQ(swapped.str(), table_fixtures::utf16be(value));

    const ByteRunKey empty(nullptr, 0, true);
    std::ostringstream nothing;
    EXPECT_EQ(empty.write(nothing, 0, nullptr), 0u);
    EXPECT_TRUE(nothing.str().empty());
    EXPECT_TRUE(empty.equals(ByteRunKey(nullptr, 0, false)));
}

TEST(ZStringDictionaryTest, FlatStringHandles) {
    ZString* first = nullptr;
    ZString* second = nullptr;
    const ZString hello(u"Hello", 5);
    zstrCopyNew(&first, &hello);
    zstrCreate(&second);
    EXPECT_EQ(zstrLengthWithNul(&second), 1u);
    zstrAssign(&second, &first);
    zstrAssign(&second, &second);
    zstrDestroy(&first);
    EXPECT_EQ(second->view(), u"Hello");
    EXPECT_EQ(zstrLengthWithNul(&second), 6u);

    char16_t one[2] = {u'x', u'x'};
    zstrCopyToBuffer(&second, one, 1, 0);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], u'x');
    char16_t three[3];
    EXPECT_THROW(zstrCopyToBuffer(&second, three, 3, 1), uint32_t);
    EXPECT_EQ(std::u16string(three), u"He");
    zstrDestroy(&second);

    ZString* none = nullptr;
    zstrDestroy(&none);
    ZStringDictionary* noDictionary = nullptr;
    zdictDestroy(&noDictionary);
    zstrModuleInit();
}

TEST(ZStringDictionaryTest, LoadsFromAFileStream) {
    const std::string path = testing::TempDir() + "localization_table_" + std::to_string(::getpid()) + ".zdct";
    {
        std::ofstream out(path, std::ios::binary);
        const std::string bytes = stringtable::writeVersion2({{"/ZOR/Title", u"Installieren"}});
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ZStringDictionary* dictionary = nullptr;
    zdictCreate(&dictionary);
    {
        std::ifstream in(path, std::ios::binary);
        zdictLoad(&dictionary, in);
    }
    ZString* result = nullptr;
    zdictLookup(&result, &dictionary, "$$$/ZOR/Title=Install", nullptr);
    EXPECT_EQ(result->view(), u"Installieren");
    zstrDestroy(&result);
    // A stream that failed to open loads nothing.
    std::ifstream missing(path + ".missing", std::ios::binary);
    zdictLoad(&dictionary, missing);
    zdictDestroy(&dictionary);
    std::remove(path.c_str());
}
