// The proxy snapshot read from the environment, and its per-URL choice.
#include "platform/ProxySettings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/Mutex.h"

#include "platform/Url.h"

namespace platform {
namespace {

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The lower-case spelling first, the upper-case one as a fallback.
std::string environmentEither(const char* lower, const char* upper) {
    std::string value = environmentValue(lower);
    return value.empty() ? environmentValue(upper) : value;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// A no_proxy entry without a port ("example.org:8080") and without a leading dot.
std::string hostOfEntry(std::string entry) {
    if (!entry.empty() && entry.front() == '[') {
        const auto close = entry.find(']');
        return close == std::string::npos ? entry.substr(1) : entry.substr(1, close - 1);
    }
    if (std::count(entry.begin(), entry.end(), ':') == 1) {
        entry.erase(entry.find(':'));
    }
    while (!entry.empty() && entry.front() == '.') {
        entry.erase(0, 1);
    }
    return entry;
}

Mutex currentMutex;
std::shared_ptr<const ProxySettings> currentSettings GUARDED_BY(currentMutex);

}  // namespace

std::string hostOfUrl(const std::string& url) { return splitUrl(url).hostLowerCase(); }

ProxySettings::ProxySettings(std::string httpProxy, std::string httpsProxy, std::string noProxy)
    : httpProxy_(trimmed(httpProxy)), httpsProxy_(trimmed(httpsProxy)), noProxy_(std::move(noProxy)) {
    std::string entry;
    auto take = [this](const std::string& raw) {
        const std::string host = lowerCase(hostOfEntry(trimmed(raw)));
        if (host == "*") {
            noProxyAll_ = true;
        } else if (!host.empty()) {
            noProxyHosts_.push_back(host);
        }
    };
    for (char c : noProxy_) {
        if (c == ',' || c == ' ' || c == '\t') {
            take(entry);
            entry.clear();
        } else {
            entry.push_back(c);
        }
    }
    take(entry);
}

std::shared_ptr<const ProxySettings> ProxySettings::fromEnvironment() {
    const std::string all = environmentEither("all_proxy", "ALL_PROXY");
    std::string http = environmentValue("http_proxy");
    std::string https = environmentEither("https_proxy", "HTTPS_PROXY");
    if (http.empty()) {
        http = all;
    }
    if (https.empty()) {
        https = all;
    }
    return std::make_shared<const ProxySettings>(http, https, environmentEither("no_proxy", "NO_PROXY"));
}

std::shared_ptr<const ProxySettings> ProxySettings::current() {
    MutexLock lock(currentMutex);
    if (!currentSettings) {
        currentSettings = fromEnvironment();
    }
    return currentSettings;
}

std::shared_ptr<const ProxySettings> ProxySettings::refresh() {
    auto fresh = fromEnvironment();
    MutexLock lock(currentMutex);
    currentSettings = fresh;
    return fresh;
}

bool ProxySettings::bypasses(const std::string& host) const {
    if (noProxyAll_) {
        return true;
    }
    for (const std::string& entry : noProxyHosts_) {
        if (host == entry) {
            return true;
        }
        if (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
            host[host.size() - entry.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

std::string ProxySettings::proxyFor(const std::string& url) const {
    const Url parts = splitUrl(url);
    const std::string& proxy = parts.schemeIs("https")  ? httpsProxy_
                               : parts.schemeIs("http") ? httpProxy_
                                                        : std::string();
    if (proxy.empty() || bypasses(parts.hostLowerCase())) {
        return {};
    }
    return proxy;
}

}  // namespace platform
