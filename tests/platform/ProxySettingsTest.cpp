// The proxy choice per URL and the environment snapshot.
#include "platform/ProxySettings.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ProxySettings, ChoosesByScheme_AndHonoursNoProxy) {
    const platform::ProxySettings settings("http://plain-proxy:3128", "http://tls-proxy:3129",
                                           "localhost, .internal.example,10.1.2.3 other.example:8080");
    struct Case {
        const char* url;
        const char* proxy;
    } cases[] = {
        {"http://events.example/hs", "http://plain-proxy:3128"},
        {"https://events.example/hs", "http://tls-proxy:3129"},
        {"HTTPS://Events.Example:8443/x", "http://tls-proxy:3129"},
        {"http://localhost:8080/", ""},
        {"http://LOCALHOST/", ""},
        {"https://a.internal.example/", ""},
        {"https://internal.example/", ""},          // the domain itself, leading dot or not
        {"https://xinternal.example/", "http://tls-proxy:3129"},  // a suffix that is not a label
        {"http://10.1.2.3/", ""},
        {"http://other.example/", ""},              // the port in an entry is ignored
        {"http://user:pw@localhost:1/p?q=http://x", ""},
        {"ftp://events.example/", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settings.proxyFor(c.url), c.proxy) << c.url;
    }
}

TEST(ProxySettings, StarBypassesEverything_EmptyMeansDirect) {
    EXPECT_EQ(platform::ProxySettings("http://p:1", "http://p:1", "*").proxyFor("http://a.example/"), "");
    EXPECT_EQ(platform::ProxySettings("", "", "").proxyFor("https://a.example/"), "");
}

TEST(ProxySettings, ReadsTheEnvironment_LowerCaseFirst_AllProxyAsFallback) {
    ::setenv("http_proxy", "http://lower:1", 1);
    ::setenv("HTTPS_PROXY", "http://upper:2", 1);
    ::unsetenv("https_proxy");
    ::setenv("no_proxy", "skip.example", 1);
    auto settings = platform::ProxySettings::fromEnvironment();
    EXPECT_EQ(settings->proxyFor("http://a.example/"), "http://lower:1");
    EXPECT_EQ(settings->proxyFor("https://a.example/"), "http://upper:2");
    EXPECT_EQ(settings->proxyFor("https://skip.example/"), "");

    // Only the lower-case http_proxy counts for plain HTTP; all_proxy fills the gap.
    ::unsetenv("http_proxy");
    ::setenv("HTTP_PROXY", "http://cgi-injected:9", 1);
    ::setenv("all_proxy", "http://all:3", 1);
    settings = platform::ProxySettings::refresh();
    EXPECT_EQ(settings->proxyFor("http://a.example/"), "http://all:3");
    EXPECT_EQ(platform::ProxySettings::current(), settings);

    for (const char* name : {"http_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "all_proxy"}) {
        ::unsetenv(name);
    }
    platform::ProxySettings::refresh();
}

}  // namespace
