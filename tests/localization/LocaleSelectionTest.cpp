// Locale tags, the user's locale list and the best-match ordering of the shipped locales.
#include "localization/LocaleSelection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserLanguages.h"

namespace {

// The locales the bootstrapper ships, in the order it hands them over.
const std::vector<std::string> kShipped = {
    "cs_CZ", "da_DK", "de_DE", "en_AE", "en_GB", "en_IL", "en_US", "en_XM", "es_ES", "es_LA", "es_MX",
    "es_NA", "fi_FI", "fr_CA", "fr_FR", "fr_MA", "fr_XM", "hu_HU", "it_IT", "ja_JP", "ko_KR", "nb_NO",
    "nl_NL", "pl_PL", "pt_BR", "ru_RU", "sv_SE", "tr_TR", "uk_UA", "zh_CN", "zh_TW",
};

class FixedLanguages : public platform::UserLanguages {
public:
    explicit FixedLanguages(platform::LanguagePreferences preferences) : preferences_(std::move(preferences)) {}
    platform::LanguagePreferences read() const override { return preferences_; }

private:
    platform::LanguagePreferences preferences_;
};

struct Ordered {
    int matched;
    std::vector<std::string> names;
};

Ordered order(const std::vector<std::string>& available, const std::string& userList) {
    std::vector<const char*> names;
    for (const std::string& name : available) names.push_back(name.c_str());
    names.push_back(nullptr);
    Ordered result;
    result.matched = selectBestLocale(names.data(), userList);
    EXPECT_EQ(names.back(), nullptr);
    for (size_t i = 0; i + 1 < names.size(); ++i) result.names.push_back(names[i]);
    return result;
}

}  // namespace

TEST(LocaleSelectionTest, ParsesTags) {
    struct Case {
        const char* text;
        bool ok;
        std::string language, script, region;
    };
    const std::vector<Case> cases = {
        {"zh_TW", true, "zh", "Hant", "TW"},
        {"zh-Hant-TW", true, "zh", "Hant", "TW"},
        {"zh-tw", true, "zh", "Hant", "TW"},
        {"zh-Hant-CN", true, "zh", "Hans", "CN"},  // the region's script wins over the one given
        {"ZH-sg", true, "zh", "Hans", "SG"},
        {"zh-Hans", true, "zh", "Hans", ""},
        {"sr-RS", true, "sr", "Cyrl", "RS"},
        {"sr-latn-rs", true, "sr", "Latn", "RS"},
        {"iu", true, "iu", "Cans", ""},
        {"tg_TJ", true, "tg", "Cyrl", "TJ"},
        {"mn-CN", true, "mn", "Mong", "CN"},
        {"mn-SG", true, "mn", "Cyrl", "SG"},
        {"mn-MN", true, "mn", "", "MN"},
        {"pa-PK", true, "pa", "Arab", "PK"},
        {"pa-IN", true, "pa", "Guru", "IN"},
        {"ha-GH", true, "ha", "Latn", "GH"},
        {"az-AZ", true, "az", "", "AZ"},
        {"en-419", true, "en", "", "419"},
        {"de_AT", true, "de", "", "AT"},
        {"en--US", true, "en", "", ""},  // an empty segment ends the tag
        {"en-", true, "en", "", ""},
        {"en-US-POSIX", false, "", "", ""},
        {"english", false, "", "", ""},
        {"e", false, "", "", ""},
        {"en-Latn-US-x", false, "", "", ""},
        {"en-Latin", false, "", "", ""},
    };
    for (const Case& c : cases) {
        LocaleId id{"stale", "Stale", "ST"};
        EXPECT_EQ(parseLocaleId(id, c.text), c.ok) << c.text;
        EXPECT_EQ(id.language, c.language) << c.text;
        EXPECT_EQ(id.script, c.script) << c.text;
        EXPECT_EQ(id.region, c.region) << c.text;
    }
    LocaleId id{"x", "y", "z"};
    EXPECT_FALSE(parseLocaleId(id, nullptr));
    EXPECT_TRUE(id.language.empty() && id.script.empty() && id.region.empty());
}

TEST(LocaleSelectionTest, MatchFormsAndCultureTable) {
    struct Case {
        const char* tag;
        std::string exact, loose;
    };
    const std::vector<Case> cases = {
        {"en_US", "en-US", "en"},       {"sr-Cyrl-RS", "sr-Cyrl-RS", "sr-Cyrl"}, {"zh_CN", "zh-CN", "zh-Hans"},
        {"zh-Hans", "zh-Hans", "zh-Hans"}, {"zh_TW", "zh-TW", "zh-Hant"},      {"az-AZ", "az--AZ", "az-"},
        {"az-Latn-AZ", "az-Latn-AZ", "az-Latn"},
    };
    for (const Case& c : cases) {
        LocaleId id;
        ASSERT_TRUE(parseLocaleId(id, c.tag)) << c.tag;
        EXPECT_EQ(exactForm(id), c.exact) << c.tag;
        EXPECT_EQ(looseForm(id), c.loose) << c.tag;
    }
    EXPECT_EQ(lookupSpecificCulture("en"), "en-US");
    EXPECT_EQ(lookupSpecificCulture("es"), "es-ES");
    EXPECT_EQ(lookupSpecificCulture("pt"), "pt-BR");
    EXPECT_EQ(lookupSpecificCulture("sr-Latn"), "sr-Latn-CS");
    EXPECT_EQ(lookupSpecificCulture("mn"), "mn-CN");
    EXPECT_EQ(lookupSpecificCulture("zh-Hans"), "zh-CN");
    EXPECT_EQ(lookupSpecificCulture("zh-Hant"), "zh-TW");
    EXPECT_EQ(lookupSpecificCulture("zu"), "zu-ZA");
    EXPECT_EQ(lookupSpecificCulture("EN"), "");
    EXPECT_EQ(lookupSpecificCulture("xx"), "");
}

TEST(LocaleSelectionTest, OrdersTheShippedLocales) {
    struct Case {
        const char* userList;
        int matched;
        std::vector<std::string> front;
    };
    const std::vector<Case> cases = {
        {"fr-CH", 4, {"fr_FR", "fr_CA", "fr_MA", "fr_XM"}},
        {"de-AT;en-AT", 6, {"de_DE", "en_US", "en_AE", "en_GB", "en_IL", "en_XM"}},
        {"zh-Hans", 1, {"zh_CN"}},
        {"zh-Hant-HK", 1, {"zh_TW"}},
        {"en-GB", 5, {"en_GB", "en_US", "en_AE", "en_IL", "en_XM"}},
        {"es-MX;fr", 8, {"es_MX", "es_ES", "es_LA", "es_NA", "fr_FR", "fr_CA", "fr_MA", "fr_XM"}},
        {"en-US-POSIX", 0, {}},
        {"", 0, {}},
        {"xx-YY;C", 0, {}},
        // Separators other than ';' also split, and a name is never placed twice.
        {"pt_BR, pt ,pt-PT", 1, {"pt_BR"}},
        {"ja;ja-JP;ja", 1, {"ja_JP"}},
    };
    for (const Case& c : cases) {
        const Ordered result = order(kShipped, c.userList);
        EXPECT_EQ(result.matched, c.matched) << c.userList;
        ASSERT_EQ(result.names.size(), kShipped.size()) << c.userList;
        EXPECT_EQ(std::vector<std::string>(result.names.begin(), result.names.begin() + c.front.size()), c.front)
            << c.userList;
        // The rest keep their former relative order.
        std::vector<std::string> rest;
        for (const std::string& name : kShipped) {
            if (std::find(c.front.begin(), c.front.end(), name) == c.front.end()) rest.push_back(name);
        }
        EXPECT_EQ(std::vector<std::string>(result.names.begin() + c.front.size(), result.names.end()), rest)
            << c.userList;
    }
}

TEST(LocaleSelectionTest, ScriptIsPartOfTheIdentityOfScriptVariantLanguages) {
    const Ordered plain = order({"az_Latn_AZ", "az_Cyrl_AZ"}, "az-AZ");
    EXPECT_EQ(plain.matched, 0);
    const Ordered latin = order({"az_Cyrl_AZ", "az_Latn_AZ"}, "az-Latn-AZ");
    EXPECT_EQ(latin.matched, 1);
    EXPECT_EQ(latin.names.front(), "az_Latn_AZ");
    const Ordered serbian = order({"sr_Latn_CS", "sr_RS", "sr_Cyrl_BA"}, "sr-Latn");
    EXPECT_EQ(serbian.matched, 1);
    EXPECT_EQ(serbian.names.front(), "sr_Latn_CS");
}

TEST(LocaleSelectionTest, UserLocaleListFromThePreferences) {
    struct Case {
        std::optional<std::string> locale;
        std::vector<std::string> languages;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"de_AT", {"de", "en"}, "de-AT;en-AT"},
        {"en", {"fr", "de"}, "fr;de"},                  // no '_': no region suffix
        {"en_US_POSIX", {"fr"}, "fr"},                  // more than a region after '_'
        {"en_419", {"fr"}, "fr"},                        // digits are no region suffix
        {"de_AT", {"de-CH", "fil", "de_DE", "zh-Hans"}, "de-CH;fil-AT;de_DE;zh-Hans"},
        {std::nullopt, {"pt"}, "pt"},
        {"fr_FR", {}, ""},
        {"de_AT", {"caf\xC3\xA9", "it"}, "it-AT"},      // not ASCII: contributes nothing
    };
    for (const Case& c : cases) {
        const FixedLanguages source({c.locale, c.languages});
        EXPECT_EQ(getUserLocale(source), c.expected) << c.locale.value_or("(none)");
    }
}

TEST(LocaleSelectionTest, PreferencesFromTheLocaleEnvironment) {
    struct Case {
        const char *lcAll, *lcMessages, *lang, *language;
        std::optional<std::string> locale;
        std::vector<std::string> languages;
    };
    const std::vector<Case> cases = {
        {nullptr, nullptr, "de_AT.UTF-8@euro", nullptr, "de_AT", {"de_AT"}},
        {"fr_CA.UTF-8", "de_DE", "en_US", nullptr, "fr_CA", {"fr_CA"}},
        {"", "de_DE.ISO-8859-1", "en_US", nullptr, "de_DE", {"de_DE"}},
        {nullptr, nullptr, "de_AT.UTF-8", "de_AT:de::en@x:C", "de_AT", {"de_AT", "de", "en"}},
        {nullptr, nullptr, "C", nullptr, std::nullopt, {}},
        {"POSIX", nullptr, "de_DE", nullptr, std::nullopt, {}},
        {nullptr, nullptr, "C.UTF-8", nullptr, std::nullopt, {}},
        {nullptr, nullptr, nullptr, nullptr, std::nullopt, {}},
        {nullptr, nullptr, nullptr, "ja:en", std::nullopt, {"ja", "en"}},
    };
    for (const Case& c : cases) {
        const auto preferences = platform::languagePreferencesFrom(c.lcAll, c.lcMessages, c.lang, c.language);
        EXPECT_EQ(preferences.locale, c.locale) << (c.lang ? c.lang : "");
        EXPECT_EQ(preferences.languages, c.languages) << (c.lang ? c.lang : "");
    }
}

TEST(LocaleSelectionTest, EnvironmentReaderReadsAfreshEachTime) {
    struct Saved {
        const char* name;
        std::optional<std::string> value;
    };
    std::vector<Saved> saved;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"}) {
        const char* value = std::getenv(name);
        saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
        unsetenv(name);
    }
    const auto reader = platform::makeEnvironmentUserLanguages();
    setenv("LANG", "de_AT.UTF-8", 1);
    EXPECT_EQ(getUserLocale(*reader), "de_AT");
    setenv("LANGUAGE", "de:en", 1);
    EXPECT_EQ(getUserLocale(*reader), "de-AT;en-AT");
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(getUserLocale(*reader), "de;en");
    unsetenv("LANGUAGE");
    EXPECT_EQ(getUserLocale(), "");
    std::vector<std::string> names = {"de_DE", "en_US"};
    std::vector<const char*> pointers = {names[0].c_str(), names[1].c_str(), nullptr};
    EXPECT_EQ(selectBestLocale(pointers.data()), 0);  // the caller falls back to en_US
    for (const Saved& s : saved) {
        if (s.value) {
            setenv(s.name, s.value->c_str(), 1);
        } else {
            unsetenv(s.name);
        }
    }
}
