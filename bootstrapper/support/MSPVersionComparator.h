// MSPVersionComparator: the installed packager's version and whether a downloaded one is newer.
#pragma once

#include <string>
#include <vector>

#include "bootstrapper/support/ZAMEEVersionComparator.h"
#include "foundation/logging/Logger.h"

class MSPVersionComparator : public ZAMEEVersionComparator {
public:
    // Where a version file keeps its version.
    static constexpr const char* kVersionQuery = "/MSP/Macintosh/Version";
    static constexpr const char* kVersionFileName = "version.xml";

    MSPVersionComparator();
    ~MSPVersionComparator() override = default;

    // Reads folder + "/version.xml"; version is changed only on success.
    bool getInstalledVersion(const std::string& folder, std::string& version);
    // True exactly when downloaded is newer than installed; both must be four dotted integers.
    bool compare(const std::string& installed, const std::string& downloaded);

    // Always true. A trailing delimiter adds no empty part; two in a row add one.
    static bool split(const std::string& text, std::vector<std::string>& parts, const std::string& delimiters);
    // A decimal int as stream extraction reads it: white space, sign, digits, anything after.
    // False when no number could be read or it does not fit an int; value changed only on success.
    static bool toInteger(const std::string& text, int& value);

private:
    zezu::Logger logger_;
};
