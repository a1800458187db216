// GUID and time texts for events, and the bounded string copy.
#include "telemetry/DEZUtilities.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "foundation/utils/StringUtils.h"

namespace DEZFramework {

bool getGUIDString(std::string& guid) {
    std::string made;
    if (!::StringUtils::GUIDString(made) || made.empty()) {
        return false;
    }
    std::transform(made.begin(), made.end(), made.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    guid = made;
    return true;
}

void getCurrentTimeStr(std::string& text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    const std::size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char rest[32];
    std::snprintf(rest, sizeof rest, ".%03d%c%02ld:%02ld", static_cast<int>(now.tv_nsec / 1000000),
                  offsetMinutes < 0 ? '-' : '+', absolute / 60, absolute % 60);
    text = std::string(stamp, length) + rest;
    if (text.size() > 255) {
        text.resize(255);
    }
}

bool copyStr(char* destination, std::size_t size, const char* source) {
    if (!destination || !source || size == 0) {
        return false;
    }
    const std::size_t length = std::min(std::strlen(source), size - 1);
    std::memcpy(destination, source, length);
    destination[length] = '\0';
    return source[0] != '\0';
}

}  // namespace DEZFramework
