// The URL parser: the parts of absolute URLs, the typed failures, and the lenient split callers use.
#include "platform/Url.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using platform::parseUrl;
using platform::splitUrl;
using platform::Url;
using platform::UrlFailure;

struct Parts {
    const char* scheme;
    const char* userInfo;  // nullptr: none
    const char* host;
    std::uint16_t port;
    const char* path;
    const char* query;  // nullptr: none
};

void expectParts(const Url& url, const Parts& want, const std::string& text) {
    EXPECT_EQ(url.scheme, want.scheme) << text;
    EXPECT_EQ(url.hasUserInfo, want.userInfo != nullptr) << text;
    EXPECT_EQ(url.userInfo, want.userInfo ? want.userInfo : "") << text;
    EXPECT_EQ(url.host, want.host) << text;
    EXPECT_EQ(url.port, want.port) << text;
    EXPECT_EQ(url.path, want.path) << text;
    EXPECT_EQ(url.hasQuery, want.query != nullptr) << text;
    EXPECT_EQ(url.query, want.query ? want.query : "") << text;
}

TEST(Url, SplitsAbsoluteUrlsIntoTheirParts) {
    struct Case {
        const char* text;
        Parts parts;
    } cases[] = {
        {"http://h.example/a/b.bin", {"http", nullptr, "h.example", 0, "/a/b.bin", nullptr}},
        // The last "@" ends the user info; ":" inside it is no port.
        {"http://us:er@pa:ss@h.example:81/p", {"http", "us:er@pa:ss", "h.example", 81, "/p", nullptr}},
        {"http://@h.example/", {"http", "", "h.example", 0, "/", nullptr}},
        {"http://[::1]/x", {"http", nullptr, "::1", 0, "/x", nullptr}},
        {"http://[::1]:8080/x", {"http", nullptr, "::1", 8080, "/x", nullptr}},
        {"http://u@[2001:db8::7]:65535", {"http", "u", "2001:db8::7", 65535, "", nullptr}},
        {"http://[fe80::1%25eth0]/", {"http", nullptr, "fe80::1%25eth0", 0, "/", nullptr}},
        {"https://h.example", {"https", nullptr, "h.example", 0, "", nullptr}},
        {"https://h.example:443", {"https", nullptr, "h.example", 443, "", nullptr}},
        // A query without a path, and a query holding "/", "?" and "://".
        {"https://h.example?x=/y", {"https", nullptr, "h.example", 0, "", "x=/y"}},
        {"http://h/p?q=http://x?y#f/g", {"http", nullptr, "h", 0, "/p", "q=http://x?y"}},
        {"http://h/p?", {"http", nullptr, "h", 0, "/p", ""}},
        // Scheme and host keep their case; escapes stay as they are.
        {"HTTPS://Events.Example/%41%2f b", {"HTTPS", nullptr, "Events.Example", 0, "/%41%2f b", nullptr}},
        {"x-a.b+c://h/", {"x-a.b+c", nullptr, "h", 0, "/", nullptr}},
        {"http://h:080/", {"http", nullptr, "h", 80, "/", nullptr}},
    };
    for (const auto& c : cases) {
        const auto parse = parseUrl(c.text);
        ASSERT_TRUE(parse.ok()) << c.text << " failed with " << static_cast<int>(parse.failure);
        expectParts(parse.url, c.parts, c.text);
        EXPECT_EQ(parseUrl(platform::assembleUrl(parse.url)).url.authority, parse.url.authority) << c.text;
        EXPECT_EQ(parse.url.origin() + parse.url.target(), c.text);
    }
    const Url upper = parseUrl("HTTPS://Events.Example/").url;
    EXPECT_TRUE(upper.schemeIs("https"));
    EXPECT_FALSE(upper.schemeIs("http"));
    EXPECT_EQ(upper.hostLowerCase(), "events.example");
    const Url v6 = parseUrl("http://[::1]:8080/x?a#b").url;
    EXPECT_EQ(v6.hostInUrl(), "[::1]");
    EXPECT_EQ(v6.origin(), "http://[::1]:8080");
    EXPECT_EQ(v6.target(), "/x?a#b");
}

TEST(Url, RefusesWhatIsNoAbsoluteUrl) {
    struct Case {
        const char* text;
        UrlFailure failure;
    } cases[] = {
        {"", UrlFailure::NoScheme},
        {"h.example/a", UrlFailure::NoScheme},
        {"://h/", UrlFailure::NoScheme},
        {"1http://h/", UrlFailure::NoScheme},
        {"ht tp://h/", UrlFailure::NoScheme},
        {"http:/h/", UrlFailure::NoScheme},
        {"http://", UrlFailure::EmptyHost},
        {"http:///p", UrlFailure::EmptyHost},
        {"http://u:p@/p", UrlFailure::EmptyHost},
        {"http://:80/p", UrlFailure::EmptyHost},
        {"http://[]:80/", UrlFailure::EmptyHost},
        {"http://h:65536/", UrlFailure::BadPort},
        {"http://h:0/", UrlFailure::BadPort},
        {"http://h:99999999999999999999/", UrlFailure::BadPort},
        {"http://h:8o/", UrlFailure::BadPort},
        {"http://h:/", UrlFailure::BadPort},
        {"http://h:-1/", UrlFailure::BadPort},
        {"http://h:1:2/", UrlFailure::BadPort},
        {"http://[::1]:/", UrlFailure::BadPort},
        {"http://[::1/", UrlFailure::BadHost},
        {"http://[::1]x/", UrlFailure::BadHost},
        {"http://[h.example]/", UrlFailure::BadHost},
        {"http://[::g]/", UrlFailure::BadHost},
        {"http://h]/", UrlFailure::BadHost},
        {"http://::1/", UrlFailure::EmptyHost},  // an IPv6 address needs its brackets
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseUrl(c.text).failure, c.failure) << c.text;
    }
}

// What the callers that take any text rely on: no scheme means the text starts with the
// authority; nothing is refused, and the parts always give back the text.
TEST(Url, SplitsAnyTextTheWayLenientCallersNeed) {
    struct Case {
        const char* text;
        Parts parts;
        const char* portText;
    } cases[] = {
        {"127.0.0.1:8080/login", {"", nullptr, "127.0.0.1", 8080, "/login", nullptr}, "8080"},
        {"manifest.xml", {"", nullptr, "manifest.xml", 0, "", nullptr}, ""},
        {"folder/manifest.xml", {"", nullptr, "folder", 0, "/manifest.xml", nullptr}, ""},
        {"", {"", nullptr, "", 0, "", nullptr}, ""},
        {"/only/a/path", {"", nullptr, "", 0, "/only/a/path", nullptr}, ""},
        {"http://h:99999/f", {"http", nullptr, "h", 0, "/f", nullptr}, "99999"},
        {"http://h:abc/f", {"http", nullptr, "h", 0, "/f", nullptr}, "abc"},
        {"http://[::1/f", {"http", nullptr, "::1", 0, "/f", nullptr}, ""},
        // "://" inside the query is no scheme.
        {"h/p?next=http://x", {"", nullptr, "h", 0, "/p", "next=http://x"}, ""},
    };
    for (const auto& c : cases) {
        const Url url = splitUrl(c.text);
        expectParts(url, c.parts, c.text);
        EXPECT_EQ(url.portText, c.portText) << c.text;
        EXPECT_EQ(url.origin() + url.target(), c.text);
    }
}

TEST(Url, DirectoryOfAUrlIsWhereFilesBesideItLive) {
    struct Case {
        const char* text;
        const char* directory;
    } cases[] = {
        {"https://h.example/a/m.xml", "https://h.example/a"},
        {"https://h.example/m.xml", "https://h.example"},
        {"https://h.example/a/", "https://h.example/a"},
        {"https://h.example", "https://h.example"},
        {"https://u:p@[::1]:8/a/m.xml?sig=x/y#z/w", "https://u:p@[::1]:8/a"},
        {"https://h.example?x=/y", "https://h.example"},
        {"folder/m.xml", "folder"},
        {"m.xml", "m.xml"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::directoryOfUrl(c.text), c.directory) << c.text;
    }
}

}  // namespace
