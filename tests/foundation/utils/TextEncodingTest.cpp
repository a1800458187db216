// UTF-8 validation edge cases: overlong forms, surrogates, truncation, the top of Unicode.
#include "foundation/utils/TextEncoding.h"

#include <gtest/gtest.h>

namespace {

TEST(TextEncoding, Utf8Validation) {
    const struct {
        const char* name;
        std::string bytes;
        bool valid;
    } cases[] = {
        {"ascii", "abc", true},
        {"two bytes", "\xc3\xa9", true},
        {"three bytes", "\xe2\x82\xac", true},
        {"four bytes", "\xf0\x9f\x98\x80", true},
        {"U+10FFFF", "\xf4\x8f\xbf\xbf", true},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false},
        {"overlong slash", "\xc0\xaf", false},
        {"overlong three", "\xe0\x80\xaf", false},
        {"surrogate", "\xed\xa0\x80", false},
        {"truncated", "\xe2\x82", false},
        {"lone continuation", "\x80", false},
        {"bad continuation", "\xc3\x28", false},
        {"five-byte lead", "\xf8\x88\x80\x80\x80", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ZEZUUtils::text::isValidUtf8(c.bytes), c.valid) << c.name;
}

}  // namespace
