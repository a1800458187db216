// The operating-system version from SystemVersion.plist or /etc/os-release.
#include "platform/OperatingSystemVersion.h"

#include "platform/UserFolders.h"

#include <pugixml.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace platform {
namespace {

std::optional<std::string> plistProductVersion(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    pugi::xml_document document;
    if (!document.load_file(file.c_str())) return std::nullopt;
    pugi::xml_node dict = document.child("plist").child("dict");
    for (pugi::xml_node key = dict.child("key"); key; key = key.next_sibling("key")) {
        if (std::strcmp(key.child_value(), "ProductVersion") != 0) continue;
        pugi::xml_node value = key.next_sibling();
        if (std::strcmp(value.name(), "string") != 0) return std::nullopt;
        return std::string(value.child_value());
    }
    return std::nullopt;
}

// VERSION_ID of os-release(5), quotes removed: "12" on Debian 12.
std::optional<std::string> osReleaseVersionId(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 11, "VERSION_ID=") != 0) continue;
        std::string value = line.substr(11);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::optional<OperatingSystemVersion> parseOperatingSystemVersion(const std::string& text) {
    OperatingSystemVersion version;
    long* parts[] = {&version.major, &version.minor, &version.patch};
    const char* cursor = text.c_str();
    for (size_t i = 0; i < 3; ++i) {
        if (*cursor < '0' || *cursor > '9') return std::nullopt;
        errno = 0;
        char* end = nullptr;
        long value = std::strtol(cursor, &end, 10);
        if (errno != 0) return std::nullopt;
        *parts[i] = value;
        cursor = end;
        if (*cursor == '\0') return version;
        if (*cursor != '.' || i == 2) return std::nullopt;
        ++cursor;
    }
    return std::nullopt;
}

std::optional<OperatingSystemVersion> operatingSystemVersion() {
    const std::string plist = localPath("/System/Library/CoreServices/SystemVersion.plist");
    if (auto text = plistProductVersion(plist)) return parseOperatingSystemVersion(*text);
    if (auto text = osReleaseVersionId("/etc/os-release")) return parseOperatingSystemVersion(*text);
    return std::nullopt;
}

}  // namespace platform
