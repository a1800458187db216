// SystemCheck: reads the requirement file and compares it with the running system's version.
#include "bootstrapper/support/SystemCheck.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "foundation/utils/XMLParser.h"
#include "platform/OperatingSystemVersion.h"

namespace {

constexpr const char* kOsVersionQuery = "//SystemCheck/checks/os_version";

// Leading digits of the text as a decimal long, 0 when there are none.
long decimalLong(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

constexpr int64_t saturated(bool negative) {
    return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

// value x 100 + addend, clamped to the 64-bit range.
int64_t timesHundredPlus(int64_t value, int64_t addend) {
    int64_t product = 0;
    if (__builtin_mul_overflow(value, int64_t{100}, &product)) return saturated(value < 0);
    int64_t sum = 0;
    if (__builtin_add_overflow(product, addend, &sum)) return saturated(addend < 0);
    return sum;
}

}  // namespace

SystemCheck::SystemCheck() : logger_("ZOR", "", "Download", "ZOR", "SystemCheck") {}

int64_t SystemCheck::versionValue(long major, long minor, long bugFix) {
    return timesHundredPlus(timesHundredPlus(major, minor), bugFix);
}

bool SystemCheck::loadRequirements(const std::string& source, bool isPath) {
    ZEZUUtils::XMLParser parser;
    if (!(isPath ? parser.initWithXMLPath(source) : parser.initWithXMLString(source))) {
        logger_.log(zezu::WARN, "", "", "Could not initialize the system check information file");
        return false;
    }
    if (!parser.nodeExistsXQuery(kOsVersionQuery)) {
        logger_.log(zezu::WARN, "", "", "%s tag not specified in the system check information file", kOsVersionQuery);
        return false;
    }
    const struct {
        const char* query;
        std::string* text;
    } fields[] = {
        {"//SystemCheck/checks/os_version/major", &requiredMajor_},
        {"//SystemCheck/checks/os_version/minor", &requiredMinor_},
        {"//SystemCheck/checks/os_version/service_pack", &requiredServicePack_},
    };
    for (const auto& field : fields) {
        if (!parser.stringValueForXQuery(field.query, *field.text)) {
            logger_.log(zezu::WARN, "", "", "%s tag not specified in the system check information file", field.query);
            return false;
        }
    }
    const long major = decimalLong(requiredMajor_);
    const long minor = decimalLong(requiredMinor_);
    const long servicePack = decimalLong(requiredServicePack_);
    requiredValue_ = versionValue(major, minor, servicePack);
    char text[3 * 24];
    std::snprintf(text, sizeof text, "%ld.%ld.%ld", major, minor, servicePack);
    requiredVersionText_ = text;
    return true;
}

bool SystemCheck::checkOSVersion() {
    // One read gives all three numbers, so a failure is reported as the first selector's.
    const auto version = platform::operatingSystemVersion();
    if (!version) {
        logger_.log(zezu::FATAL, "", "", "Unable to retrieve OS major version");
        return false;
    }
    logger_.log(zezu::INFO, "", "", "System OS Version - major = %ld, minor = %ld, bugFix = %ld", version->major,
                version->minor, version->patch);
    const int64_t systemValue = versionValue(version->major, version->minor, version->patch);
    logger_.log(zezu::DEBUG, "", "", "Comparing system version = %lld with required version = %lld ",
                static_cast<long long>(systemValue), static_cast<long long>(requiredValue_));
    return systemValue >= requiredValue_;
}

std::string SystemCheck::getRequiredVersionString() const { return requiredVersionText_; }
