// A small cookie jar for the engine's requests.
#include "download/CookieStore.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/Url.h"

namespace {

struct UrlParts {
    bool secure = false;
    std::string host;
    std::string path = "/";
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

UrlParts partsOf(const std::string& url) {
    const platform::Url split = platform::splitUrl(url);
    UrlParts parts;
    parts.secure = split.schemeIs("https");
    parts.host = split.hostLowerCase();
    if (!split.path.empty()) {
        parts.path = split.path;
    }
    return parts;
}

bool domainMatches(const std::string& host, const std::string& domain) {
    if (host == domain) {
        return true;
    }
    return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
    if (requestPath == cookiePath) {
        return true;
    }
    return requestPath.compare(0, cookiePath.size(), cookiePath) == 0 &&
           (cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/');
}

std::time_t parseHttpDate(const std::string& text) {
    static const char* const formats[] = {"%a, %d %b %Y %H:%M:%S", "%a, %d-%b-%Y %H:%M:%S", "%a, %d-%b-%y %H:%M:%S",
                                          "%a %b %d %H:%M:%S %Y"};
    for (const char* format : formats) {
        std::tm parts{};
        const char* end = strptime(text.c_str(), format, &parts);
        if (end != nullptr) {
            return timegm(&parts);
        }
    }
    return 0;
}

}  // namespace

CookieStore& CookieStore::shared() {
    static CookieStore store;
    return store;
}

void CookieStore::storeFromSetCookie(const std::string& url, const std::string& setCookie) {
    const UrlParts request = partsOf(url);
    Cookie cookie;
    bool expired = false;
    size_t start = 0;
    bool first = true;
    while (start <= setCookie.size()) {
        size_t end = setCookie.find(';', start);
        if (end == std::string::npos) {
            end = setCookie.size();
        }
        const std::string part = setCookie.substr(start, end - start);
        start = end + 1;
        const size_t equals = part.find('=');
        const std::string name = trim(part.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : trim(part.substr(equals + 1));
        if (first) {
            first = false;
            if (equals == std::string::npos || name.empty()) {
                return;  // not a cookie
            }
            cookie.name = name;
            cookie.value = value;
            continue;
        }
        const std::string attribute = lower(name);
        if (attribute == "domain" && !value.empty()) {
            std::string domain = lower(value);
            if (domain[0] == '.') {
                domain.erase(0, 1);
            }
            if (!domainMatches(request.host, domain)) {
                return;  // a server may not set cookies for another site
            }
            cookie.domain = domain;
            cookie.hostOnly = false;
        } else if (attribute == "path" && !value.empty() && value[0] == '/') {
            cookie.path = value;
        } else if (attribute == "secure") {
            cookie.secure = true;
        } else if (attribute == "max-age") {
            char* endOfNumber = nullptr;
            const long long seconds = std::strtoll(value.c_str(), &endOfNumber, 10);
            if (endOfNumber != value.c_str()) {
                if (seconds <= 0) {
                    expired = true;
                } else {
                    cookie.expires = std::time(nullptr) + static_cast<std::time_t>(seconds);
                }
            }
        } else if (attribute == "expires" && cookie.expires == 0) {
            const std::time_t when = parseHttpDate(value);
            if (when != 0 && when <= std::time(nullptr)) {
                expired = true;
            } else {
                cookie.expires = when;
            }
        }
        if (end == setCookie.size()) {
            break;
        }
    }
    if (cookie.domain.empty()) {
        cookie.domain = request.host;
    }
    if (cookie.path.empty()) {
        const size_t slash = request.path.rfind('/');
        cookie.path = slash == 0 || slash == std::string::npos ? "/" : request.path.substr(0, slash);
    }
    MutexLock hold(mutex_);
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](const Cookie& old) {
                                      return old.name == cookie.name && old.domain == cookie.domain &&
                                             old.path == cookie.path;
                                  }),
                   cookies_.end());
    if (!expired) {
        cookies_.push_back(cookie);
    }
}

std::string CookieStore::cookieHeaderFor(const std::string& url) {
    const UrlParts request = partsOf(url);
    const std::time_t now = std::time(nullptr);
    std::string header;
    MutexLock hold(mutex_);
    for (const Cookie& cookie : cookies_) {
        if (cookie.expires != 0 && cookie.expires <= now) {
            continue;
        }
        if (cookie.secure && !request.secure) {
            continue;
        }
        if (cookie.hostOnly ? request.host != cookie.domain : !domainMatches(request.host, cookie.domain)) {
            continue;
        }
        if (!pathMatches(request.path, cookie.path)) {
            continue;
        }
        header += cookie.name + "=" + cookie.value + ";";
    }
    return header;
}

void CookieStore::clear() {
    MutexLock hold(mutex_);
    cookies_.clear();
}
