// The engine's cookie jar: which stored cookies a request URL gets.
#include "download/CookieStore.h"

#include <gtest/gtest.h>

namespace {

TEST(CookieStoreTest, CookiesGoOnlyWhereTheirDomainPathSecureAndExpiryAllow) {
    CookieStore store;
    store.storeFromSetCookie("http://www.example.test/app/page", "host=1");                     // host only, path /app
    store.storeFromSetCookie("http://www.example.test/x", "wide=2; Domain=.example.test; Path=/");
    store.storeFromSetCookie("http://www.example.test/x", "safe=3; Path=/; Secure");
    store.storeFromSetCookie("http://www.example.test/x", "old=4; Path=/; Expires=Thu, 01 Jan 1970 00:00:10 GMT");
    store.storeFromSetCookie("http://www.example.test/x", "foreign=5; Domain=other.test; Path=/");  // refused
    store.storeFromSetCookie("http://www.example.test/x", "novalue");                              // not a cookie
    struct Case {
        const char* url;
        const char* header;
    };
    const Case cases[] = {
        {"http://www.example.test/app/file", "host=1;wide=2;"},
        {"http://www.example.test/application", "wide=2;"},  // "/app" is not a prefix by segment
        {"https://www.example.test/app", "host=1;wide=2;safe=3;"},
        {"http://cdn.example.test/", "wide=2;"},
        {"http://example.test/", "wide=2;"},
        {"http://badexample.test/", ""},
        {"http://other.test/", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(store.cookieHeaderFor(c.url), c.header) << c.url;
    }
}

TEST(CookieStoreTest, ALaterCookieReplacesOrDeletesTheSameOne) {
    CookieStore store;
    store.storeFromSetCookie("http://h.test/", "a=1; Path=/");
    store.storeFromSetCookie("http://h.test/", "b=2; Path=/");
    store.storeFromSetCookie("http://h.test/", "a=3; Path=/");
    EXPECT_EQ(store.cookieHeaderFor("http://h.test/f"), "b=2;a=3;");
    store.storeFromSetCookie("http://h.test/", "b=; Path=/; Max-Age=0");
    EXPECT_EQ(store.cookieHeaderFor("http://h.test/f"), "a=3;");
    store.clear();
    EXPECT_EQ(store.cookieHeaderFor("http://h.test/f"), "");
}

}  // namespace
