// The operating-system version, for every caller that asks for it.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct OperatingSystemVersion {
    long major = 0;
    long minor = 0;
    long patch = 0;
};

// ProductVersion of <local root>/System/Library/CoreServices/SystemVersion.plist when that
// file exists, else the running system's own release number ("12" reads as 12.0.0).
std::optional<OperatingSystemVersion> operatingSystemVersion();

// "major[.minor[.patch]]" with nothing else after the numbers; missing parts read as 0.
std::optional<OperatingSystemVersion> parseOperatingSystemVersion(const std::string& text);

}  // namespace platform
