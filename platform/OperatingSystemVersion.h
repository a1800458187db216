// The operating-system version, for every caller that asks for it.
#pragma once

#include <optional>

namespace platform {

struct OperatingSystemVersion {
    long major = 0;
    long minor = 0;
    long patch = 0;
};

// ProductVersion of <local root>/System/Library/CoreServices/SystemVersion.plist when that
// file exists, else VERSION_ID of /etc/os-release ("12" reads as 12.0.0).
std::optional<OperatingSystemVersion> operatingSystemVersion();

}  // namespace platform
