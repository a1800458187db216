// One client application as the telemetry client describes it.
#pragma once

#include <string>

namespace DEZFramework {

class ClientAppDescriptor {
public:
    ClientAppDescriptor() = default;
    // <ClientAppDescriptor> with clientAppName, clientAppVersion and dezPrefix, empty or not.
    bool toXMLString(std::string& out) const;

    std::string clientAppName;
    std::string clientAppVersion;
    std::string dezPrefix;
};

}  // namespace DEZFramework
