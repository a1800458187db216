// String conversions, GUID texts, replace and gunzip over valid and damaged input.
#include "foundation/utils/StringUtils.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <set>
#include <string>

namespace {

// Deflates with the given window bits: 15 + 16 for gzip, 15 for the zlib wrapper.
std::string deflateWith(const std::string& data, int windowBits) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, data.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string gzip(const std::string& data) { return deflateWith(data, 15 + 16); }

std::string sampleText() {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "<asset id=\"" + std::to_string(i) + "\">payload</asset>\n";
    return text;
}

}  // namespace

TEST(StringUtils, ReplaceScansLeftToRightAndSkipsInsertedText) {
    struct Case {
        std::string text, search, replacement, expected;
    } cases[] = {
        {"aba", "a", "aa", "aabaa"},
        {"aaaa", "aa", "b", "bb"},
        {"abc", "b", "", "ac"},
        {"abc", "x", "y", "abc"},
        {"abc", "", "", "abc"},
        {"abc", "", "z", "abc"},
        {"", "a", "b", ""},
        {"%20%20", "%20", " ", "  "},
    };
    for (auto& c : cases) {
        std::string text = c.text;
        StringUtils::Replace(text, c.search, c.replacement);
        EXPECT_EQ(text, c.expected) << "'" << c.text << "' '" << c.search << "' -> '" << c.replacement << "'";
    }
}

TEST(StringUtils, UTF8ToIntReadsLikeAtoiWithoutOverflow) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"12abc", 12}, {"  -7", -7}, {"+3", 3}, {"abc", 0}, {"", 0}, {"0010", 10},
        {"2147483647", INT_MAX}, {"99999999999999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (auto& c : cases)
        EXPECT_EQ(StringUtils::UTF8ToInt(c.text), c.expected) << c.text;
}

TEST(StringUtils, NumbersAndNativeTextConversions) {
    std::string text = "old";
    EXPECT_TRUE(StringUtils::LongToNativeString(-1, text));
    EXPECT_EQ(text, "-1");
    EXPECT_TRUE(StringUtils::LongToNativeString(INT64_MIN, text));
    EXPECT_EQ(text, "-9223372036854775808");
    EXPECT_TRUE(StringUtils::IntToNativeString(INT_MIN, text));
    EXPECT_EQ(text, "-2147483648");

    EXPECT_TRUE(StringUtils::UTF8ToNative(nullptr, text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(StringUtils::UTF8ToNative("gr\xC3\xBC\xC3\x9F", text));
    EXPECT_EQ(text, "gr\xC3\xBC\xC3\x9F");
    std::string utf8;
    EXPECT_TRUE(StringUtils::NativeToUTF8(std::string("a\0b", 3), utf8));
    EXPECT_EQ(utf8, std::string("a\0b", 3));
}

TEST(StringUtils, GUIDStringsAreUpperCaseGroupedAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        std::string guid;
        ASSERT_TRUE(StringUtils::GUIDString(guid));
        ASSERT_EQ(guid.size(), 36u);
        for (size_t p = 0; p < guid.size(); ++p) {
            if (p == 8 || p == 13 || p == 18 || p == 23)
                ASSERT_EQ(guid[p], '-') << guid;
            else
                ASSERT_TRUE((guid[p] >= '0' && guid[p] <= '9') || (guid[p] >= 'A' && guid[p] <= 'F')) << guid;
        }
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 500u);
}

TEST(StringUtils, GunzipInflatesWholeStreams) {
    const std::string text = sampleText();
    std::string huge(4 << 20, 'z');  // compresses about 1000-fold: many buffer growths
    struct Case {
        const char* name;
        std::string input, expected;
    } cases[] = {
        {"empty input", "", ""},
        {"text", gzip(text), text},
        {"empty member", gzip(""), ""},
        {"highly compressed", gzip(huge), huge},
        {"two members", gzip("first ") + gzip("second"), "first second"},
    };
    for (auto& c : cases) {
        std::string output = "stale";
        EXPECT_TRUE(StringUtils::GunzipString(c.input, output)) << c.name;
        EXPECT_TRUE(output == c.expected) << c.name << ": " << output.size() << " bytes";
    }
}

TEST(StringUtils, GunzipRefusesTruncatedDamagedAndForeignInput) {
    const std::string text = sampleText();
    const std::string whole = gzip(text);
    std::string badCrc = whole;
    badCrc[badCrc.size() - 6] ^= 0x55;
    std::string badLength = whole;
    badLength[badLength.size() - 2] ^= 0x01;
    std::string badBody = whole;
    badBody[whole.size() / 2] ^= 0xFF;
    struct Case {
        const char* name;
        std::string input;
    } cases[] = {
        {"header only", whole.substr(0, 10)},
        {"cut in the body", whole.substr(0, whole.size() / 2)},
        {"trailer missing", whole.substr(0, whole.size() - 8)},
        {"one trailer byte missing", whole.substr(0, whole.size() - 1)},
        {"crc damaged", badCrc},
        {"length damaged", badLength},
        {"body damaged", badBody},
        {"zlib wrapper", deflateWith(text, 15)},
        {"raw deflate", deflateWith(text, -15)},
        {"plain text", text},
        {"gzip magic alone", "\x1f\x8b"},
        {"trailing garbage", whole + "garbage"},
    };
    for (auto& c : cases) {
        std::string output = "stale";
        EXPECT_FALSE(StringUtils::GunzipString(c.input, output)) << c.name;
        EXPECT_TRUE(output.empty()) << c.name << ": " << output.size() << " bytes";
    }
}
