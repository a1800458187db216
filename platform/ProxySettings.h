// The system proxy configuration: a snapshot of http_proxy, https_proxy, all_proxy and no_proxy.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

// One immutable snapshot. Threads share it through std::shared_ptr, so a refresh never pulls
// the configuration out from under a request that is being set up.
class ProxySettings {
public:
    // Reads the environment now. The lower-case names win over the upper-case ones; for plain
    // HTTP only "http_proxy" counts (a CGI-set HTTP_PROXY must not redirect traffic).
    static std::shared_ptr<const ProxySettings> fromEnvironment();

    // The process-wide snapshot, taken from the environment at first use.
    static std::shared_ptr<const ProxySettings> current();
    // Takes a fresh snapshot from the environment and makes it current.
    static std::shared_ptr<const ProxySettings> refresh();

    // Built from explicit values (tests, callers that carry their own configuration).
    ProxySettings(std::string httpProxy, std::string httpsProxy, std::string noProxy);

    // The proxy URL to use for this request URL, or "" for a direct connection.
    std::string proxyFor(const std::string& url) const;

    const std::string& httpProxy() const { return httpProxy_; }
    const std::string& httpsProxy() const { return httpsProxy_; }
    const std::string& noProxy() const { return noProxy_; }

private:
    bool bypasses(const std::string& host) const;

    std::string httpProxy_;
    std::string httpsProxy_;
    std::string noProxy_;
    std::vector<std::string> noProxyHosts_;  // lower case, without leading dots
    bool noProxyAll_ = false;
};

// The lower-cased host of a URL ("scheme://user@host:port/path"), brackets of IPv6 removed.
std::string hostOfUrl(const std::string& url);

}  // namespace platform
