// The strict UTF-8 codec's edge cases: overlong forms, surrogates, truncation, the top of Unicode.
#include "foundation/utils/TextEncoding.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using ZEZUUtils::text::nextUtf8CodePoint;

// A valid input decodes to codes and encodes back to the same bytes; an invalid one is
// refused at its first byte, alone or after good text.
TEST(TextEncoding, Utf8Validation) {
    const struct {
        const char* name;
        std::string bytes;
        bool valid;
        std::u32string codes;
    } cases[] = {
        {"ascii", "abc", true, U"abc"},
        {"NUL", std::string(1, '\0'), true, std::u32string(1, U'\0')},
        {"two bytes", "\xc3\xa9", true, U"\u00e9"},
        {"three bytes", "\xe2\x82\xac", true, U"\u20ac"},
        {"four bytes", "\xf0\x9f\x98\x80", true, U"\U0001F600"},
        {"U+10FFFF", "\xf4\x8f\xbf\xbf", true, U"\U0010FFFF"},
        {"last before surrogates", "\xed\x9f\xbf", true, U"\ud7ff"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false, {}},
        {"overlong slash", "\xc0\xaf", false, {}},
        {"overlong three", "\xe0\x80\xaf", false, {}},
        {"overlong four", "\xf0\x8f\xbf\xbf", false, {}},
        {"surrogate", "\xed\xa0\x80", false, {}},
        {"truncated", "\xe2\x82", false, {}},
        {"truncated four", "\xf0\x9f\x98", false, {}},
        {"lone continuation", "\x80", false, {}},
        {"bad continuation", "\xc3\x28", false, {}},
        {"five-byte lead", "\xf8\x88\x80\x80\x80", false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZEZUUtils::text::isValidUtf8(c.bytes), c.valid) << c.name;
        if (!c.valid) {
            for (const size_t start : {size_t{0}, size_t{2}}) {
                const std::string text = std::string(start, 'k') + c.bytes;
                size_t at = start;
                EXPECT_FALSE(nextUtf8CodePoint(text, at)) << c.name;
                EXPECT_EQ(at, start) << c.name << ": a refused sequence must not move the position";
            }
            continue;
        }
        size_t at = 0;
        std::u32string codes;
        while (const std::optional<char32_t> code = nextUtf8CodePoint(c.bytes, at)) codes += *code;
        EXPECT_EQ(codes, c.codes) << c.name;
        EXPECT_EQ(at, c.bytes.size()) << c.name;
        std::string encoded;
        for (const char32_t code : c.codes) ZEZUUtils::text::appendUtf8(encoded, code);
        EXPECT_EQ(encoded, c.bytes) << c.name;
    }
}

TEST(TextEncoding, EmptyAndPastTheEnd) {
    EXPECT_TRUE(ZEZUUtils::text::isValidUtf8(""));
    const std::string text = "a\xc3\xa9";
    size_t at = text.size();
    EXPECT_FALSE(nextUtf8CodePoint(text, at));
    EXPECT_EQ(at, text.size());
}

}  // namespace
