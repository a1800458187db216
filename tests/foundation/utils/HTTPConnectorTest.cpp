// HTTPConnector against loopback peers: request bytes, result codes, gzip, deadline, cancel, 407.
#include "foundation/utils/HTTPConnector.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/ProxySettings.h"
#include "tests/support/FlatMappingCheck.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_peers::LoopbackHttpPeer;
using test_peers::PeerAnswer;
using test_peers::httpResponse;
using ZEZUUtils::HTTPConnector;
using ZEZUUtils::HTTPRequest;

std::string gzipped(const std::string& text) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(compressBound(static_cast<uLong>(text.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

HTTPRequest requestTo(const LoopbackHttpPeer& peer, const std::string& method, const std::string& path) {
    HTTPRequest request;
    request.baseURL = peer.baseUrl().substr(0, peer.baseUrl().rfind(':'));
    request.port = peer.port();
    request.method = method;
    request.path = path;
    request.timeout = 10;
    return request;
}

// Every test runs without proxies unless it sets one, and with a fresh snapshot.
class HTTPConnectorTest : public ::testing::Test {
protected:
    void SetUp() override { setProxy(""); }
    void TearDown() override { setProxy(""); }
    static void setProxy(const std::string& url) {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            ::unsetenv(name);
        }
        if (!url.empty()) {
            ::setenv("http_proxy", url.c_str(), 1);
            ::setenv("https_proxy", url.c_str(), 1);
        }
        platform::ProxySettings::refresh();
    }
};

TEST_F(HTTPConnectorTest, SendsTheExactRequestLineAndFields) {
    LoopbackHttpPeer peer([](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "ok")); });
    const std::string host = "Host: 127.0.0.1:" + std::to_string(peer.port()) + "\r\n";
    const std::string defaults = "User-Agent: Morvane Studio\r\nContent-Type: text/xml; charset=utf-8\r\n"
                                 "Connection: close\r\n";
    struct Case {
        const char* name;
        HTTPRequest request;
        std::string expected;
    };
    std::vector<Case> cases;
    {
        auto r = requestTo(peer, "POST", "/hsmessaging/rest?a=%41&b=%%");
        r.body = std::string(42, 'x');
        cases.push_back({"POST: raw URL, defaults, Content-Length as %5d", r,
                         "POST /hsmessaging/rest?a=%41&b=%% HTTP/1.1\r\n" + host + defaults +
                             "Content-Length:    42\r\n\r\n" + std::string(42, 'x')});
    }
    {
        auto r = requestTo(peer, "POST", "/big");
        r.body = std::string(123456, 'y');
        r.headers = {{"Content-Length", "1"}};
        cases.push_back(
            {"a long body: its own length replaces the caller's", r,
             "POST /big HTTP/1.1\r\n" + host + defaults + "Content-Length: 123456\r\n\r\n" + std::string(123456, 'y')});
    }
    {
        auto r = requestTo(peer, "GET", "/get");
        r.body = "not sent";
        r.useGzip = true;
        cases.push_back({"GET: no body, no Content-Length; gzip asked for", r,
                         "GET /get HTTP/1.1\r\n" + host + defaults + "Accept-Encoding: compress, gzip\r\n\r\n"});
    }
    {
        auto r = requestTo(peer, "GET", "/h");
        r.headers = {{"User-Agent", ""}, {"Connection", "keep-alive"}, {"A-First", "1"}, {"Z-Last", "2"}};
        cases.push_back({"caller's fields: empty suppresses, own value replaces, key order", r,
                         "GET /h HTTP/1.1\r\n" + host +
                             "Content-Type: text/xml; charset=utf-8\r\nA-First: 1\r\nConnection: keep-alive\r\n"
                             "Z-Last: 2\r\n\r\n"});
    }
    {
        // Nothing escapes the URL, so one that is not a URL is never sent.
        HTTPConnector connector;
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(requestTo(peer, "GET", "/a path"), nullptr, body), 5);
        EXPECT_TRUE(peer.requests().empty());
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        HTTPConnector connector;
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(cases[i].request, nullptr, body), 0) << cases[i].name;
        EXPECT_EQ(body, "ok") << cases[i].name;
        ASSERT_EQ(peer.requests().size(), i + 1);
        EXPECT_EQ(peer.requests()[i], cases[i].expected) << cases[i].name;
    }
}

TEST_F(HTTPConnectorTest, ResultCodesForAnswersAndBrokenExchanges) {
    struct Case {
        const char* name;
        PeerAnswer answer;
        int32_t result;
        std::string body;
    } cases[] = {
        {"200", PeerAnswer::reply(httpResponse(200, "<ok/>")), 0, "<ok/>"},
        {"3xx counts as done, not followed", PeerAnswer::reply(httpResponse(302, "moved", {{"Location", "/x"}})), 0,
         "moved"},
        {"401 returned without a retry", PeerAnswer::reply(httpResponse(401, "", {{"WWW-Authenticate", "Basic"}})), 401,
         "before"},
        {"404", PeerAnswer::reply(httpResponse(404, "missing")), 404, "missing"},
        {"503", PeerAnswer::reply(httpResponse(503, "busy")), 503, "busy"},
        {"closed without an answer", PeerAnswer::close(), 68, "before"},
        {"body short of its length", PeerAnswer::reply("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nshort"), 68,
         "short"},
        {"not HTTP", PeerAnswer::reply("garbage\r\n\r\n"), 68, "before"},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer peer([&](const std::string&, std::size_t) { return c.answer; });
        HTTPConnector connector;
        std::map<std::string, std::string> fields;
        std::string body = "before";
        EXPECT_EQ(connector.sendHTTPRequest(requestTo(peer, "POST", "/"), &fields, body), c.result) << c.name;
        EXPECT_EQ(body, c.body) << c.name;
        EXPECT_EQ(peer.requests().size(), 1u) << c.name;
    }

    HTTPConnector connector;
    std::string body;
    HTTPRequest invalid;
    invalid.method = "GET";
    EXPECT_EQ(connector.sendHTTPRequest(invalid, nullptr, body), 4);
    invalid.baseURL = "http://127.0.0.1";
    invalid.method.clear();
    EXPECT_EQ(connector.sendHTTPRequest(invalid, nullptr, body), 4);

    int closedPort = 0;
    {
        LoopbackHttpPeer gone([](const std::string&, std::size_t) { return PeerAnswer::close(); });
        closedPort = gone.port();
    }
    HTTPRequest refused;
    refused.baseURL = "http://127.0.0.1";
    refused.port = closedPort;
    refused.method = "GET";
    refused.timeout = 5;
    EXPECT_EQ(connector.sendHTTPRequest(refused, nullptr, body), 65);
    refused.timeout = 0;
    EXPECT_EQ(connector.sendHTTPRequest(refused, nullptr, body), 2);
}

TEST_F(HTTPConnectorTest, HeaderMapKeepsEarlierFields_AndHoldsAtMostTwenty) {
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 30; ++i) {
        many.emplace_back("X-Field-" + std::to_string(100 + i), std::to_string(i));
    }
    LoopbackHttpPeer peer(
        [&](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "b", many)); });
    HTTPConnector connector;
    std::map<std::string, std::string> fields = {{"Kept-From-Before", "yes"}};
    std::string body;
    EXPECT_EQ(connector.sendHTTPRequest(requestTo(peer, "GET", "/"), &fields, body), 0);
    EXPECT_EQ(fields.size(), 21u);
    EXPECT_EQ(fields["Kept-From-Before"], "yes");
    EXPECT_EQ(fields["X-Field-100"], "0");
}

TEST_F(HTTPConnectorTest, GunzipsOnlyABodyTheFinalAnswerMarks) {
    const std::string text = "<eventList>compressed</eventList>";
    struct Case {
        const char* name;
        std::string answer;
        std::map<std::string, std::string> fieldsBefore;
        std::string body;
    } cases[] = {
        {"marked and valid", httpResponse(200, gzipped(text), {{"Content-Encoding", "gzip"}}), {}, text},
        {"marked but damaged: kept raw",
         httpResponse(200, "plain text", {{"Content-Encoding", "gzip"}}),
         {},
         "plain text"},
        {"unmarked gzip bytes stay as they are", httpResponse(200, gzipped(text)), {}, gzipped(text)},
        {"a marking left in the map from before does not count",
         httpResponse(200, "plain"),
         {{"Content-Encoding", "gzip"}},
         "plain"},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer peer([&](const std::string&, std::size_t) { return PeerAnswer::reply(c.answer); });
        HTTPConnector connector;
        auto request = requestTo(peer, "GET", "/");
        request.useGzip = true;
        auto fields = c.fieldsBefore;
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(request, &fields, body), 0) << c.name;
        EXPECT_EQ(body, c.body) << c.name;
    }
}

TEST_F(HTTPConnectorTest, DeadlineAndCancel) {
    LoopbackHttpPeer silent([](const std::string&, std::size_t) { return PeerAnswer::silent(); });
    HTTPConnector connector;
    std::string body;
    auto request = requestTo(silent, "POST", "/");
    request.timeout = 1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(connector.sendHTTPRequest(request, nullptr, body), 2);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(4));

    // The deadline during a TLS handshake that never finishes is a time-out too, not "done".
    request.baseURL = "https://127.0.0.1";
    EXPECT_EQ(connector.sendHTTPRequest(request, nullptr, body), 2);

    request = requestTo(silent, "POST", "/");
    request.timeout = 30;
    bool otherIdDelivered = false;
    std::thread canceller([&] {
        // Wait until the attempt listens under its name, then try a foreign id and the real one.
        for (int i = 0; i < 500; ++i) {
            const std::string name = "Cancel Port" + connector.getCancelPortGUID();
            if (HTTPConnector::sendCancelMessage(name, 2)) {
                otherIdDelivered = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                HTTPConnector::sendCancelMessage(name, 1);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto cancelStarted = std::chrono::steady_clock::now();
    EXPECT_EQ(connector.sendHTTPRequest(request, nullptr, body), 5);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelStarted, std::chrono::seconds(10));
    canceller.join();
    EXPECT_TRUE(otherIdDelivered);
    EXPECT_EQ(connector.getCancelPortGUID().size(), 36u);
    EXPECT_FALSE(HTTPConnector::sendCancelMessage("Cancel Port" + connector.getCancelPortGUID(), 1));
}

TEST_F(HTTPConnectorTest, CertificateCasesGiveTheirCodes) {
    const std::string folder = test_support::makeTemporaryFolder("connector-tls");
    ASSERT_TRUE(test_peers::makeTestCertificates(folder));
    ::setenv("SSL_CERT_FILE", (folder + "/ca.pem").c_str(), 1);
    struct Case {
        const char* chain;
        int32_t result;
    } cases[] = {
        {"valid.pem", 0},       {"selfsigned.pem", 97}, {"untrusted-chain.pem", 97},
        {"unknown-ca.pem", 98}, {"expired.pem", 99},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer peer([](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "s")); },
                              folder + "/" + c.chain, folder + "/server.key");
        HTTPConnector connector;
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(requestTo(peer, "POST", "/"), nullptr, body), c.result) << c.chain;
    }
    ::unsetenv("SSL_CERT_FILE");
    test_support::removeTree(folder);
}

TEST_F(HTTPConnectorTest, ProxyAuthenticationRetries_ScriptedProxy) {
    // A loopback peer in the proxy's place: the scripts decide by the credentials a request carries.
    auto challenge = [](const std::string& scheme) {
        return httpResponse(407, "auth", {{"Proxy-Authenticate", scheme}});
    };
    struct Case {
        const char* name;
        std::function<PeerAnswer(const std::string&)> proxy;
        std::string user;
        int32_t result;
    } cases[] = {
        {"407 again after the credentials, user set",
         [&](const std::string&) { return PeerAnswer::reply(challenge("Basic realm=\"p\"")); }, "user", 191},
        {"407 again, no user", [&](const std::string&) { return PeerAnswer::reply(challenge("Basic realm=\"p\"")); },
         "", 190},
        {"407 without a challenge cannot be answered",
         [](const std::string&) { return PeerAnswer::reply(httpResponse(407, "no challenge")); }, "user", 5},
        {"407 with a scheme nobody knows",
         [&](const std::string&) { return PeerAnswer::reply(challenge("Magic x=1")); }, "user", 5},
        {"407, then 401, then the server credentials",
         [&](const std::string& request) {
             if (request.find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=") == std::string::npos) {
                 return PeerAnswer::reply(challenge("Basic realm=\"p\""));
             }
             if (request.find("\r\nAuthorization: ") == std::string::npos) {
                 return PeerAnswer::reply(httpResponse(401, "who", {{"WWW-Authenticate", "Basic realm=\"s\""}}));
             }
             return PeerAnswer::reply(httpResponse(200, "through"));
         },
         "user", 0},
        {"407, then 401 without a challenge",
         [&](const std::string& request) {
             if (request.find("Proxy-Authorization: ") == std::string::npos) {
                 return PeerAnswer::reply(challenge("Basic realm=\"p\""));
             }
             return PeerAnswer::reply(httpResponse(401, "who"));
         },
         "user", 5},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer proxy([&](const std::string& request, std::size_t) { return c.proxy(request); });
        setProxy(proxy.baseUrl());
        HTTPConnector connector;
        if (!c.user.empty()) {
            EXPECT_TRUE(connector.setProxyCredentials(c.user, "secret"));
        }
        HTTPRequest request;
        request.baseURL = "http://telemetry.test";
        request.path = "/hsmessaging/rest";
        request.method = "POST";
        request.body = "<eventList/>";
        request.timeout = 10;
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(request, nullptr, body), c.result) << c.name;
        EXPECT_NE(proxy.requests().front().find("POST http://telemetry.test/hsmessaging/rest HTTP/1.1"),
                  std::string::npos);
        EXPECT_EQ(proxy.requests().front().find("Proxy-Authorization"), std::string::npos)
            << c.name << ": the first attempt goes without credentials";
    }
}

TEST_F(HTTPConnectorTest, ProxyAuthenticationRetries_Tinyproxy) {
    const std::string folder = test_support::makeTemporaryFolder("connector-proxy");
    ASSERT_TRUE(test_peers::makeTestCertificates(folder));
    ::setenv("SSL_CERT_FILE", (folder + "/ca.pem").c_str(), 1);
    {
        test_peers::TinyproxyProcess tinyproxy(folder, "user", "secret");
        ASSERT_TRUE(tinyproxy.running());
        LoopbackHttpPeer plain(
            [](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "p")); });
        LoopbackHttpPeer tls([](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "t")); },
                             folder + "/valid.pem", folder + "/server.key");
        setProxy(tinyproxy.url());
        struct Case {
            const char* name;
            const LoopbackHttpPeer& target;
            std::string user;
            std::string password;
            int32_t result;
            std::string body;
        } cases[] = {
            {"plain, credentials", plain, "user", "secret", 0, "p"},
            {"plain, none", plain, "", "", 190, ""},
            {"tunnel, credentials", tls, "user", "secret", 0, "t"},
            {"tunnel, none", tls, "", "", 190, ""},
            // tinyproxy refuses wrong credentials with 401; answering it changes nothing.
            {"plain, wrong password", plain, "user", "wrong", 401, ""},
            {"tunnel, wrong password", tls, "user", "wrong", 401, ""},
        };
        for (const auto& c : cases) {
            HTTPConnector connector;
            if (!c.user.empty()) {
                connector.setProxyCredentials(c.user, c.password);
            }
            EXPECT_FALSE(connector.setProxyCredentials("", "other")) << "keeps the former credentials";
            std::string body;
            EXPECT_EQ(connector.sendHTTPRequest(requestTo(c.target, "POST", "/hsmessaging/rest"), nullptr, body),
                      c.result)
                << c.name;
            if (c.result == 0) {
                EXPECT_EQ(body, c.body) << c.name;
            }
        }
    }
    ::unsetenv("SSL_CERT_FILE");
    test_support::removeTree(folder);
}

// The POST carries no body: tinyproxy closes a connection it answered 407 without reading the
// rest, and a body still on the way turns that answer into a reset.
TEST_F(HTTPConnectorTest, ProxyCredentialsCostOneRetry_Tinyproxy) {
    const std::string folder = test_support::makeTemporaryFolder("connector-proxy-count");
    {
        test_peers::TinyproxyProcess tinyproxy(folder, "user", "secret");
        ASSERT_TRUE(tinyproxy.running());
        LoopbackHttpPeer origin(
            [](const std::string&, std::size_t) { return PeerAnswer::reply(httpResponse(200, "p")); });
        setProxy(tinyproxy.url());
        HTTPConnector connector;
        ASSERT_TRUE(connector.setProxyCredentials("user", "secret"));
        std::string body;
        EXPECT_EQ(connector.sendHTTPRequest(requestTo(origin, "POST", "/hsmessaging/rest"), nullptr, body), 0);
        EXPECT_EQ(origin.requests().size(), 1u);
    }
    // Every request line tinyproxy read, answered 407 or passed on; the log is whole once it exited.
    std::ifstream in(folder + "/tinyproxy.log");
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t posts = 0;
    for (std::size_t at = log.find("POST http://"); at != std::string::npos; at = log.find("POST http://", at + 1)) {
        ++posts;
    }
    EXPECT_EQ(posts, 2u) << "one without credentials, one with Basic\n" << log;
    test_support::removeTree(folder);
}

TEST(HTTPConnectorResults, EveryResultMapsBothWaysAndNoStatusIsOne) {
    using R = ZEZUUtils::HTTPResult;
    test_support::expectExactFlatMapping<R>({{R::Done, 0},
                                             {R::TimedOut, 2},
                                             {R::InvalidArguments, 4},
                                             {R::NotIssued, 5},
                                             {R::PosixStreamError, 65},
                                             {R::NameResolutionError, 66},
                                             {R::HttpStreamError, 68},
                                             {R::StreamError, 70},
                                             {R::CertificateSelfSigned, 97},
                                             {R::CertificateIssuerUnknown, 98},
                                             {R::CertificateExpired, 99},
                                             {R::ProxyAuthenticationRequired, 190},
                                             {R::ProxyCredentialsRefused, 191}},
                                            ZEZUUtils::httpResultFromFlat);
}

}  // namespace
