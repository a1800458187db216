// HttpTransfer against real loopback peers: request bytes, outcomes, TLS cases, proxies.
#include "platform/HttpTransfer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using platform::HttpFailure;
using platform::HttpMethod;
using platform::HttpTransfer;
using platform::HttpTransferRequest;
using test_peers::LoopbackHttpPeer;
using test_peers::PeerAnswer;

std::shared_ptr<const platform::ProxySettings> noProxy() {
    return std::make_shared<const platform::ProxySettings>("", "", "");
}

HttpTransferRequest requestFor(const std::string& url, HttpMethod method = HttpMethod::Get) {
    HttpTransferRequest request;
    request.url = url;
    request.method = method;
    request.proxySettings = noProxy();
    request.deadline = std::chrono::seconds(10);
    return request;
}

std::string headOf(const std::string& request) { return request.substr(0, request.find("\r\n\r\n") + 4); }

PeerAnswer answerOk(const std::string&, std::size_t) { return PeerAnswer::reply(test_peers::httpResponse(200, "ok")); }

TEST(HttpTransfer, SendsExactlyTheRequestItIsGiven) {
    LoopbackHttpPeer peer(answerOk);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(peer.port()) + "\r\n";
    struct Case {
        const char* name;
        HttpTransferRequest request;
        std::string head;
        std::string body;
    };
    auto make = [&](HttpMethod method, const std::string& path) { return requestFor(peer.baseUrl() + path, method); };

    std::vector<Case> cases;
    {
        auto r = make(HttpMethod::Get, "/a%20b/c?d=%41");
        r.headers = {{"Accept", ""}, {"X-One", "1"}, {"X-Two", "2"}, {"x-one", "again"}};
        cases.push_back({"raw URL, ordered fields, a later name replaces, empty suppresses", r,
                         "GET /a%20b/c?d=%41 HTTP/1.1\r\n" + host + "X-One: again\r\nX-Two: 2\r\n\r\n", ""});
    }
    {
        auto r = make(HttpMethod::Post, "/post");
        r.body = std::string(42, 'x');
        r.headers = {{"Accept", ""}, {"Content-Type", "text/xml; charset=utf-8"}, {"Content-Length", "   42"}};
        cases.push_back({"POST keeps the caller's one Content-Length", r,
                         "POST /post HTTP/1.1\r\n" + host +
                             "Content-Type: text/xml; charset=utf-8\r\nContent-Length:    42\r\n\r\n",
                         std::string(42, 'x')});
    }
    {
        auto r = make(HttpMethod::Post, "/post");
        r.body = "<a/>";
        cases.push_back({"POST without fields: no form type, no Expect", r,
                         "POST /post HTTP/1.1\r\n" + host + "Accept: */*\r\nContent-Length: 4\r\n\r\n", "<a/>"});
    }
    {
        auto r = make(HttpMethod::Get, "/get");
        r.body = "ignored";
        r.headers = {{"Content-Length", "7"}, {"Accept", ""}};
        cases.push_back({"GET never carries a body", r, "GET /get HTTP/1.1\r\n" + host + "\r\n", ""});
    }
    {
        auto r = make(HttpMethod::Get, "/file");
        r.range = platform::HttpByteRange{100, 199};
        r.userAgent = "Agent/1";
        r.cookieHeader = "a=1;b=2;";
        r.headers = {{"Accept", ""}};
        cases.push_back({"range, user agent and cookies", r,
                         "GET /file HTTP/1.1\r\n" + host +
                             "Range: bytes=100-199\r\nUser-Agent: Agent/1\r\nCookie: a=1;b=2;\r\n\r\n",
                         ""});
    }
    {
        auto r = make(HttpMethod::Head, "/head");
        r.headers = {{"Accept", ""}, {"Accept-Encoding", "gzip"}};
        cases.push_back({"HEAD, and no decoding asked of libcurl", r,
                         "HEAD /head HTTP/1.1\r\n" + host + "Accept-Encoding: gzip\r\n\r\n", ""});
    }

    for (std::size_t i = 0; i < cases.size(); ++i) {
        HttpTransfer transfer(cases[i].request);
        const auto& outcome = transfer.run();
        EXPECT_TRUE(outcome.completed()) << cases[i].name << ": " << outcome.message;
        ASSERT_EQ(peer.requests().size(), i + 1) << cases[i].name;
        const std::string sent = peer.requests()[i];
        EXPECT_EQ(headOf(sent), cases[i].head) << cases[i].name;
        EXPECT_EQ(sent.substr(headOf(sent).size()), cases[i].body) << cases[i].name;
    }
}

TEST(HttpTransfer, DeliversStatusHeadersAndBody_WithoutDecoding) {
    const std::string gzipLike("\x1f\x8b\x08\x00rest", 8);
    LoopbackHttpPeer peer([&](const std::string&, std::size_t) {
        return PeerAnswer::reply(
            "HTTP/1.1 100 Continue\r\n\r\n" +
            test_peers::httpResponse(404, gzipLike, {{"Content-Encoding", "gzip"}, {"Etag", "\"v1\""}}));
    });
    HttpTransfer transfer(requestFor(peer.baseUrl() + "/x"));
    std::vector<long> statusLines;
    std::vector<std::string> fieldsSinceLastStatus;
    bool ended = false;
    std::string body;
    transfer.setHeaderCallback([&](const platform::HttpHeaderEvent& event) {
        if (event.kind == platform::HttpHeaderEvent::Kind::StatusLine) {
            statusLines.push_back(event.status);
            fieldsSinceLastStatus.clear();
        } else if (event.kind == platform::HttpHeaderEvent::Kind::Field) {
            fieldsSinceLastStatus.push_back(std::string(event.name) + "=" + std::string(event.value));
        } else {
            ended = true;
        }
        return true;
    });
    transfer.setBodyCallback([&](const char* data, std::size_t size) {
        body.append(data, size);
        return true;
    });
    const auto& outcome = transfer.run();
    EXPECT_TRUE(outcome.completed());
    EXPECT_EQ(outcome.status, 404);
    EXPECT_EQ(statusLines, (std::vector<long>{100, 404}));
    EXPECT_TRUE(ended);
    EXPECT_EQ(fieldsSinceLastStatus.front(), "Content-Encoding=gzip");
    EXPECT_EQ(body, gzipLike);
    EXPECT_EQ(outcome.bodyBytes, gzipLike.size());
    ASSERT_NE(platform::findHeader(outcome.headers, "ETAG"), nullptr);
    EXPECT_EQ(*platform::findHeader(outcome.headers, "etag"), "\"v1\"");
}

TEST(HttpTransfer, BrokenAnswersAreFailures_NeverAnEndOfStream) {
    struct Case {
        const char* name;
        PeerAnswer answer;
        HttpFailure failure;
        platform::HttpErrorDomain domain;
        int code;
    } cases[] = {
        {"body short of its length", PeerAnswer::reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this"),
         HttpFailure::PartialBody, platform::HttpErrorDomain::Http, platform::kHttpConnectionDropped},
        {"chunked body cut off", PeerAnswer::reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc"),
         HttpFailure::PartialBody, platform::HttpErrorDomain::Http, platform::kHttpConnectionDropped},
        {"closed without an answer", PeerAnswer::close(), HttpFailure::GotNothing, platform::HttpErrorDomain::Http,
         platform::kHttpConnectionDropped},
        {"not HTTP", PeerAnswer::reply("SSH-2.0-OpenSSH\r\n\r\n"), HttpFailure::BadReply,
         platform::HttpErrorDomain::Http, platform::kHttpBadReply},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer peer([&](const std::string&, std::size_t) { return c.answer; });
        HttpTransfer transfer(requestFor(peer.baseUrl() + "/"));
        const auto& outcome = transfer.run();
        EXPECT_EQ(outcome.failure, c.failure) << c.name << ": " << outcome.message;
        EXPECT_EQ(outcome.domain, c.domain) << c.name;
        EXPECT_EQ(outcome.code, c.code) << c.name;
    }
}

TEST(HttpTransfer, RefusedConnectionCarriesItsErrno) {
    int port = 0;
    {
        LoopbackHttpPeer closed(answerOk);
        port = closed.port();
    }
    HttpTransfer transfer(requestFor("http://127.0.0.1:" + std::to_string(port) + "/"));
    const auto& outcome = transfer.run();
    EXPECT_EQ(outcome.failure, HttpFailure::Connect);
    EXPECT_EQ(outcome.domain, platform::HttpErrorDomain::Posix);
    EXPECT_EQ(outcome.code, ECONNREFUSED);
}

TEST(HttpTransfer, DeadlineStallCancelAndAbort) {
    LoopbackHttpPeer silent([](const std::string&, std::size_t) { return PeerAnswer::silent(); });
    {
        auto request = requestFor(silent.baseUrl() + "/");
        request.deadline = std::chrono::milliseconds(300);
        HttpTransfer transfer(request);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(transfer.run().failure, HttpFailure::TimedOut);
        EXPECT_EQ(transfer.outcome().domain, platform::HttpErrorDomain::Posix);
        EXPECT_EQ(transfer.outcome().code, ETIMEDOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    {
        // The peer speaks no TLS: the deadline strikes inside the handshake.
        auto request = requestFor("https://127.0.0.1:" + std::to_string(silent.port()) + "/");
        request.deadline = std::chrono::milliseconds(300);
        HttpTransfer transfer(request);
        EXPECT_EQ(transfer.run().failure, HttpFailure::TimedOut);
    }
    {
        auto request = requestFor(silent.baseUrl() + "/");
        request.lowSpeedTime = std::chrono::seconds(1);
        HttpTransfer transfer(request);
        EXPECT_EQ(transfer.run().failure, HttpFailure::Stalled) << transfer.outcome().message;
        EXPECT_EQ(transfer.outcome().code, ETIMEDOUT);
    }
    {
        HttpTransfer transfer(requestFor(silent.baseUrl() + "/"));
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            transfer.cancel();
        });
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(transfer.run().failure, HttpFailure::Cancelled);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        canceller.join();
    }
    {
        HttpTransfer transfer(requestFor(silent.baseUrl() + "/"));
        transfer.cancel();  // before it started
        EXPECT_EQ(transfer.run().failure, HttpFailure::Cancelled);
    }
    LoopbackHttpPeer talking([](const std::string&, std::size_t) {
        return PeerAnswer::reply(test_peers::httpResponse(200, std::string(100000, 'b')));
    });
    {
        HttpTransfer transfer(requestFor(talking.baseUrl() + "/"));
        transfer.setBodyCallback([](const char*, std::size_t) { return false; });
        EXPECT_EQ(transfer.run().failure, HttpFailure::Aborted);
    }
}

TEST(HttpTransfer, StepwisePumpWithPausedBody) {
    const std::string payload(300000, 'p');
    LoopbackHttpPeer peer(
        [&](const std::string&, std::size_t) { return PeerAnswer::reply(test_peers::httpResponse(200, payload)); });
    HttpTransfer transfer(requestFor(peer.baseUrl() + "/"));
    std::string body;
    transfer.setBodyCallback([&](const char* data, std::size_t size) {
        body.append(data, size);
        transfer.pauseBody(true);  // one chunk per turn, as a reader with a small buffer would take
        return true;
    });
    transfer.start();
    int turns = 0;
    while (!transfer.pump(std::chrono::milliseconds(100))) {
        transfer.pauseBody(false);
        ASSERT_LT(++turns, 10000);
    }
    EXPECT_TRUE(transfer.outcome().completed()) << transfer.outcome().message;
    EXPECT_EQ(body, payload);
    EXPECT_GT(turns, 2);
}

class HttpTransferTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new std::string(test_support::makeTemporaryFolder("tls-cases"));
        ASSERT_TRUE(test_peers::makeTestCertificates(*folder_));
    }
    static void TearDownTestSuite() {
        test_support::removeTree(*folder_);
        delete folder_;
    }
    static std::string file(const std::string& name) { return *folder_ + "/" + name; }
    static std::string* folder_;
};
std::string* HttpTransferTls::folder_ = nullptr;

TEST_F(HttpTransferTls, EachCertificateCaseGivesItsVerifyResult) {
    struct Case {
        const char* chain;
        HttpFailure failure;
        int x509;
    } cases[] = {
        {"valid.pem", HttpFailure::None, 0},
        {"selfsigned.pem", HttpFailure::TlsCertificate, 18},
        {"untrusted-chain.pem", HttpFailure::TlsCertificate, 19},
        {"unknown-ca.pem", HttpFailure::TlsCertificate, 20},
        {"expired.pem", HttpFailure::TlsCertificate, 10},
    };
    for (const auto& c : cases) {
        LoopbackHttpPeer peer(answerOk, file(c.chain), file("server.key"));
        auto request = requestFor(peer.baseUrl() + "/");
        request.caFile = file("ca.pem");
        HttpTransfer transfer(request);
        const auto& outcome = transfer.run();
        EXPECT_EQ(outcome.failure, c.failure) << c.chain << ": " << outcome.message;
        EXPECT_EQ(outcome.tlsVerifyResult, c.x509) << c.chain;
        if (c.failure == HttpFailure::None) {
            EXPECT_EQ(outcome.status, 200);
        } else {
            EXPECT_EQ(outcome.domain, platform::HttpErrorDomain::Tls);
            EXPECT_EQ(outcome.code, c.x509);
        }
    }
}

TEST_F(HttpTransferTls, TrustsTheFileNamedBySslCertFile) {
    LoopbackHttpPeer peer(answerOk, file("valid.pem"), file("server.key"));
    ::setenv("SSL_CERT_FILE", file("ca.pem").c_str(), 1);
    HttpTransfer trusted(requestFor(peer.baseUrl() + "/"));
    EXPECT_TRUE(trusted.run().completed()) << trusted.outcome().message;
    ::setenv("SSL_CERT_FILE", file("other-ca.pem").c_str(), 1);
    HttpTransfer untrusted(requestFor(peer.baseUrl() + "/"));
    EXPECT_EQ(untrusted.run().failure, HttpFailure::TlsCertificate);
    ::unsetenv("SSL_CERT_FILE");
}

TEST_F(HttpTransferTls, AuthenticatingProxy_PlainAndTunnelled) {
    const std::string proxyFolder = test_support::makeTemporaryFolder("tinyproxy");
    {
        test_peers::TinyproxyProcess proxy(proxyFolder, "user", "secret");
        ASSERT_TRUE(proxy.running());
        const auto settings = std::make_shared<const platform::ProxySettings>(proxy.url(), proxy.url(), "");
        LoopbackHttpPeer plain(answerOk);
        LoopbackHttpPeer tls(answerOk, file("valid.pem"), file("server.key"));

        struct Case {
            const char* name;
            std::string url;
            std::string user;
            std::string password;
            HttpFailure failure;
            long status;
            long connectStatus;
        } cases[] = {
            {"plain, no credentials", plain.baseUrl() + "/", "", "", HttpFailure::None, 407, 0},
            {"plain, credentials", plain.baseUrl() + "/", "user", "secret", HttpFailure::None, 200, 0},
            // tinyproxy answers wrong credentials with 401, not with another challenge.
            {"plain, wrong password", plain.baseUrl() + "/", "user", "wrong", HttpFailure::None, 401, 0},
            {"tunnel, no credentials", tls.baseUrl() + "/", "", "", HttpFailure::ProxyAuthRequired, 0, 407},
            {"tunnel, credentials", tls.baseUrl() + "/", "user", "secret", HttpFailure::None, 200, 200},
            {"tunnel, upper-case scheme", "HTTPS" + tls.baseUrl().substr(5) + "/", "user", "secret", HttpFailure::None,
             200, 200},
            {"tunnel, wrong password", tls.baseUrl() + "/", "user", "wrong", HttpFailure::ProxyRefused, 0, 401},
        };
        for (const auto& c : cases) {
            auto request = requestFor(c.url);
            request.proxySettings = settings;
            request.caFile = file("ca.pem");
            request.proxyUserName = c.user;
            request.proxyPassword = c.password;
            HttpTransfer transfer(request);
            std::vector<std::pair<bool, long>> statusLines;
            transfer.setHeaderCallback([&](const platform::HttpHeaderEvent& event) {
                if (event.kind == platform::HttpHeaderEvent::Kind::StatusLine) {
                    statusLines.emplace_back(event.proxyTunnel, event.status);
                }
                return true;
            });
            const auto& outcome = transfer.run();
            EXPECT_EQ(outcome.failure, c.failure) << c.name << ": " << outcome.message;
            EXPECT_EQ(outcome.status, c.status) << c.name;
            ASSERT_FALSE(statusLines.empty()) << c.name;
            // The last block is the final answer: the CONNECT's when the tunnel failed.
            EXPECT_EQ(statusLines.back(), std::make_pair(c.status == 0, c.status == 0 ? c.connectStatus : c.status))
                << c.name;
            EXPECT_EQ(outcome.connectStatus, c.connectStatus) << c.name;
            if (c.status == 407) {
                EXPECT_NE(platform::findHeader(outcome.headers, "Proxy-Authenticate"), nullptr) << c.name;
            }
            if (c.connectStatus == 407) {
                EXPECT_EQ(outcome.code, 407) << c.name;
                EXPECT_NE(platform::findHeader(outcome.connectHeaders, "Proxy-Authenticate"), nullptr) << c.name;
            }
        }
        // The server never saw the proxy's credentials.
        for (const auto& sent : plain.requests()) {
            EXPECT_EQ(sent.find("Proxy-Authorization"), std::string::npos);
        }
    }
    test_support::removeTree(proxyFolder);
}

}  // namespace
