// Markup expansion: escapes, named and numeric references and the texts that stay as they are.
#include "localization/Markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quirra_private;

namespace {

std::u16string expand(const std::u16string& text) {
    return std::u16string(expandMarkup(text.data(), text.size()).view());
}

}  // namespace

TEST(MarkupTest, ExpandsAsTabled) {
    struct Case {
        std::u16string text;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {u"", u""},
        {u"plain text", u"plain text"},
        // Escapes.
        {u"a\\nb\\rc\\td\\be\\\"f", u"a\nb\rc\td\be\"f"},
        {u"\\\\ and ^^", u"\\ and ^"},
        {u"\\x stays", u"\\x stays"},
        {u"^\\", u"^\\"},
        {u"ends in \\", u"ends in \\"},
        {u"ends in ^", u"ends in ^"},
        {u"^Q^[^]^{^}^C^R^T^D^B^#^!^I^S^n^r",
         u"\"\u201c\u201d\u2018\u2019\u00a9\u00ae\u2122\u00b0\u2022\u2318\u00ac\u2206\u2211\n\r"},
        {u"^C 2014", u"\u00a9 2014"},
        {u"^z", u"^z"},
        // Named references.
        {u"Fish #{amp} Chips", u"Fish & Chips"},
        {u"#{endl}#{tab}#{cr}#{lf}", u"\r\t\r\n"},
        {u"#{nbsp}#{yuml}#{quot}#{lt}#{gt}#{OElig}#{Yuml}#{circ}#{tilde}", u"\u00a0\u00ff\"<>\u0152\u0178\u02c6\u02dc"},
        {u"#{ensp}#{zwnj}#{ndash}#{mdash}#{ldquo}#{permil}#{rsaquo}#{euro}",
         u"\u2002\u200c\u2013\u2014\u201c\u2030\u203a\u20ac"},
        {u"#{ltx}", u"#{ltx}"},
        {u"#{AMP}", u"#{AMP}"},
        {u"#{amp", u"#{amp"},
        // Numeric references.
        {u"#{U+00E9}#{u00e9}#{e9}#{E9}", u"\u00e9\u00e9\u00e9\u00e9"},
        {u"#{a}", u"\n"},
        {u"#{U+1F600}", u"#{U+1F600}"},
        {u"#{U+}", u"#{U+}"},
        {u"#{U}", u"#{U}"},
        {u"#{}", u"#{}"},
        {u"#{", u"#{"},
        {u"x#{", u"x#{"},
        {u"#", u"#"},
        {u"# {amp}", u"# {amp}"},
        {u"##{amp}", u"#&"},
        {u"#{0}", std::u16string(1, u'\0')},
        {u"#{D800}", std::u16string(1, static_cast<char16_t>(0xD800))},
        // Both passes together.
        {u"\\#{amp}", u"\\&"},
        {u"^#{amp}", u"\u2318{amp}"},
        {u"\\\"quoted\\\"", u"\"quoted\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(expand(c.text), c.expected) << std::string(c.text.begin(), c.text.end());
    }
}

TEST(MarkupTest, EmptyTextYieldsTheSharedEmptyString) {
    EXPECT_TRUE(expandMarkup(u"", 0).sharesBufferWith(ZString()));
}
