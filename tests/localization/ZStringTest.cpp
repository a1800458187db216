// ZString sharing, copying out, serialisation and the 8-bit conversions.
#include "localization/ZString.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace quirra_private;

namespace {

std::u16string unitsOf(const std::string& littleEndianBytes) {
    std::u16string units;
    for (size_t i = 0; i + 1 < littleEndianBytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<uint8_t>(littleEndianBytes[i]) |
                                              (static_cast<uint8_t>(littleEndianBytes[i + 1]) << 8)));
    return units;
}

}  // namespace

TEST(ZStringTest, EmptyStringsShareTheImmortalEmptyBuffer) {
    ZString a;
    ZString b;
    EXPECT_TRUE(a.sharesBufferWith(b));
    EXPECT_EQ(a.length(), 0u);
    EXPECT_EQ(a.lengthWithTerminator(), 1u);
    EXPECT_TRUE(ZString(u"", 0).sharesBufferWith(a));
    EXPECT_TRUE(ZString::fromBytes(nullptr, 0).sharesBufferWith(a));
    // The empty buffer keeps a reference of its own, so no release can free it.
    EXPECT_GE(a.bufferReferences(), 3u);
}

TEST(ZStringTest, AssignmentSharesAndDestroyingTheFirstLeavesTheSecond) {
    auto* first = new ZString(u"Hello", 5);
    ZString second;
    second = *first;
    EXPECT_TRUE(second.sharesBufferWith(*first));
    EXPECT_EQ(second.bufferReferences(), 2u);
    delete first;
    EXPECT_EQ(second.bufferReferences(), 1u);
    EXPECT_EQ(second.view(), u"Hello");
    const ZString& same = second;
    second = same;  // assigning a string to itself does nothing
    EXPECT_EQ(second.bufferReferences(), 1u);
    EXPECT_EQ(second.view(), u"Hello");
}

TEST(ZStringTest, CopyToBufferTruncatesTerminatesAndThrowsOnlyWhenAsked) {
    const ZString hello(u"Hello", 5);
    struct Case {
        size_t capacity;
        bool throwFlag;
        std::u16string expected;
        bool throws;
    };
    const std::vector<Case> cases = {
        {6, true, u"Hello", false}, {10, true, u"Hello", false}, {3, false, u"He", false},
        {3, true, u"He", true},     {1, false, u"", false},      {1, true, u"", true},
    };
    for (const Case& c : cases) {
        std::vector<char16_t> buffer(12, u'x');
        bool threw = false;
        try {
            hello.copyToBuffer(buffer.data() + 1, c.capacity, c.throwFlag);
        } catch (uint32_t code) {
            threw = true;
            EXPECT_EQ(code, kErrorBUFF);
        }
        EXPECT_EQ(threw, c.throws) << c.capacity;
        EXPECT_EQ(std::u16string(buffer.data() + 1), c.expected) << c.capacity;
        EXPECT_EQ(buffer[0], u'x') << "wrote before the buffer";
        EXPECT_EQ(buffer[1 + c.capacity], u'x') << "wrote past the capacity";
    }
}

TEST(ZStringTest, CopyToBufferEdgesOfTheInterface) {
    std::vector<char16_t> buffer(4, u'x');
    ZString().copyToBuffer(buffer.data(), 1, true);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], u'x');

    // Capacity 0 writes nothing at all, and with the flag it reports the short buffer.
    buffer.assign(4, u'x');
    ZString(u"ab", 2).copyToBuffer(buffer.data() + 1, 0, false);
    EXPECT_EQ(buffer, std::vector<char16_t>(4, u'x'));
    EXPECT_THROW(ZString(u"ab", 2).copyToBuffer(buffer.data() + 1, 0, true), uint32_t);
    EXPECT_EQ(buffer, std::vector<char16_t>(4, u'x'));
    EXPECT_THROW(ZString(u"ab", 2).copyToBuffer(nullptr, 4, false), uint32_t);
}

TEST(ZStringTest, TextWriteEscapesLineBreaksAndQuotes) {
    struct Case {
        std::u16string value;
        std::u16string written;
    };
    const std::vector<Case> cases = {
        {u"a\"b", u"a\\\"b\"\n"},
        {u"one\ntwo\rthree", u"one\\ntwo\\rthree\"\n"},
        {u"plain", u"plain\"\n"},
        {u"", u"\"\n"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        EXPECT_EQ(ZString(c.value.data(), c.value.size()).write(out, false, nullptr), 0u);
        EXPECT_EQ(unitsOf(out.str()), c.written);
    }
}

TEST(ZStringTest, BinaryWriteRawOrEncoded) {
    const std::u16string value = u"\u00e9t\u00e9";
    const ZString text(value.data(), value.size());
    std::ostringstream raw;
    EXPECT_EQ(text.write(raw, true, nullptr), 6u);
    EXPECT_EQ(unitsOf(raw.str()), value);

    const uint32_t utf8 = 1;
    std::ostringstream asUtf8;
    EXPECT_EQ(text.write(asUtf8, true, &utf8), 5u);
    EXPECT_EQ(asUtf8.str(), "\xC3\xA9t\xC3\xA9");

    const uint32_t system = 0;
    std::ostringstream asSystem;
    EXPECT_EQ(text.write(asSystem, true, &system), 3u);
    EXPECT_EQ(asSystem.str(), "\x8Et\x8E");

    std::ostringstream empty;
    EXPECT_EQ(ZString().write(empty, true, nullptr), 0u);
    EXPECT_TRUE(empty.str().empty());
}

TEST(ZStringTest, DecodingBySelector) {
    const uint32_t utf8 = 1;
    const uint32_t system = 0;
    struct Case {
        std::string bytes;
        const uint32_t* selector;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {"\xC3\xA9", &utf8, u"\u00e9"},
        {"\xC3\xA9", &system, u"\u221a\u00a9"},  // the same bytes in Mac Roman
        {"\xC3\xA9", nullptr, u"\u221a\u00a9"},
        {"\xF0\x9F\x98\x80", &utf8, u"\U0001F600"},
        {"\xDB\xF0", &system, u"\u20ac\uf8ff"},
        // Strict UTF-8: every malformed input decodes to nothing.
        {"ok\xC3", &utf8, u""},
        {"\xC0\xAF", &utf8, u""},
        {"\xED\xA0\x80", &utf8, u""},
        {"\xF4\x90\x80\x80", &utf8, u""},
        {"\x80", &utf8, u""},
        {"a\xC3(", &utf8, u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZString(c.bytes.data(), c.bytes.size(), c.selector).view(), c.expected) << c.bytes;
        EXPECT_EQ(unitsNeededFor8BitText(c.bytes.data(), c.bytes.size(), c.selector), c.expected.size());
        GrowableUnitBuffer buffer;
        convert8BitTextToUtf16(c.bytes.data(), c.bytes.size(), buffer, c.selector);
        EXPECT_EQ(std::u16string(buffer.data(), buffer.length()), c.expected);
    }
}

TEST(ZStringTest, EncodingReplacesWhatItCannotEncode) {
    const uint32_t utf8 = 1;
    struct Case {
        std::u16string units;
        const uint32_t* selector;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {u"a\u4e2db", nullptr, "a?b"},
        {u"\u00e9", nullptr, "\x8E"},
        {std::u16string(u"x\xD800y", 3), &utf8, "x?y"},
        {std::u16string(u"\xDC00", 1), &utf8, "?"},
        {std::u16string(u"\xD800", 1), nullptr, "?"},
        {u"\U0001F600", &utf8, "\xF0\x9F\x98\x80"},
        {std::u16string(u"a\0b", 3), &utf8, std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bytesNeededForUtf16(c.units.data(), c.units.size(), c.selector), c.expected.size() + 1);
        std::vector<char> buffer(16, 'x');
        EXPECT_EQ(convertUtf16To8BitText(c.units.data(), c.units.size(), buffer.data(), buffer.size(), c.selector),
                  c.expected.size());
        EXPECT_EQ(std::string(buffer.data(), c.expected.size()), c.expected);
        EXPECT_EQ(buffer[c.expected.size()], 0);
    }
}

TEST(ZStringTest, EncodingIntoShortOrMissingBuffers) {
    const std::u16string units = u"Hello";
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(convertUtf16To8BitText(units.data(), units.size(), buffer, 3, nullptr), 2u);
    EXPECT_EQ(std::string(buffer, 3), std::string("He\0", 3));
    EXPECT_EQ(buffer[3], 'x');
    char untouched = 'x';
    EXPECT_EQ(convertUtf16To8BitText(units.data(), units.size(), &untouched, 0, nullptr), 0u);
    EXPECT_EQ(untouched, 'x');
    EXPECT_THROW(convertUtf16To8BitText(units.data(), units.size(), nullptr, 8, nullptr), uint32_t);

    // Cut before a UTF-8 sequence that does not fit whole.
    const uint32_t utf8 = 1;
    const std::u16string accented = u"a\u00e9\u20ac";
    char short_[8];
    for (const auto& [capacity, expected] : std::vector<std::pair<size_t, std::string>>{
             {2, "a"}, {3, "a"}, {4, "a\xC3\xA9"}, {6, "a\xC3\xA9"}, {7, "a\xC3\xA9\xE2\x82\xAC"}}) {
        EXPECT_EQ(convertUtf16To8BitText(accented.data(), accented.size(), short_, capacity, &utf8), expected.size());
        EXPECT_EQ(std::string(short_), expected) << capacity;
    }
}

TEST(ZStringTest, GrowableBuffersGrowFromAnyCapacity) {
    for (size_t initial : {0u, 1u, 2u, 256u}) {
        GrowableUnitBuffer buffer(initial);
        for (char16_t i = 0; i < 600; ++i) buffer.append(i);
        ASSERT_EQ(buffer.length(), 600u);
        EXPECT_GE(buffer.capacity(), 600u);
        for (char16_t i = 0; i < 600; ++i) ASSERT_EQ(buffer.data()[i], i);
    }
}
