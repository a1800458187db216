// Choosing among the locales that ship string tables, by the user's language preferences.
#pragma once

#include <cstddef>
#include <string>

namespace platform {
class UserLanguages;
}

struct LocaleId {
    std::string language;  // lower case
    std::string script;    // "Hant"
    std::string region;    // upper case
};

// False, with every field empty, for a null string or one that breaks the tag syntax.
bool parseLocaleId(LocaleId& id, const char* text);

// "en-US", "sr-Cyrl-RS", "zh-CN", "zh-Hans": the script only where it tells locales apart.
std::string exactForm(const LocaleId& id);
// "en", "sr-Cyrl", "zh-Hant".
std::string looseForm(const LocaleId& id);

// The specific culture that stands for a neutral one ("en" gives "en-US"); empty when absent.
std::string lookupSpecificCulture(const std::string& name);

// The user's locale tags, separated by ';' ("de-AT;en-AT"); may be empty.
std::string getUserLocale();
std::string getUserLocale(const platform::UserLanguages& preferences);

// Moves the first entry from p on that matches the tag (exactly when strict) to p, shifting the
// ones between back; 1 when one was moved, else 0.
int moveFirstMatchToFront(const char** names, size_t count, size_t p, const std::string& tag, bool strict);

// Reorders the null-terminated array in place, best match first; returns how many matched.
int selectBestLocale(const char** names);
int selectBestLocale(const char** names, const std::string& userLocaleList);
