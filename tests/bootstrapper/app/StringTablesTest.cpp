// The bundle's string tables: their sources cover every key the program uses, and the built tables give those texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrapper/support/SupportAddress.h"
#include "localization/KeyString.h"
#include "localization/Markup.h"
#include "localization/TextEncoding.h"
#include "localization/ZDictFlat.h"
#include "tests/support/FileContents.h"

namespace fs = std::filesystem;

namespace {

const char* const kLocales[] = {"en_US", "fr_FR", "ja_JP"};
// A default text no table holds, so a lookup that falls back to it shows.
const char kAbsent[] = "(absent from the table)";

std::string environmentFolder(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

using test_support::readFile;

fs::path sourceOf(const std::string& locale) {
    return fs::path(environmentFolder("PROJECT_SOURCE_DIR")) / "bootstrapper/resources/Dictionary" / locale /
           "stringTable.txt";
}

fs::path builtTableOf(const std::string& locale) {
    return fs::path(environmentFolder("PROJECT_BINARY_DIR")) / "MSPInstaller.app/Contents/Resources/Dictionary" /
           locale / "stringTable.zdct";
}

// One source: key (without "$$$") to its markup text, with every line's faults collected.
struct Source {
    std::map<std::string, std::string> values;
    std::vector<std::string> faults;
};

// Markup escapes this table format knows; any other '\' or '^' must be doubled to stand for itself.
bool knownEscape(char mark, char argument) {
    if (argument == mark) return true;
    const std::string backslash = "\"nrtb";
    const std::string caret = "Q[]{}CRTDB#!ISnr";
    return (mark == '\\' ? backslash : caret).find(argument) != std::string::npos;
}

Source parseSource(const std::string& locale) {
    Source source;
    const std::string bytes = readFile(sourceOf(locale));
    if (bytes.empty()) {
        source.faults.push_back("missing or empty");
        return source;
    }
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) source.faults.push_back("starts with a byte-order mark");
    if (bytes.back() != '\n') source.faults.push_back("last line has no line break");
    std::istringstream in(bytes);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = "line " + std::to_string(number) + ": ";
        std::u16string decoded;
        if (!quirra_private::decodeUtf8Strict(reinterpret_cast<const uint8_t*>(line.data()), line.size(), decoded)) {
            source.faults.push_back(where + "not UTF-8");
            continue;
        }
        if (line.find('\r') != std::string::npos) source.faults.push_back(where + "carriage return");
        const size_t equals = line.find('=');
        if (line.rfind("$$$/ZOR/", 0) != 0 || equals == std::string::npos || equals == 8) {
            source.faults.push_back(where + "not a \"$$$/ZOR/Key=text\" line");
            continue;
        }
        const std::string key = line.substr(3, equals - 3);
        const std::string value = line.substr(equals + 1);
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] != '\\' && value[i] != '^') continue;
            if (i + 1 == value.size() || !knownEscape(value[i], value[i + 1])) {
                source.faults.push_back(where + "a lone '" + value[i] + "' (write it twice)");
            }
            ++i;
        }
        if (!source.values.emplace(key, value).second) source.faults.push_back(where + "repeats " + key);
    }
    return source;
}

// The code of a C++ source with its comments blanked out, so that keys named in prose do not count.
std::string withoutComments(const std::string& text) {
    std::string out = text;
    char quote = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const char c = out[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '/' && i + 1 < out.size() && out[i + 1] == '/') {
            while (i < out.size() && out[i] != '\n') out[i++] = ' ';
        } else if (c == '/' && i + 1 < out.size() && out[i + 1] == '*') {
            const size_t end = out.find("*/", i + 2);
            const size_t stop = end == std::string::npos ? out.size() : end + 2;
            for (; i < stop; ++i)
                if (out[i] != '\n') out[i] = ' ';
            --i;
        }
    }
    return out;
}

// Every "$$$/ZOR/Name" the program's sources name, with each default text that one literal holds whole.
std::map<std::string, std::set<std::string>> keysInProgramSources() {
    std::map<std::string, std::set<std::string>> keys;
    const std::regex keyString(R"re("\$\$\$(/ZOR/[A-Za-z0-9_]+)(=([^"\\]*))?("\s*[^"\s]|[^"]))re");
    const fs::path top = fs::path(environmentFolder("PROJECT_SOURCE_DIR")) / "bootstrapper";
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        const std::string extension = entry.path().extension().string();
        if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
        const std::string text = withoutComments(readFile(entry.path()));
        for (std::sregex_iterator it(text.begin(), text.end(), keyString), end; it != end; ++it) {
            const std::smatch& match = *it;
            const bool wholeLiteral = match[2].matched && match[4].str().front() == '"';
            auto& defaultTexts = keys[match[1].str()];
            if (wholeLiteral && match[3].length() > 0) defaultTexts.insert(match[3].str());
        }
    }
    return keys;
}

std::u16string utf16(const std::string& text) {
    std::u16string out;
    EXPECT_TRUE(quirra_private::decodeUtf8Strict(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out));
    return out;
}

std::u16string expanded(const std::string& markup) {
    const std::u16string text = utf16(markup);
    return std::u16string(quirra_private::expandMarkup(text.data(), text.size()).view());
}

std::string utf8(const std::u16string& text) { return quirra_private::encodeUtf8(text.data(), text.size()); }

// A built table loaded through the flat interface, looked up as the bootstrapper looks texts up.
class BuiltTable {
public:
    explicit BuiltTable(const fs::path& path) {
        zdictCreate(&dictionary_);
        std::ifstream in(path, std::ios::binary);
        opened_ = static_cast<bool>(in);
        if (opened_) zdictLoad(&dictionary_, in);
    }
    ~BuiltTable() { zdictDestroy(&dictionary_); }
    BuiltTable(const BuiltTable&) = delete;
    BuiltTable& operator=(const BuiltTable&) = delete;

    bool opened() const { return opened_; }
    std::u16string lookup(const std::string& keyString) {
        quirra_private::ZString* result = nullptr;
        zdictLookup(&result, &dictionary_, keyString.c_str(), nullptr);
        std::vector<char16_t> buffer(zstrLengthWithNul(&result));
        zstrCopyToBuffer(&result, buffer.data(), static_cast<uint32_t>(buffer.size()), 0);
        zstrDestroy(&result);
        return std::u16string(buffer.data());
    }

private:
    quirra_private::ZStringDictionary* dictionary_ = nullptr;
    bool opened_ = false;
};

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
    return found;
}

}  // namespace

TEST(StringTablesTest, SourcesAreWellFormedAndHoldTheSameKeys) {
    const Source english = parseSource("en_US");
    for (const char* locale : kLocales) {
        SCOPED_TRACE(locale);
        const Source source = parseSource(locale);
        for (const auto& fault : source.faults) ADD_FAILURE() << sourceOf(locale) << ": " << fault;
        for (const auto& [key, value] : english.values) {
            auto it = source.values.find(key);
            if (it == source.values.end()) {
                ADD_FAILURE() << key << " is missing";
                continue;
            }
            EXPECT_FALSE(it->second.empty()) << key;
            // A translation keeps the placeholders that the program fills in.
            EXPECT_EQ(count(it->second, "@#"), count(value, "@#")) << key << ": " << it->second;
        }
        for (const auto& entry : source.values)
            EXPECT_TRUE(english.values.count(entry.first)) << entry.first << " is not in en_US";
    }
}

TEST(StringTablesTest, EveryKeyTheProgramUsesIsInEachSource) {
    const auto used = keysInProgramSources();
    for (const char* locale : kLocales) {
        SCOPED_TRACE(locale);
        const Source source = parseSource(locale);
        for (const auto& entry : used) EXPECT_TRUE(source.values.count(entry.first)) << entry.first << " is missing";
    }
    // Each built table answers every key the program asks for from its own texts, never the default.
    for (const char* locale : kLocales) {
        SCOPED_TRACE(locale);
        BuiltTable table(builtTableOf(locale));
        ASSERT_TRUE(table.opened()) << builtTableOf(locale);
        for (const auto& entry : used) {
            EXPECT_NE(utf8(table.lookup("$$$" + entry.first + "=" + kAbsent)), kAbsent) << entry.first;
        }
    }
    // The English table says what the program would show without it.
    const Source english = parseSource("en_US");
    for (const auto& [key, defaultTexts] : used) {
        auto it = english.values.find(key);
        if (it == english.values.end()) continue;
        for (const auto& defaultText : defaultTexts) EXPECT_EQ(utf8(expanded(it->second)), defaultText) << key;
    }
}

TEST(StringTablesTest, EachBuiltTableGivesItsSourcesTexts) {
    for (const char* locale : kLocales) {
        SCOPED_TRACE(locale);
        BuiltTable table(builtTableOf(locale));
        ASSERT_TRUE(table.opened()) << builtTableOf(locale) << " is missing: build bootstrapper_bundle";
        const Source source = parseSource(locale);
        ASSERT_FALSE(source.values.empty());
        for (const auto& [key, value] : source.values) {
            EXPECT_EQ(utf8(table.lookup("$$$" + key + "=" + kAbsent)), utf8(expanded(value))) << key;
        }
        EXPECT_EQ(utf8(table.lookup("$$$/ZOR/NoSuchKey=fallback")), "fallback");
    }
}

TEST(StringTablesTest, TitlesLinksAndLineBreaksAsShown) {
    struct Case {
        const char* locale;
        const char* key;
        std::string expected;
    };
    const std::string support = kSupportAddress;
    const std::vector<Case> cases = {
        {"en_US", "$$$/ZOR/QuitButton=", "&Quit"},
        {"fr_FR", "$$$/ZOR/QuitButton=", "&Quitter"},
        {"ja_JP", "$$$/ZOR/QuitButton=", "終了(&Q)"},
        {"en_US", "$$$/ZOR/CancelConfirmYes=", "&Yes"},
        {"ja_JP", "$$$/ZOR/CancelConfirmYes=", "はい(&Y)"},
        {"en_US", "$$$/ZOR/ZSSignCheckFailed=",
         "There seems to be a problem with Morvane Studio Packager. Please contact Customer Support.\n"
         "Customer Support: " +
             support},
    };
    for (const auto& c : cases) {
        BuiltTable table(builtTableOf(c.locale));
        ASSERT_TRUE(table.opened()) << c.locale;
        EXPECT_EQ(utf8(table.lookup(c.key)), c.expected) << c.locale << " " << c.key;
    }
    for (const char* locale : kLocales) {
        SCOPED_TRACE(locale);
        BuiltTable table(builtTableOf(locale));
        EXPECT_EQ(utf8(table.lookup("$$$/ZOR/CustomerSupportLink=")), support);
        EXPECT_EQ(utf8(table.lookup("$$$/ZOR/ZAMLink=")), support);
        const std::string signCheck = utf8(table.lookup("$$$/ZOR/ZSSignCheckFailed="));
        EXPECT_EQ(count(signCheck, "\n"), 1u) << signCheck;
        EXPECT_TRUE(signCheck.size() > support.size() &&
                    signCheck.compare(signCheck.size() - support.size(), support.size(), support) == 0)
            << signCheck;
        // Every button title carries an accelerator the window takes away.
        for (const char* key : {"QuitButton", "RetryButton", "AuthProxySubmitButton", "AuthProxyCancelButton",
                                "CancelConfirmYes", "CancelConfirmNo"}) {
            EXPECT_NE(utf8(table.lookup(std::string("$$$/ZOR/") + key + "=")).find('&'), std::string::npos) << key;
        }
    }
}
