// Locale tags: parsing, match forms, the neutral-culture table and the best-match ordering.
#include "localization/LocaleSelection.h"

#include <cctype>
#include <map>
#include <vector>

#include "platform/UserLanguages.h"

namespace {

bool isAlphanumeric(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool isLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

bool isScriptVariant(const std::string& language) {
    for (const char* variant : {"az", "bs", "ha", "iu", "sr", "tg", "uz"}) {
        if (language == variant) return true;
    }
    return false;
}

bool isAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) return false;
    }
    return true;
}

const std::map<std::string, std::string>& neutralCultureTable() {
    static const std::map<std::string, std::string> table = [] {
        // Neutral culture and the region of the specific culture that stands for it.
        static const char* const rows[][2] = {
            {"af", "ZA"}, {"am", "ET"}, {"ar", "SA"}, {"arn", "CL"}, {"as", "IN"}, {"az-Cyrl", "AZ"},
            {"az-Latn", "AZ"}, {"ba", "RU"}, {"be", "BY"}, {"bg", "BG"}, {"bn", "IN"}, {"bo", "CN"},
            {"br", "FR"}, {"bs-Cyrl", "BA"}, {"bs-Latn", "BA"}, {"ca", "ES"}, {"co", "FR"}, {"cs", "CZ"},
            {"cy", "GB"}, {"da", "DK"}, {"de", "DE"}, {"dsb", "DE"}, {"dv", "MV"}, {"el", "GR"},
            {"en", "US"}, {"es", "ES"}, {"et", "EE"}, {"eu", "ES"}, {"fa", "IR"}, {"fi", "FI"},
            {"fil", "PH"}, {"fo", "FO"}, {"fr", "FR"}, {"fy", "NL"}, {"ga", "IE"}, {"gd", "GB"},
            {"gl", "ES"}, {"gsw", "FR"}, {"gu", "IN"}, {"ha-Latn", "NG"}, {"he", "IL"}, {"hi", "IN"},
            {"hr", "HR"}, {"hsb", "DE"}, {"hu", "HU"}, {"hy", "AM"}, {"id", "ID"}, {"ig", "NG"},
            {"ii", "CN"}, {"is", "IS"}, {"it", "IT"}, {"iu-Cans", "CA"}, {"iu-Latn", "CA"}, {"ja", "JP"},
            {"ka", "GE"}, {"kk", "KZ"}, {"kl", "GL"}, {"km", "KH"}, {"kn", "IN"}, {"ko", "KR"},
            {"kok", "IN"}, {"ky", "KG"}, {"lb", "LU"}, {"lo", "LA"}, {"lt", "LT"}, {"lv", "LV"},
            {"mi", "NZ"}, {"mk", "MK"}, {"ml", "IN"}, {"mn", "CN"}, {"moh", "CA"}, {"mr", "IN"},
            {"ms", "MY"}, {"mt", "MT"}, {"nb", "NO"}, {"ne", "NP"}, {"nl", "NL"}, {"nn", "NO"},
            {"nso", "ZA"}, {"oc", "FR"}, {"or", "IN"}, {"pa", "IN"}, {"pl", "PL"}, {"prs", "AF"},
            {"ps", "AF"}, {"pt", "BR"}, {"qut", "GT"}, {"quz", "BO"}, {"rm", "CH"}, {"ro", "RO"},
            {"ru", "RU"}, {"rw", "RW"}, {"sa", "IN"}, {"sah", "RU"}, {"se", "NO"}, {"si", "LK"},
            {"sk", "SK"}, {"sl", "SI"}, {"sma", "NO"}, {"smj", "NO"}, {"smn", "FI"}, {"sms", "FI"},
            {"sq", "AL"}, {"sr-Cyrl", "CS"}, {"sr-Latn", "CS"}, {"sv", "SE"}, {"sw", "KE"}, {"syr", "SY"},
            {"ta", "IN"}, {"te", "IN"}, {"tg-Cyrl", "TJ"}, {"th", "TH"}, {"tk", "TM"}, {"tn", "ZA"},
            {"tr", "TR"}, {"tt", "RU"}, {"tzm", "DZ"}, {"ug", "CN"}, {"uk", "UA"}, {"ur", "PK"},
            {"uz-Cyrl", "UZ"}, {"uz-Latn", "UZ"}, {"vi", "VN"}, {"wo", "SN"}, {"xh", "ZA"}, {"yo", "NG"},
            {"zu", "ZA"},
        };
        std::map<std::string, std::string> built;
        for (const auto& row : rows) built[row[0]] = std::string(row[0]) + "-" + row[1];
        built["zh-Hans"] = "zh-CN";
        built["zh-Hant"] = "zh-TW";
        return built;
    }();
    return table;
}

void applyDefaultScript(LocaleId& id, bool scriptGiven) {
    const std::string& l = id.language;
    const std::string& r = id.region;
    if (!scriptGiven) {
        if (l == "sr" || l == "tg" || l == "uz") id.script = "Cyrl";
        if (l == "iu") id.script = "Cans";
    }
    if (l == "zh" && (r == "CN" || r == "SG")) id.script = "Hans";
    if (l == "zh" && (r == "TW" || r == "HK" || r == "MO")) id.script = "Hant";
    if (l == "mn" && r == "CN") id.script = "Mong";
    if (l == "mn" && r == "SG") id.script = "Cyrl";
    if (l == "pa" && r == "PK") id.script = "Arab";
    if (l == "pa" && r == "IN") id.script = "Guru";
    if (l == "ha" && (r == "GH" || r == "NE")) id.script = "Latn";
}

std::vector<std::string> splitCandidates(const std::string& list) {
    std::vector<std::string> candidates;
    std::string current;
    for (char c : list) {
        if (isAlphanumeric(c) || c == '-' || c == '_') {
            current.push_back(c);
        } else if (!current.empty()) {
            candidates.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) candidates.push_back(current);
    return candidates;
}

size_t countNames(const char** names) {
    size_t count = 0;
    while (names[count] != nullptr) ++count;
    return count;
}

}  // namespace

bool parseLocaleId(LocaleId& id, const char* text) {
    id = LocaleId();
    if (text == nullptr) return false;
    enum class State { Start, AfterLanguage, AfterScript, Final } state = State::Start;
    LocaleId parsed;
    const char* at = text;
    while (true) {
        const char* begin = at;
        while (isAlphanumeric(*at)) ++at;
        const std::string segment(begin, at);
        if (segment.empty()) break;
        const size_t n = segment.size();
        if (state == State::Start && (n == 2 || n == 3)) {
            parsed.language = segment;
            state = State::AfterLanguage;
        } else if (state == State::AfterLanguage && n == 4) {
            parsed.script = segment;
            state = State::AfterScript;
        } else if ((state == State::AfterLanguage || state == State::AfterScript) && (n == 2 || n == 3)) {
            parsed.region = segment;
            state = State::Final;
        } else {
            return false;
        }
        if (*at == 0) break;
        ++at;  // exactly one separator
    }
    for (char& c : parsed.language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < parsed.script.size(); ++i) {
        const auto c = static_cast<unsigned char>(parsed.script[i]);
        parsed.script[i] = static_cast<char>(i == 0 ? std::toupper(c) : std::tolower(c));
    }
    for (char& c : parsed.region) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    applyDefaultScript(parsed, !parsed.script.empty());
    id = parsed;
    return true;
}

std::string exactForm(const LocaleId& id) {
    std::string form = id.language;
    if (isScriptVariant(id.language) || (id.language == "zh" && id.region.empty())) form += "-" + id.script;
    if (!id.region.empty()) form += "-" + id.region;
    return form;
}

std::string looseForm(const LocaleId& id) {
    std::string form = id.language;
    if (isScriptVariant(id.language) || id.language == "zh") form += "-" + id.script;
    return form;
}

std::string lookupSpecificCulture(const std::string& name) {
    const auto& table = neutralCultureTable();
    auto found = table.find(name);
    return found == table.end() ? std::string() : found->second;
}

std::string getUserLocale(const platform::UserLanguages& source) {
    const platform::LanguagePreferences preferences = source.read();
    std::string suffix;
    if (preferences.locale && isAscii(*preferences.locale)) {
        const size_t underscore = preferences.locale->find('_');
        if (underscore != std::string::npos) {
            suffix = "-" + preferences.locale->substr(underscore + 1);
            if (suffix.size() != 3 || !isLetter(suffix[1]) || !isLetter(suffix[2])) suffix.clear();
        }
    }
    std::string list;
    for (const std::string& language : preferences.languages) {
        if (!isAscii(language)) continue;
        if (!list.empty()) list += ";";
        list += language;
        if ((language.size() == 2 || language.size() == 3) && language.find_first_of("-_") == std::string::npos)
            list += suffix;
    }
    return list;
}

std::string getUserLocale() { return getUserLocale(*platform::makeEnvironmentUserLanguages()); }

int moveFirstMatchToFront(const char** names, size_t count, size_t p, const std::string& tag, bool strict) {
    if (p >= count) return 0;
    LocaleId wanted;
    if (!parseLocaleId(wanted, tag.c_str())) return 0;
    const std::string form = strict ? exactForm(wanted) : looseForm(wanted);
    for (size_t i = p; i < count; ++i) {
        LocaleId candidate;
        if (!parseLocaleId(candidate, names[i])) continue;
        if ((strict ? exactForm(candidate) : looseForm(candidate)) != form) continue;
        const char* match = names[i];
        for (size_t k = i; k > p; --k) names[k] = names[k - 1];
        names[p] = match;
        return 1;
    }
    return 0;
}

int selectBestLocale(const char** names, const std::string& userLocaleList) {
    const size_t count = countNames(names);
    size_t p = 0;
    for (const std::string& candidate : splitCandidates(userLocaleList)) {
        LocaleId id;
        if (!parseLocaleId(id, candidate.c_str())) continue;
        const std::string exact = exactForm(id);
        const std::string loose = looseForm(id);
        p += moveFirstMatchToFront(names, count, p, exact, true);
        p += moveFirstMatchToFront(names, count, p, loose, true);
        const std::string specific = lookupSpecificCulture(loose);
        if (!specific.empty()) p += moveFirstMatchToFront(names, count, p, specific, true);
        while (moveFirstMatchToFront(names, count, p, loose, false) == 1) ++p;
    }
    return static_cast<int>(p);
}

int selectBestLocale(const char** names) { return selectBestLocale(names, getUserLocale()); }
