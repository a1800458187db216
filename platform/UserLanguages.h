// The user's language preferences: the format locale and the ranked list of languages.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct LanguagePreferences {
    std::optional<std::string> locale;   // "de_AT": no codeset, no modifier
    std::vector<std::string> languages;  // most preferred first
};

// A seam: tests hand locale selection their own preferences.
class UserLanguages {
public:
    virtual ~UserLanguages() = default;
    virtual LanguagePreferences read() const = 0;
};

// Reads the environment afresh on every call: the locale is the first non-empty of LC_ALL,
// LC_MESSAGES and LANG; the languages are LANGUAGE split at ':', else that locale. "C" and
// "POSIX" count as nothing.
std::unique_ptr<UserLanguages> makeEnvironmentUserLanguages();

// The same rules over given values (null for an unset variable).
LanguagePreferences languagePreferencesFrom(const char* lcAll, const char* lcMessages, const char* lang,
                                            const char* language);

}  // namespace platform
