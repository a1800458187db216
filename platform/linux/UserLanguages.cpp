// Language preferences from the POSIX locale environment.
#include "platform/UserLanguages.h"

#include <algorithm>
#include <cstdlib>

namespace platform {
namespace {

// "de_AT.UTF-8@euro" gives "de_AT"; the neutral locales give nothing.
std::optional<std::string> localeName(const std::string& value) {
    std::string name = value.substr(0, value.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
    return name;
}

class EnvironmentUserLanguages : public UserLanguages {
public:
    LanguagePreferences read() const override {
        return languagePreferencesFrom(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"),
                                       std::getenv("LANGUAGE"));
    }
};

}  // namespace

LanguagePreferences languagePreferencesFrom(const char* lcAll, const char* lcMessages, const char* lang,
                                            const char* language) {
    LanguagePreferences preferences;
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value != nullptr && *value != 0) {
            preferences.locale = localeName(value);
            break;
        }
    }
    if (language != nullptr) {
        const std::string list = language;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(':', start), list.size());
            if (auto name = localeName(list.substr(start, end - start))) preferences.languages.push_back(*name);
            start = end + 1;
        }
    }
    if (preferences.languages.empty() && preferences.locale) preferences.languages.push_back(*preferences.locale);
    return preferences;
}

std::unique_ptr<UserLanguages> makeEnvironmentUserLanguages() { return std::make_unique<EnvironmentUserLanguages>(); }

}  // namespace platform
