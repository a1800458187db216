// The URL splitter and its checked form.
#include "platform/Url.h"

#include <algorithm>

namespace platform {
namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The length of a leading "scheme://" (RFC 3986 section 3.1), 0 when the text has none.
std::size_t schemeLength(std::string_view text) {
    if (text.empty() || !isAsciiLetter(text[0])) {
        return 0;
    }
    std::size_t i = 1;
    while (i < text.size() &&
           (isAsciiLetter(text[i]) || isAsciiDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) {
        ++i;
    }
    return text.substr(i, 3) == "://" ? i : 0;
}

// 1 to 65535 in decimal digits only, else 0.
std::uint16_t portValue(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    unsigned long value = 0;
    for (const char c : text) {
        if (!isAsciiDigit(c)) {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) {
            return 0;
        }
    }
    return static_cast<std::uint16_t>(value);
}

// Hex digits, ":" and "." (a dotted IPv4 tail), at least one ":", then an optional zone
// ("%25eth0", RFC 6874) of unreserved characters and escapes.
bool isIpv6Literal(std::string_view text) {
    const std::size_t zone = text.find('%');
    const std::string_view address = text.substr(0, zone);
    if (address.find(':') == std::string_view::npos) {
        return false;
    }
    if (!std::all_of(address.begin(), address.end(), [](char c) { return isHexDigit(c) || c == ':' || c == '.'; })) {
        return false;
    }
    if (zone == std::string_view::npos) {
        return true;
    }
    const std::string_view rest = text.substr(zone + 1);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
        return isAsciiLetter(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '%';
    });
}

}  // namespace

bool Url::schemeIs(std::string_view name) const {
    return scheme.size() == name.size() && std::equal(scheme.begin(), scheme.end(), name.begin(),
                                                      [](char a, char b) { return lowerAscii(a) == lowerAscii(b); });
}

std::string Url::hostLowerCase() const {
    std::string lowered = host;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), lowerAscii);
    return lowered;
}

std::string Url::hostInUrl() const { return bracketed ? "[" + host + "]" : host; }

std::string Url::origin() const { return scheme.empty() ? authority : scheme + "://" + authority; }

std::string Url::target() const {
    std::string text = path;
    if (hasQuery) {
        text += "?" + query;
    }
    if (hasFragment) {
        text += "#" + fragment;
    }
    return text;
}

Url splitUrl(std::string_view text) {
    Url url;
    std::size_t cursor = schemeLength(text);
    if (cursor != 0) {
        url.scheme = std::string(text.substr(0, cursor));
        cursor += 3;
    }
    const std::size_t authorityEnd = std::min(text.find_first_of("/?#", cursor), text.size());
    url.authority = std::string(text.substr(cursor, authorityEnd - cursor));

    std::string_view hostPort = url.authority;
    if (const std::size_t at = hostPort.rfind('@'); at != std::string_view::npos) {
        url.hasUserInfo = true;
        url.userInfo = std::string(hostPort.substr(0, at));
        hostPort.remove_prefix(at + 1);
    }
    std::size_t portColon = std::string_view::npos;
    if (!hostPort.empty() && hostPort.front() == '[') {
        url.bracketed = true;
        const std::size_t close = hostPort.find(']');
        url.host =
            std::string(hostPort.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        if (close != std::string_view::npos && close + 1 < hostPort.size() && hostPort[close + 1] == ':') {
            portColon = close + 1;
        }
    } else {
        portColon = hostPort.find(':');
        url.host = std::string(hostPort.substr(0, portColon));
    }
    if (portColon != std::string_view::npos) {
        url.portText = std::string(hostPort.substr(portColon + 1));
        url.port = portValue(url.portText);
    }

    cursor = authorityEnd;
    if (cursor < text.size() && text[cursor] == '/') {
        const std::size_t end = std::min(text.find_first_of("?#", cursor), text.size());
        url.path = std::string(text.substr(cursor, end - cursor));
        cursor = end;
    }
    if (cursor < text.size() && text[cursor] == '?') {
        const std::size_t end = std::min(text.find('#', cursor), text.size());
        url.hasQuery = true;
        url.query = std::string(text.substr(cursor + 1, end - cursor - 1));
        cursor = end;
    }
    if (cursor < text.size() && text[cursor] == '#') {
        url.hasFragment = true;
        url.fragment = std::string(text.substr(cursor + 1));
    }
    return url;
}

UrlParse parseUrl(std::string_view text) {
    UrlParse parse;
    parse.url = splitUrl(text);
    const Url& url = parse.url;
    std::string_view hostPort = url.authority;
    if (url.hasUserInfo) {
        hostPort.remove_prefix(url.userInfo.size() + 1);
    }
    if (url.scheme.empty()) {
        parse.failure = UrlFailure::NoScheme;
    } else if (url.host.empty() && (!url.bracketed || hostPort.find(']') != std::string_view::npos)) {
        parse.failure = UrlFailure::EmptyHost;
    } else if (url.bracketed) {
        const std::size_t close = hostPort.find(']');
        const bool portOrNothingAfter =
            close != std::string_view::npos && (close + 1 == hostPort.size() || hostPort[close + 1] == ':');
        if (!portOrNothingAfter || !isIpv6Literal(url.host)) {
            parse.failure = UrlFailure::BadHost;
        }
    } else if (url.host.find_first_of("[]") != std::string::npos) {
        parse.failure = UrlFailure::BadHost;
    }
    const bool hasPortColon = hostPort.size() != url.hostInUrl().size();
    if (parse.ok() && hasPortColon && url.port == 0) {
        parse.failure = UrlFailure::BadPort;
    }
    return parse;
}

std::string directoryOfUrl(std::string_view text) {
    const Url url = splitUrl(text);
    return url.origin() + url.path.substr(0, url.path.rfind('/'));
}

std::string assembleUrl(const Url& url) {
    std::string text;
    if (!url.scheme.empty()) {
        text = url.scheme + "://";
    }
    if (url.hasUserInfo) {
        text += url.userInfo + "@";
    }
    text += url.hostInUrl();
    if (!url.portText.empty()) {
        text += ":" + url.portText;
    }
    return text + url.target();
}

}  // namespace platform
