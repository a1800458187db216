// ZORUtils: the localized dictionary, text helpers, the screen resolution, opening a URL and
// attaching a disk image.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "localization/ZDictFlat.h"

namespace platform {
class UserLanguages;
}
namespace zezu {
class Logger;
}

class ZORUtils {
public:
    // The locales that ship string tables, in the order locale selection is handed them.
    static constexpr const char* kAvailableLocales[] = {
        "cs_CZ", "da_DK", "de_DE", "en_AE", "en_GB", "en_IL", "en_US", "en_XM", "es_ES", "es_LA", "es_MX",
        "es_NA", "fi_FI", "fr_CA", "fr_FR", "fr_MA", "fr_XM", "hu_HU", "it_IT", "ja_JP", "ko_KR", "nb_NO",
        "nl_NL", "pl_PL", "pt_BR", "ru_RU", "sv_SE", "tr_TR", "uk_UA", "zh_CN", "zh_TW"};

    // What the window layer reports: the main screen's dots per inch, horizontal and vertical.
    using ScreenResolutionHook = std::function<bool(double& x, double& y)>;

    ZORUtils();
    ~ZORUtils();
    ZORUtils(const ZORUtils&) = delete;
    ZORUtils& operator=(const ZORUtils&) = delete;

    // Loads <resources>/Dictionary/<best locale>/stringTable.zdct, falling back to en_US.
    // The first form reads the user's languages from the environment.
    bool loadDictionary();
    bool loadDictionary(const platform::UserLanguages& preferences);

    // key is a key string, "$$$/ZOR/Name=default text": the dictionary's text for it, else
    // the default, in UTF-8.
    void getLocalizedString(const std::string& key, std::string& text) const;

    // The dictionary handle, for the error resolvers.
    ZDictHandle dictionaryHandle() { return &dictionary; }

    // The string's text in UTF-8; empty for a null handle or string.
    static std::string toUTF8(ZStringHandle string);

    // Replaces the first span from "@#<name>" to the next "@#" with value; the text unchanged
    // when there is no such span.
    static std::string replacePlaceholder(const std::string& text, const std::string& value, const std::string& name);

    // Makes fileName one no file in folder has yet: "name.ext", then "name(1).ext", "name(2).ext"...
    static bool uniqueFileName(const std::string& folder, std::string& fileName);
    // Whether candidate is fileName or one of the names uniqueFileName makes of it.
    static bool isUniqueFileNameOf(const std::string& fileName, const std::string& candidate);

    // The main screen's resolution, truncated, from the hook; false when no hook is set or it fails.
    static bool getScreenResolution(int& x, int& y);
    // Process-wide; an empty hook clears it.
    static void setScreenResolutionHook(ScreenResolutionHook hook);

    // Opens url in the default browser (platform::openInDefaultBrowser), never through a shell.
    // Nothing happens for an empty URL or one beginning with "-".
    static void openURL(const std::string& url);

    // Attaches imagePath read-only at mountRoot with the disk-image tool. When the attach fails
    // because the image is attached already, its existing mount point is found in the tool's
    // "info -plist" listing. True with mountPoint set when the image is mounted; else a given
    // reason gets what the tool said (its messages never reach our own streams).
    static bool mountDmg(const std::string& imagePath, const std::string& mountRoot, std::string& mountPoint,
                         std::string* reason = nullptr);
    // Detaches the image at mountPoint with the disk-image tool; false with the tool's reason.
    static bool detachDmg(const std::string& mountPoint, std::string& reason);
    // The mount point of the image at imagePath in an "info -plist" listing, as mountDmg reads it:
    // false when the listing is unusable; mountPoint is set only when the image is listed with one.
    static bool mountPointFromInfo(const std::string& listing, const std::string& imagePath, std::string& mountPoint);
    // Every mount point of the file at imagePath in an "info -plist" listing, of every image the
    // listing gives: one that carries a device and inode is that file when both match (under any
    // name), one without them when its path names it. False when the listing is unusable.
    static bool mountPointsFromInfo(const std::string& listing, const std::string& imagePath, dev_t device, ino_t inode,
                                    std::vector<std::string>& mountPoints);

private:
    quirra_private::ZStringDictionary* dictionary = nullptr;
    std::unique_ptr<zezu::Logger> logger;
};
