// SystemCheck: the minimum operating-system version from "systemCheck.xml" and the check against it.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/logging/Logger.h"

class SystemCheck {
public:
    SystemCheck();
    ~SystemCheck() = default;
    SystemCheck(const SystemCheck&) = delete;
    SystemCheck& operator=(const SystemCheck&) = delete;

    // source is a file path when isPath is true, else XML text. A failed load leaves the
    // requirement as it was (0 and an empty text on a fresh object).
    bool loadRequirements(const std::string& source, bool isPath);
    // True when the running system is at least the required version.
    bool checkOSVersion();
    std::string getRequiredVersionString() const;

    // major x 10000 + minor x 100 + bug fix, saturated instead of overflowing.
    static int64_t versionValue(long major, long minor, long bugFix);

private:
    std::string requiredMajor_;
    std::string requiredMinor_;
    std::string requiredServicePack_;
    // 64 bits: a component of six digits or more would overflow 32.
    int64_t requiredValue_ = 0;
    std::string requiredVersionText_;
    zezu::Logger logger_;
};
