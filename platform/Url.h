// URLs split into their parts by one set of rules, for every layer that needs a host, a port or a path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Why a text is not an absolute URL.
enum class UrlFailure {
    None,
    NoScheme,   // no "scheme://" at the start (a scheme is a letter, then letters, digits, "+", "-", ".")
    EmptyHost,  // nothing between "//" and the port, path, query or fragment
    BadHost,    // an unclosed "[", text after "]" other than a port, brackets around no IPv6 address,
                // or a bracket outside them
    BadPort,    // a ":" not followed by decimal digits naming 1 to 65535
};

// "scheme://userInfo@host:port/path?query#fragment". Every part as written: no case folding,
// percent-escapes left as they stand.
struct Url {
    std::string scheme;     // empty when the text has none; schemeIs() compares in any case
    std::string authority;  // user info, host and port, the whole text between "//" and the path
    std::string userInfo;   // before the last "@" of the authority (it may hold ":" and "@")
    bool hasUserInfo = false;
    std::string host;  // an IPv6 address without its brackets
    bool bracketed = false;
    std::string portText;    // after the host's ":"; empty when there is none
    std::uint16_t port = 0;  // portText's value when it names 1 to 65535, else 0
    std::string path;        // from its "/" up to "?" or "#"; empty when there is none
    std::string query;       // after "?", up to "#"
    bool hasQuery = false;
    std::string fragment;  // after "#"
    bool hasFragment = false;

    bool schemeIs(std::string_view name) const;
    std::string hostLowerCase() const;
    // The host as it goes into a URL: an IPv6 address in brackets.
    std::string hostInUrl() const;
    // Everything before the path: "scheme://authority", or the authority alone without a scheme.
    std::string origin() const;
    // The path, "?query" and "#fragment" as written: what follows the authority.
    std::string target() const;
};

struct UrlParse {
    UrlFailure failure = UrlFailure::None;
    Url url;
    bool ok() const { return failure == UrlFailure::None; }
};

// Never fails, for callers that take what they are given: a text without "scheme://" is an
// authority and what follows it ("host:8080/file"), an unclosed "[" runs to the authority's end,
// and a port that is not a number leaves port 0.
Url splitUrl(std::string_view text);

// An absolute URL, checked; the parts are those splitUrl gives.
UrlParse parseUrl(std::string_view text);

// Where files beside the URL's own live: the origin and the path up to (not including) its last
// "/"; query and fragment dropped. "https://h/a/m.xml?x=/y" gives "https://h/a", "https://h" itself.
std::string directoryOfUrl(std::string_view text);

// The text assembled from the parts alone (authority ignored): parseUrl splits it back into
// the same parts.
std::string assembleUrl(const Url& url);

}  // namespace platform
