// VOR: the bootstrapper's wrapper of the settings store, for the remembered proxy credentials.
#pragma once

#include <string>

#include "foundation/logging/Logger.h"

// One wrapper per use: construct, createLibRef, read or write, freeLibRef, destroy.
class VOR {
public:
    static constexpr const char* kDomain = "ZEZU";
    static constexpr const char* kSubDomain = "ProxyCredentials";
    static constexpr const char* kUsernameKey = "ProxyUsername";
    static constexpr const char* kPasswordKey = "ProxyPassword";

    VOR();
    ~VOR();
    VOR(const VOR&) = delete;
    VOR& operator=(const VOR&) = delete;

    // Opens the per-user default store.
    bool createLibRef();
    // True when there is nothing to free.
    bool freeLibRef();

    bool VORSetValueForKey(const std::string& domain, const std::string& subDomain, const std::string& key,
                           const std::string& value);
    // value is changed only on success.
    bool VORGetValueForKey(const std::string& domain, const std::string& subDomain, const std::string& key,
                           std::string& value);

    // The password is read only after the user name was; the user name stays filled when the
    // password then fails.
    bool readProxyCredentials(std::string& username, std::string& password);
    bool writeProxyCredentials(const std::string& username, const std::string& password);

private:
    void* ref_ = nullptr;
    bool created_ = false;
    zezu::Logger logger_;
};
