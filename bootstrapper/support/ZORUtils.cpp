// ZORUtils: the localized dictionary, text helpers, the screen-resolution hook, opening URLs
// and attaching disk images with the disk-image tool.
#include "bootstrapper/support/ZORUtils.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "foundation/logging/Logger.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "localization/LocaleSelection.h"
#include "localization/TextEncoding.h"
#include "platform/Bundle.h"
#include "platform/DefaultBrowser.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "platform/UserLanguages.h"

namespace {

constexpr const char* kEnglishLocale = "en_US";
constexpr const char* kDictionaryFileName = "stringTable.zdct";

struct ScreenResolutionSource {
    ZEZUUtils::NativeCriticalSection lock;
    ZORUtils::ScreenResolutionHook hook GUARDED_BY(lock);
};

ScreenResolutionSource& screenResolutionSource() {
    static ScreenResolutionSource source;
    return source;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string dictionaryPath(const std::string& resources, const std::string& locale) {
    return resources + "/Dictionary/" + locale + "/" + kDictionaryFileName;
}

// "/a/./b//c/../d/" gives "/a/b/d", for paths realpath cannot resolve.
std::string lexicallyNormal(const std::string& path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) result += (i ? "/" : "") + parts[i];
    return result.empty() ? "." : result;
}

std::string standardizedPath(const std::string& path) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        std::string result(resolved);
        std::free(resolved);
        return result;
    }
    return lexicallyNormal(path);
}

// A property-list dictionary's value for key: the element after the matching <key>.
pugi::xml_node plistValue(pugi::xml_node dict, const char* key) {
    for (pugi::xml_node child = dict.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        pugi::xml_node value = child.next_sibling();
        while (value && value.type() != pugi::node_element) value = value.next_sibling();
        if (std::string(child.name()) == "key") {
            if (std::string(child.child_value()) == key) return value;
            // A key's value is never itself read as a key.
            if (!value) break;
            child = value;
        }
    }
    return pugi::xml_node();
}

bool isElement(pugi::xml_node node, const char* name) {
    return node && node.type() == pugi::node_element && std::string(node.name()) == name;
}

}  // namespace

namespace {

// The images array of an "info -plist" listing; an empty node when the listing is unusable.
pugi::xml_node infoImages(pugi::xml_document& document, const std::string& listing) {
    if (!document.load_buffer(listing.data(), listing.size())) return {};
    pugi::xml_node root = document.document_element();
    if (isElement(root, "plist")) {
        root = root.first_child();
        while (root && root.type() != pugi::node_element) root = root.next_sibling();
    }
    if (!isElement(root, "dict")) return {};
    pugi::xml_node images = plistValue(root, "images");
    return isElement(images, "array") ? images : pugi::xml_node();
}

// A plist <integer> of decimal digits only; false for anything else.
bool plistUnsigned(pugi::xml_node node, unsigned long long& value) {
    if (!isElement(node, "integer")) return false;
    const std::string text = node.child_value();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ZORUtils::mountPointsFromInfo(const std::string& listing, const std::string& imagePath, dev_t device, ino_t inode,
                                   std::vector<std::string>& mountPoints) {
    pugi::xml_document document;
    const pugi::xml_node images = infoImages(document, listing);
    if (!images) return false;
    const std::string wanted = standardizedPath(imagePath);
    std::vector<std::string> found;
    for (pugi::xml_node image : images.children()) {
        if (!isElement(image, "dict")) continue;
        const pugi::xml_node deviceNode = plistValue(image, "image-device");
        const pugi::xml_node inodeNode = plistValue(image, "image-inode");
        bool matches = false;
        if (deviceNode || inodeNode) {
            unsigned long long listedDevice = 0;
            unsigned long long listedInode = 0;
            if (!plistUnsigned(deviceNode, listedDevice) || !plistUnsigned(inodeNode, listedInode)) return false;
            matches = listedDevice == static_cast<unsigned long long>(device) &&
                      listedInode == static_cast<unsigned long long>(inode);
        } else {
            const pugi::xml_node path = plistValue(image, "image-path");
            matches = isElement(path, "string") && standardizedPath(path.child_value()) == wanted;
        }
        if (!matches) continue;
        const pugi::xml_node entities = plistValue(image, "system-entities");
        if (!isElement(entities, "array")) return false;
        for (pugi::xml_node entity : entities.children()) {
            if (!isElement(entity, "dict")) continue;
            const pugi::xml_node point = plistValue(entity, "mount-point");
            if (isElement(point, "string")) found.push_back(point.child_value());
        }
    }
    mountPoints = std::move(found);
    return true;
}

bool ZORUtils::mountPointFromInfo(const std::string& listing, const std::string& imagePath, std::string& mountPoint) {
    pugi::xml_document document;
    const pugi::xml_node images = infoImages(document, listing);
    if (!images) return false;
    const std::string wanted = standardizedPath(imagePath);
    for (pugi::xml_node image : images.children()) {
        if (!isElement(image, "dict")) continue;
        pugi::xml_node path = plistValue(image, "image-path");
        if (!isElement(path, "string") || standardizedPath(path.child_value()) != wanted) continue;
        pugi::xml_node entities = plistValue(image, "system-entities");
        if (!isElement(entities, "array")) return false;
        for (pugi::xml_node entity : entities.children()) {
            if (!isElement(entity, "dict")) continue;
            pugi::xml_node point = plistValue(entity, "mount-point");
            if (isElement(point, "string")) {
                mountPoint = point.child_value();
                break;
            }
        }
        break;
    }
    return true;
}

ZORUtils::ZORUtils() : logger(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "ZORUtils")) {
    zdictCreate(&dictionary);
}

ZORUtils::~ZORUtils() { zdictDestroy(&dictionary); }

bool ZORUtils::loadDictionary() {
    const auto preferences = platform::makeEnvironmentUserLanguages();
    return loadDictionary(*preferences);
}

bool ZORUtils::loadDictionary(const platform::UserLanguages& preferences) {
    std::vector<const char*> locales(std::begin(kAvailableLocales), std::end(kAvailableLocales));
    locales.push_back(nullptr);
    const int matches = selectBestLocale(locales.data(), getUserLocale(preferences));
    const std::string locale = matches >= 1 ? locales.front() : kEnglishLocale;

    const auto resources = platform::bundleResourcesFolder();
    std::string path = resources ? dictionaryPath(*resources, locale) : std::string();
    if (path.empty() || !isRegularFile(path)) {
        logger->log(zezu::WARN, "", "", "Error finding locale language dictionary file. Defaulting to english.");
        logger->log(zezu::DEBUG, "", "", "Searching for en_US locale dictionary.");
        path = resources ? dictionaryPath(*resources, kEnglishLocale) : std::string();
        if (path.empty() || !isRegularFile(path)) {
            logger->log(zezu::INFO, "", "", "Error finding english dictionary file.");
            return false;
        }
    }
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::ios_base::failure("open");
        zdictLoad(&dictionary, in);
    } catch (...) {
        logger->log(zezu::ERROR, "", "", "Error opening locale language dictionary file.");
        return false;
    }
    logger->log(zezu::DEBUG, "", "", "Dictionary reading successful.");
    return true;
}

void ZORUtils::getLocalizedString(const std::string& key, std::string& text) const {
    quirra_private::ZString* found = nullptr;
    // The lookup only reads the dictionary; the flat interface has no const handle.
    zdictLookup(&found, const_cast<ZDictHandle>(&dictionary), key.c_str(), nullptr);
    text = toUTF8(&found);
    zstrDestroy(&found);
}

std::string ZORUtils::toUTF8(ZStringHandle string) {
    if (string == nullptr || *string == nullptr) return std::string();
    return quirra_private::encodeUtf8((*string)->data(), (*string)->length());
}

std::string ZORUtils::replacePlaceholder(const std::string& text, const std::string& value, const std::string& name) {
    const std::string marker = "@#" + name;
    const size_t begin = text.find(marker);
    if (begin == std::string::npos) return text;
    const size_t end = text.find("@#", begin + 1);
    if (end == std::string::npos) return text;
    std::string result = text;
    result.replace(begin, end + 2 - begin, value);
    return result;
}

namespace {

// A file name's base and extension as uniqueFileName numbers them; a leading dot starts a hidden
// name, not an extension.
std::pair<std::string, std::string> splitFileName(const std::string& fileName) {
    const size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return {fileName, std::string()};
    return {fileName.substr(0, dot), fileName.substr(dot)};
}

}  // namespace

bool ZORUtils::isUniqueFileNameOf(const std::string& fileName, const std::string& candidate) {
    if (candidate == fileName) return true;
    const auto [base, extension] = splitFileName(fileName);
    const size_t prefix = base.size() + 1;
    const size_t suffix = extension.size() + 1;
    if (candidate.size() <= prefix + suffix || candidate.compare(0, base.size(), base) != 0 ||
        candidate[base.size()] != '(' || candidate.compare(candidate.size() - suffix, suffix, ")" + extension) != 0)
        return false;
    const std::string number = candidate.substr(prefix, candidate.size() - prefix - suffix);
    return number[0] != '0' && number.find_first_not_of("0123456789") == std::string::npos;
}

bool ZORUtils::uniqueFileName(const std::string& folder, std::string& fileName) {
    auto exists = [](const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    };
    const auto [base, extension] = splitFileName(fileName);
    std::string candidate = folder + "/" + fileName;
    for (unsigned long n = 1; exists(candidate); ++n) {
        candidate = folder + "/" + base + "(" + std::to_string(n) + ")" + extension;
    }
    fileName = candidate.substr(candidate.find_last_of('/') + 1);
    return true;
}

bool ZORUtils::getScreenResolution(int& x, int& y) {
    ScreenResolutionHook hook;
    {
        ScreenResolutionSource& source = screenResolutionSource();
        ZEZUUtils::ScopedCriticalSection hold(source.lock);
        hook = source.hook;
    }
    if (!hook) return false;
    double horizontal = 0;
    double vertical = 0;
    if (!hook(horizontal, vertical)) return false;
    auto fits = [](double value) {
        return std::isfinite(value) && value > static_cast<double>(std::numeric_limits<int>::min()) - 1 &&
               value < static_cast<double>(std::numeric_limits<int>::max()) + 1;
    };
    if (!fits(horizontal) || !fits(vertical)) return false;
    x = static_cast<int>(horizontal);
    y = static_cast<int>(vertical);
    return true;
}

void ZORUtils::setScreenResolutionHook(ScreenResolutionHook hook) {
    ScreenResolutionSource& source = screenResolutionSource();
    ZEZUUtils::ScopedCriticalSection hold(source.lock);
    source.hook = std::move(hook);
}

void ZORUtils::openURL(const std::string& url) { platform::openInDefaultBrowser(url); }

namespace {

// What the tool said on its standard error, as one line; its exit status when it said nothing.
std::string toolReason(const std::string& errors, bool ran, int status) {
    if (!ran) return "the disk-image tool could not be run";
    std::string text = errors;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text.empty() ? "the disk-image tool ended with status " + std::to_string(status) : text;
}

}  // namespace

bool ZORUtils::mountDmg(const std::string& imagePath, const std::string& mountRoot, std::string& mountPoint,
                        std::string* reason) {
    const std::string tool = platform::diskImageToolPath();
    struct stat st {};
    if (stat(tool.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        if (reason) *reason = "no disk-image tool at " + tool;
        return false;
    }

    int status = -1;
    std::string errors;
    const bool ran =
        platform::runProcessCapturingErrors(tool,
                                            {"attach", imagePath, "-noverify", "-noautoopen", "-nobrowse",
                                             "-noautofsck", "-readonly", "-quiet", "-mountpoint", mountRoot},
                                            errors, status);
    if (ran && status == 0) {
        mountPoint = mountRoot;
        return !mountPoint.empty();
    }
    if (reason) *reason = toolReason(errors, ran, status);
    // The image may be attached already: find where.
    mountPoint.clear();
    std::string listing;
    if (!platform::runProcessCapturingOutput(tool, {"info", "-plist"}, listing, status) || status != 0) return false;
    std::string found;
    if (!mountPointFromInfo(listing, imagePath, found)) return false;
    mountPoint = found;
    return !mountPoint.empty();
}

bool ZORUtils::detachDmg(const std::string& mountPoint, std::string& reason) {
    int status = -1;
    std::string errors;
    const bool ran =
        !mountPoint.empty() && platform::runProcessCapturingErrors(platform::diskImageToolPath(),
                                                                   {"detach", mountPoint, "-quiet"}, errors, status);
    if (ran && status == 0) return true;
    reason = mountPoint.empty() ? "no mount point" : toolReason(errors, ran, status);
    return false;
}
