// VOR: converts texts for the store's flat functions and reads values by its two-call protocol.
#include "bootstrapper/support/VOR.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/utils/StringUtils.h"
#include "settings/VorLib.h"

VOR::VOR() : logger_("ZOR", "", "Download", "ZOR", "VOR") {}

VOR::~VOR() { freeLibRef(); }

bool VOR::createLibRef() {
    if (created_ && ref_) return true;  // a second open would leak the first reference
    ref_ = vor_createLibRef(nullptr);
    if (!ref_) logger_.log(zezu::INFO, "", "", "Failed in VOR create lib ref");
    created_ = ref_ != nullptr;
    return created_;
}

bool VOR::freeLibRef() {
    if (!created_ || !ref_) return true;
    if (vor_freeLibRef(&ref_) != VOR_SUCCESS) {
        logger_.log(zezu::INFO, "", "", "Failed in VOR free lib ref");
        return false;
    }
    ref_ = nullptr;
    return true;
}

bool VOR::VORSetValueForKey(const std::string& domain, const std::string& subDomain, const std::string& key,
                            const std::string& value) {
    std::string domainUTF8, subDomainUTF8, keyUTF8, valueUTF8;
    if (!StringUtils::NativeToUTF8(domain, domainUTF8) || !StringUtils::NativeToUTF8(subDomain, subDomainUTF8) ||
        !StringUtils::NativeToUTF8(key, keyUTF8) || !StringUtils::NativeToUTF8(value, valueUTF8)) {
        logger_.log(zezu::WARN, "", "",
                    "ZAMTypes::OSString to String Conversion failed while setting value for key.");
        return false;
    }
    if (!ref_) {
        logger_.log(zezu::WARN, "", "", "The VOR lib ref is not initialized in VORSetValueForKey");
        return false;
    }
    if (domainUTF8.empty() || subDomainUTF8.empty() || keyUTF8.empty()) {
        logger_.log(zezu::WARN, "", "", "Invalid arguments in VORSetValueForKey");
        return false;
    }
    if (vor_setValueForKey(ref_, domainUTF8.c_str(), subDomainUTF8.c_str(), keyUTF8.c_str(), valueUTF8.c_str()) !=
        VOR_SUCCESS) {
        logger_.log(zezu::ERROR, "", "", "Failed in setting value for key in VORSetValueForKey");
        return false;
    }
    return true;
}

bool VOR::VORGetValueForKey(const std::string& domain, const std::string& subDomain, const std::string& key,
                            std::string& value) {
    std::string domainUTF8, subDomainUTF8, keyUTF8;
    if (!StringUtils::NativeToUTF8(domain, domainUTF8) || !StringUtils::NativeToUTF8(subDomain, subDomainUTF8) ||
        !StringUtils::NativeToUTF8(key, keyUTF8)) {
        logger_.log(zezu::WARN, "", "",
                    "ZAMTypes::OSString to String Conversion failed while getting value for key.");
        return false;
    }
    if (!ref_) {
        logger_.log(zezu::WARN, "", "", "The VOR lib ref is not initialized in VORGetValueForKey");
        return false;
    }
    if (domainUTF8.empty() || subDomainUTF8.empty() || keyUTF8.empty()) {
        logger_.log(zezu::WARN, "", "", "Invalid arguments in VORGetValueForKey");
        return false;
    }
    std::int32_t size = 0;
    if (vor_getValueForKey(ref_, domainUTF8.c_str(), subDomainUTF8.c_str(), keyUTF8.c_str(), nullptr, &size, true) !=
        VOR_SUCCESS) {
        logger_.log(zezu::DEBUG, "", "", "Unable to get the value for key in VORGetValueForKey");
        return false;
    }
    // The size counts the terminating zero, so anything below 1 is not a size to allocate.
    if (size < 1) {
        logger_.log(zezu::DEBUG, "", "", "Unable to get value for key in VORGetValueForKey");
        return false;
    }
    std::vector<char> buffer(static_cast<std::size_t>(size), '\0');
    char* address = buffer.data();
    std::string text;
    if (vor_getValueForKey(ref_, domainUTF8.c_str(), subDomainUTF8.c_str(), keyUTF8.c_str(), &address, &size, true) !=
            VOR_SUCCESS ||
        !StringUtils::UTF8ToNative(std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size())).c_str(),
                                   text)) {
        logger_.log(zezu::DEBUG, "", "", "Unable to get value for key in VORGetValueForKey");
        return false;
    }
    value = text;
    logger_.log(zezu::DEBUG, "", "", "Successfully retreived value from database");
    return true;
}

bool VOR::readProxyCredentials(std::string& username, std::string& password) {
    if (!created_) return false;
    if (!VORGetValueForKey(kDomain, kSubDomain, kUsernameKey, username)) return false;
    return VORGetValueForKey(kDomain, kSubDomain, kPasswordKey, password);
}

bool VOR::writeProxyCredentials(const std::string& username, const std::string& password) {
    if (!created_) return false;
    if (!VORSetValueForKey(kDomain, kSubDomain, kUsernameKey, username)) return false;
    return VORSetValueForKey(kDomain, kSubDomain, kPasswordKey, password);
}
