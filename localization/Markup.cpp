// Two passes over UTF-16 text, each writing into one buffer the size of its input.
#include "localization/Markup.h"

#include <array>
#include <memory>
#include <string_view>

namespace quirra_private {
namespace {

struct EscapePair {
    char16_t argument;
    char16_t replacement;
};

constexpr std::array<EscapePair, 5> kBackslashTable = {{
    {u'"', 0x0022}, {u'n', 0x000A}, {u'r', 0x000D}, {u't', 0x0009}, {u'b', 0x0008},
}};

constexpr std::array<EscapePair, 16> kCaretTable = {{
    {u'Q', 0x0022}, {u'[', 0x201C}, {u']', 0x201D}, {u'{', 0x2018}, {u'}', 0x2019}, {u'C', 0x00A9},
    {u'R', 0x00AE}, {u'T', 0x2122}, {u'D', 0x00B0}, {u'B', 0x2022}, {u'#', 0x2318}, {u'!', 0x00AC},
    {u'I', 0x2206}, {u'S', 0x2211}, {u'n', 0x000A}, {u'r', 0x000D},
}};

struct Entity {
    std::u16string_view name;
    char16_t unit;
};

// Line controls, then the HTML 4.01 Latin-1 and special-character entities in their standard order.
constexpr Entity kEntities[] = {
    {u"endl", 0x000D}, {u"tab", 0x0009}, {u"cr", 0x000D}, {u"lf", 0x000A},
    {u"nbsp", 0x00A0}, {u"iexcl", 0x00A1}, {u"cent", 0x00A2}, {u"pound", 0x00A3},
    {u"curren", 0x00A4}, {u"yen", 0x00A5}, {u"brvbar", 0x00A6}, {u"sect", 0x00A7},
    {u"uml", 0x00A8}, {u"copy", 0x00A9}, {u"ordf", 0x00AA}, {u"laquo", 0x00AB},
    {u"not", 0x00AC}, {u"shy", 0x00AD}, {u"reg", 0x00AE}, {u"macr", 0x00AF},
    {u"deg", 0x00B0}, {u"plusmn", 0x00B1}, {u"sup2", 0x00B2}, {u"sup3", 0x00B3},
    {u"acute", 0x00B4}, {u"micro", 0x00B5}, {u"para", 0x00B6}, {u"middot", 0x00B7},
    {u"cedil", 0x00B8}, {u"sup1", 0x00B9}, {u"ordm", 0x00BA}, {u"raquo", 0x00BB},
    {u"frac14", 0x00BC}, {u"frac12", 0x00BD}, {u"frac34", 0x00BE}, {u"iquest", 0x00BF},
    {u"Agrave", 0x00C0}, {u"Aacute", 0x00C1}, {u"Acirc", 0x00C2}, {u"Atilde", 0x00C3},
    {u"Auml", 0x00C4}, {u"Aring", 0x00C5}, {u"AElig", 0x00C6}, {u"Ccedil", 0x00C7},
    {u"Egrave", 0x00C8}, {u"Eacute", 0x00C9}, {u"Ecirc", 0x00CA}, {u"Euml", 0x00CB},
    {u"Igrave", 0x00CC}, {u"Iacute", 0x00CD}, {u"Icirc", 0x00CE}, {u"Iuml", 0x00CF},
    {u"ETH", 0x00D0}, {u"Ntilde", 0x00D1}, {u"Ograve", 0x00D2}, {u"Oacute", 0x00D3},
    {u"Ocirc", 0x00D4}, {u"Otilde", 0x00D5}, {u"Ouml", 0x00D6}, {u"times", 0x00D7},
    {u"Oslash", 0x00D8}, {u"Ugrave", 0x00D9}, {u"Uacute", 0x00DA}, {u"Ucirc", 0x00DB},
    {u"Uuml", 0x00DC}, {u"Yacute", 0x00DD}, {u"THORN", 0x00DE}, {u"szlig", 0x00DF},
    {u"agrave", 0x00E0}, {u"aacute", 0x00E1}, {u"acirc", 0x00E2}, {u"atilde", 0x00E3},
    {u"auml", 0x00E4}, {u"aring", 0x00E5}, {u"aelig", 0x00E6}, {u"ccedil", 0x00E7},
    {u"egrave", 0x00E8}, {u"eacute", 0x00E9}, {u"ecirc", 0x00EA}, {u"euml", 0x00EB},
    {u"igrave", 0x00EC}, {u"iacute", 0x00ED}, {u"icirc", 0x00EE}, {u"iuml", 0x00EF},
    {u"eth", 0x00F0}, {u"ntilde", 0x00F1}, {u"ograve", 0x00F2}, {u"oacute", 0x00F3},
    {u"ocirc", 0x00F4}, {u"otilde", 0x00F5}, {u"ouml", 0x00F6}, {u"divide", 0x00F7},
    {u"oslash", 0x00F8}, {u"ugrave", 0x00F9}, {u"uacute", 0x00FA}, {u"ucirc", 0x00FB},
    {u"uuml", 0x00FC}, {u"yacute", 0x00FD}, {u"thorn", 0x00FE}, {u"yuml", 0x00FF},
    {u"quot", 0x0022}, {u"amp", 0x0026}, {u"lt", 0x003C}, {u"gt", 0x003E},
    {u"OElig", 0x0152}, {u"oelig", 0x0153}, {u"Scaron", 0x0160}, {u"scaron", 0x0161},
    {u"Yuml", 0x0178}, {u"circ", 0x02C6}, {u"tilde", 0x02DC}, {u"ensp", 0x2002},
    {u"emsp", 0x2003}, {u"thinsp", 0x2009}, {u"zwnj", 0x200C}, {u"zwj", 0x200D},
    {u"lrm", 0x200E}, {u"rlm", 0x200F}, {u"ndash", 0x2013}, {u"mdash", 0x2014},
    {u"lsquo", 0x2018}, {u"rsquo", 0x2019}, {u"sbquo", 0x201A}, {u"ldquo", 0x201C},
    {u"rdquo", 0x201D}, {u"bdquo", 0x201E}, {u"dagger", 0x2020}, {u"Dagger", 0x2021},
    {u"permil", 0x2030}, {u"lsaquo", 0x2039}, {u"rsaquo", 0x203A}, {u"euro", 0x20AC},
};
static_assert(std::size(kEntities) == 132);

// Empty prefix last: it always applies and ends the search.
constexpr std::u16string_view kNumericPrefixes[] = {u"U+", u"u", u""};

template <size_t N>
const EscapePair* findEscape(const std::array<EscapePair, N>& table, char16_t argument) {
    for (const EscapePair& pair : table) {
        if (pair.argument == argument) return &pair;
    }
    return nullptr;
}

int hexValue(char16_t unit) {
    if (unit >= u'0' && unit <= u'9') return unit - u'0';
    if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
    if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
    return -1;
}

size_t expandEscapes(const char16_t* text, size_t count, char16_t* out) {
    size_t written = 0;
    for (size_t i = 0; i < count;) {
        const char16_t unit = text[i];
        if ((unit != u'\\' && unit != u'^') || i + 1 == count) {
            out[written++] = unit;
            ++i;
            continue;
        }
        const char16_t argument = text[i + 1];
        const EscapePair* pair =
            unit == u'\\' ? findEscape(kBackslashTable, argument) : findEscape(kCaretTable, argument);
        if (pair != nullptr) {
            out[written++] = pair->replacement;
        } else {
            out[written++] = unit;
            if (argument != unit) out[written++] = argument;
        }
        i += 2;
    }
    return written;
}

// Tries the reference whose '#' is at hash; on success writes its unit and returns the
// position after its '}', else returns 0.
size_t expandReference(std::u16string_view text, size_t hash, char16_t& unit) {
    const size_t start = hash + 2;
    const std::u16string_view rest = text.substr(start);
    for (const Entity& entity : kEntities) {
        if (entity.name.size() <= rest.size() && rest.substr(0, entity.name.size()) == entity.name) {
            const size_t close = start + entity.name.size();
            if (close < text.size() && text[close] == u'}') {
                unit = entity.unit;
                return close + 1;
            }
            return 0;
        }
    }
    size_t position = start;
    for (std::u16string_view prefix : kNumericPrefixes) {
        if (rest.substr(0, prefix.size()) == prefix && rest.size() > prefix.size()) {
            position += prefix.size();
            break;
        }
    }
    uint32_t value = 0;
    size_t digits = 0;
    while (digits < 4 && position < text.size() && hexValue(text[position]) >= 0) {
        value = value * 16 + static_cast<uint32_t>(hexValue(text[position]));
        ++digits;
        ++position;
    }
    if (digits == 0 || position >= text.size() || text[position] != u'}') return 0;
    unit = static_cast<char16_t>(value);
    return position + 1;
}

size_t expandReferences(std::u16string_view text, char16_t* out) {
    size_t written = 0;
    size_t i = 0;
    while (i < text.size()) {
        const size_t hash = text.find(u'#', i);
        if (hash == std::u16string_view::npos) {
            for (; i < text.size(); ++i) out[written++] = text[i];
            break;
        }
        for (; i < hash; ++i) out[written++] = text[i];
        char16_t unit = 0;
        const size_t after = (hash + 1 < text.size() && text[hash + 1] == u'{' && text.size() - hash >= 4)
                                 ? expandReference(text, hash, unit)
                                 : 0;
        if (after != 0) {
            out[written++] = unit;
            i = after;
        } else {
            out[written++] = u'#';
            i = hash + 1;
        }
    }
    return written;
}

}  // namespace

ZString expandMarkup(const char16_t* text, size_t count) {
    if (count == 0) return ZString();
    std::unique_ptr<char16_t[]> escaped(new char16_t[count]);
    const size_t escapedCount = expandEscapes(text, count, escaped.get());
    std::unique_ptr<char16_t[]> expanded(new char16_t[escapedCount + 1]);
    const size_t expandedCount = expandReferences({escaped.get(), escapedCount}, expanded.get());
    return ZString(expanded.get(), expandedCount);
}

}  // namespace quirra_private
