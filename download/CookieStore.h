// The engine's process-wide cookie jar: Set-Cookie answers in, the Cookie value for a URL out.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "download/Mutex.h"

class CookieStore {
public:
    static CookieStore& shared();

    CookieStore() = default;
    CookieStore(const CookieStore&) = delete;
    CookieStore& operator=(const CookieStore&) = delete;

    // One Set-Cookie value received in the answer to url.
    void storeFromSetCookie(const std::string& url, const std::string& setCookie) EXCLUDES(mutex_);
    // "a=1;b=2;" for the cookies that match url (domain, path, secure, expiry); "" for none.
    std::string cookieHeaderFor(const std::string& url) EXCLUDES(mutex_);
    void clear() EXCLUDES(mutex_);

private:
    struct Cookie {
        std::string name;
        std::string value;
        std::string domain;  // lower case, no leading dot
        bool hostOnly = true;
        std::string path;
        bool secure = false;
        std::time_t expires = 0;  // 0: for the life of the process
    };

    Mutex mutex_;
    std::vector<Cookie> cookies_ GUARDED_BY(mutex_);
};
