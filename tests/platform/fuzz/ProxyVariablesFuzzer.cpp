// libFuzzer target: any bytes as http_proxy, https_proxy, no_proxy and a request URL (split at NUL), then proxy
// decisions.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ProxySettings.h"

namespace {

void fail(const char* what, const std::string& url) {
    std::fprintf(stderr, "%s for %s\n", what, url.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 4) {
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<char>(data[i]));
        }
    }
    parts.resize(4);
    // The environment cannot hold a NUL: each part ends at its first one.
    const char* names[] = {"http_proxy", "https_proxy", "no_proxy"};
    for (int i = 0; i < 3; ++i) ::setenv(names[i], parts[i].c_str(), 1);
    ::unsetenv("all_proxy");
    ::unsetenv("ALL_PROXY");
    ::unsetenv("HTTPS_PROXY");
    ::unsetenv("NO_PROXY");

    const auto settings = platform::ProxySettings::refresh();
    for (const std::string& url : {parts[3], "http://" + parts[3], "https://" + parts[3] + "/path?q#f",
                                   std::string("http://example.org/"), std::string("https://[::1]:8443/x"),
                                   std::string("ftp://example.org/"), std::string("HTTPS://Sub.Example.ORG:1/")}) {
        const std::string proxy = settings->proxyFor(url);
        if (!proxy.empty() && proxy != settings->httpProxy() && proxy != settings->httpsProxy())
            fail("a proxy that no variable names", url);
        if (url.compare(0, 6, "ftp://") == 0 && !proxy.empty()) fail("a proxy for a scheme without one", url);
    }
    return 0;
}
