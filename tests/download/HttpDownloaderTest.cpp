// The HTTP transport against the loopback test server: probes, ranged reads, failures and their types.
#include "download/HttpDownloader.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "download/CookieStore.h"
#include "download/EngineTimings.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::HttpTestServer;

// Reads the whole open request into a string, at most `chunk` bytes per read.
int readAll(HttpDownloader& downloader, std::string& body, uint32_t chunk, int maxReads = 100000) {
    std::vector<char> buffer(chunk);
    for (int i = 0; i < maxReads; ++i) {
        uint32_t length = 0;
        const int result = downloader.readData(buffer.data(), length, chunk);
        EXPECT_LE(length, chunk);
        body.append(buffer.data(), length);
        if (result != HttpDownloader::kReadData) {
            return result;
        }
    }
    return -1;
}

ErrorRecord lastErrorOf(const HttpDownloader& downloader) {
    ErrorRecord record;
    downloader.getLastError(record);
    return record;
}

// A port with nothing listening on it.
uint16_t closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

class HttpDownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new HttpTestServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        saved_ = engineTimings();
        engineTimings().stallTimeoutSeconds = 2;
        engineTimings().connectionDroppedSleepMs = 0;
        engineTimings().probeRetrySleepMs = 10;
        unsetenv("http_proxy");
        unsetenv("HTTP_PROXY");
        unsetenv("all_proxy");
        unsetenv("ALL_PROXY");
        server_->reset();
        CookieStore::shared().clear();
        preference_.host = "127.0.0.1";
        preference_.port = server_->port();
        preference_.path = "f.bin";
        preference_.userAgent = "EngineTest/1";
        DownloadErrorInfo error;
        ASSERT_TRUE(holder_.init(&preference_, error));
    }
    void TearDown() override { engineTimings() = saved_; }

    // A fresh downloader bound to the current preference.
    std::unique_ptr<HttpDownloader> downloader() {
        auto made = std::make_unique<HttpDownloader>(&holder_, &preference_);
        EXPECT_TRUE(made->init(&holder_, &preference_));
        return made;
    }

    // Opens a range of /f.bin and reads it; the read result.
    int fetchRange(uint64_t start, uint64_t end, std::string& body, ErrorRecord& error) {
        auto d = downloader();
        EXPECT_TRUE(d->openRangeRequest(start, end));
        const int result = readAll(*d, body, 65536);
        error = lastErrorOf(*d);
        return result;
    }

    static HttpTestServer* server_;
    DownloadSessionPreference preference_;
    ProxySettingsHolder holder_;
    EngineTimings saved_;
};

HttpTestServer* HttpDownloaderTest::server_ = nullptr;

TEST_F(HttpDownloaderTest, UrlsLeaveDefaultPortsOutAndEscapeOnce) {
    struct Case {
        uint32_t https;
        uint32_t port;
        const char* path;
        bool withPort;
        const char* url;
    };
    const Case cases[] = {
        {0, 80, "a/b.dmg", true, "http://h/a/b.dmg"},
        {1, 443, "a/b.dmg", true, "https://h/a/b.dmg"},
        {0, 8080, "a/b.dmg", true, "http://h:8080/a/b.dmg"},
        {1, 8443, "x", true, "https://h:8443/x"},
        {0, 8080, "a/b.dmg", false, "http://h/a/b.dmg"},
        {0, 80, "my%20file.dmg", true, "http://h/my%20file.dmg"},
        {0, 80, "my file.dmg", true, "http://h/my%20file.dmg"},
        {0, 80, "100%.dmg", true, "http://h/100%25.dmg"},
        {0, 80, "a\"<>{}.dmg", true, "http://h/a%22%3C%3E%7B%7D.dmg"},
        {0, 80, "caf\xc3\xa9", true, "http://h/caf%C3%A9"},
    };
    for (const Case& c : cases) {
        DownloadSessionPreference preference;
        preference.host = "h";
        preference.isHttps = c.https;
        preference.port = c.port;
        preference.path = c.path;
        HttpDownloader d(nullptr, &preference);
        ASSERT_TRUE(d.init(nullptr, &preference));
        EXPECT_EQ(d.buildUrl("", "", c.withPort), c.url) << c.path;
    }
    EXPECT_EQ(makeRangeHeader(5, 10), (std::pair<std::string, std::string>("Range", "bytes=5-10")));
}

TEST_F(HttpDownloaderTest, StatusCodesAreClassifiedByModeAndRetrialFlag) {
    struct Case {
        long status;
        uint8_t single;
        uint8_t noRetrial;
        int32_t type;  // -1: not an error
    };
    const Case cases[] = {
        {100, 0, 0, -1}, {200, 0, 0, -1}, {206, 0, 0, -1}, {304, 0, 0, -1}, {301, 0, 0, 5},
        {207, 0, 0, 5},  {401, 0, 0, 10}, {404, 1, 1, 6},  {407, 0, 0, 11}, {408, 0, 0, 9},
        {408, 1, 0, 13}, {408, 0, 1, 5},  {408, 1, 1, 5},  {429, 1, 0, 13}, {429, 0, 0, 5},
        {429, 1, 1, 5},  {503, 0, 0, 12}, {504, 1, 0, 13}, {503, 0, 1, 5},  {500, 0, 0, 5},
    };
    for (const Case& c : cases) {
        preference_.singleStreamInEffect = c.single;
        preference_.noRetrialInEffect = c.noRetrial;
        HttpDownloader d(&holder_, &preference_);
        d.clearLastError();
        EXPECT_EQ(d.checkHttpStatus(c.status), c.type != -1) << c.status;
        if (c.type != -1) {
            EXPECT_EQ(lastErrorOf(d).errorType, c.type) << c.status << " single " << int(c.single);
            EXPECT_EQ(lastErrorOf(d).nativeCode, c.status);
        }
    }
}

TEST_F(HttpDownloaderTest, HeadGivesSizeAndETagWhateverTheirSpelling) {
    server_->setScenario(R"({"path":"/f.bin","size":12345,"etag":"\"v1\""})");
    auto d = downloader();
    uint64_t size = 0;
    ASSERT_TRUE(d->getRemoteFileSize(size));
    EXPECT_EQ(size, 12345u);
    std::string etag;
    d->getResponseHeaderValue("etag", etag);
    EXPECT_EQ(etag, "\"v1\"");

    server_->setScenario(R"({"path":"/f.bin","size":10})");
    auto noTag = downloader();
    ASSERT_TRUE(noTag->getRemoteFileSize(size));
    EXPECT_EQ(size, 10u);
    noTag->getResponseHeaderValue("ETag", etag);
    EXPECT_EQ(etag, "");
}

TEST_F(HttpDownloaderTest, RangeProbeTellsRangeServersFromOthers) {
    server_->setScenario(R"({"path":"/f.bin","size":5000})");
    EXPECT_TRUE(downloader()->checkByteRangeSupport(5000, false));
    server_->setScenario(R"({"path":"/f.bin","size":5000,"ranges":false})");
    EXPECT_FALSE(downloader()->checkByteRangeSupport(5000, true));
    // One transient failure of the probe is retried with a new request, not the failed stream.
    server_->setScenario(R"({"path":"/f.bin","size":5000,"statuses":[0, 503]})");
    EXPECT_TRUE(downloader()->checkByteRangeSupport(5000, false));
    // A one-byte file needs no probe at all.
    server_->setScenario(R"({"path":"/f.bin","size":1})");
    server_->clearLog();
    EXPECT_TRUE(downloader()->checkByteRangeSupport(1, false));
    EXPECT_EQ(server_->requestLog().find("\"GET\""), std::string::npos);
}

TEST_F(HttpDownloaderTest, RangedReadsDeliverExactlyTheBytesAskedForInBoundedPieces) {
    server_->setScenario(R"({"path":"/f.bin","body":"0123456789abcdefghijklmnopqrstuvwxyz"})");
    struct Case {
        uint64_t start;
        uint64_t end;
        uint32_t chunk;
        const char* expected;
    };
    const Case cases[] = {
        {0, 35, 65536, "0123456789abcdefghijklmnopqrstuvwxyz"},
        {10, 19, 3, "abcdefghij"},
        {35, 35, 1, "z"},
        {0, 0, 1, "0"},
    };
    for (const Case& c : cases) {
        auto d = downloader();
        ASSERT_TRUE(d->openRangeRequest(c.start, c.end));
        std::string body;
        EXPECT_EQ(readAll(*d, body, c.chunk), HttpDownloader::kReadEnd) << c.start;
        EXPECT_EQ(body, c.expected) << c.start;
        // The end stays the end, also when asked for nothing.
        uint32_t length = 7;
        char byte = 0;
        EXPECT_EQ(d->readData(&byte, length, 0), HttpDownloader::kReadFailed);
        EXPECT_EQ(length, 0u);
    }
}

TEST_F(HttpDownloaderTest, LargeBodiesArriveWholeThroughSmallReads) {
    server_->setScenario(R"({"path":"/f.bin","size":3000000,"seed":9})");
    const std::string info = server_->info("/f.bin");
    std::string body;
    auto d = downloader();
    ASSERT_TRUE(d->openRequest());
    EXPECT_EQ(readAll(*d, body, 70000), HttpDownloader::kReadEnd);
    ASSERT_EQ(body.size(), 3000000u);
    auto ranged = downloader();
    ASSERT_TRUE(ranged->openRangeRequest(1000000, 2999999));
    std::string part;
    EXPECT_EQ(readAll(*ranged, part, 1 << 20), HttpDownloader::kReadEnd);
    EXPECT_EQ(part, body.substr(1000000));
}

TEST_F(HttpDownloaderTest, AnswersThatAreNotTheRangeAskedForAreRefused) {
    struct Case {
        const char* scenario;
        uint64_t start;
        uint64_t end;
        int result;
        int32_t type;
    };
    const Case cases[] = {
        // A server that ignores Range: fine for the whole file from 0, never for a part.
        {R"({"path":"/f.bin","size":1000,"ranges":false})", 0, 999, HttpDownloader::kReadEnd, 0},
        {R"({"path":"/f.bin","size":1000,"ranges":false})", 500, 999, HttpDownloader::kReadFailed, 14},
        {R"({"path":"/f.bin","size":1000,"ranges":false})", 0, 499, HttpDownloader::kReadFailed, 14},
        {R"({"path":"/f.bin","size":1000,"faults":[{"kind":"short","bytes":10}]})", 0, 499, HttpDownloader::kReadFailed,
         14},
        {R"({"path":"/f.bin","size":1000})", 2000, 2999, HttpDownloader::kReadFailed, 5},  // 416
        // Cut short of its length: a dropped connection, never an end.
        {R"({"path":"/f.bin","size":100000,"faults":[{"kind":"truncate","bytes":5000}]})", 0, 99999,
         HttpDownloader::kReadFailed, 8},
        {R"({"path":"/f.bin","size":100000,"faults":[{"kind":"drop","after_bytes":40000,"reset":true}]})", 0, 99999,
         HttpDownloader::kReadFailed, 8},
        {R"({"path":"/f.bin","size":100000,"faults":[{"kind":"drop","after_bytes":0}]})", 0, 99999,
         HttpDownloader::kReadFailed, 8},
        {R"({"path":"/f.bin","size":100000,"faults":[{"kind":"stall","after_bytes":1000,"seconds":5}]})", 0, 99999,
         HttpDownloader::kReadFailed, 9},
    };
    for (const Case& c : cases) {
        server_->setScenario(c.scenario);
        std::string body;
        ErrorRecord error;
        EXPECT_EQ(fetchRange(c.start, c.end, body, error), c.result) << c.scenario;
        if (c.type != 0) {
            EXPECT_EQ(error.errorType, c.type) << c.scenario;
        } else {
            EXPECT_EQ(body.size(), c.end - c.start + 1) << c.scenario;
        }
    }
}

TEST_F(HttpDownloaderTest, ScriptedStatusesBecomeTheirErrorTypes) {
    struct Case {
        const char* status;
        uint8_t single;
        int32_t type;
        int32_t retryAfter;
    };
    const Case cases[] = {
        {"404", 0, 6, 0},
        {"401", 0, 10, 0},
        {"407", 0, 11, 0},
        {"408", 0, 9, 0},
        {"429", 0, 5, 0},
        {"503", 0, 12, 0},
        {R"({"status":503,"retry_after":"30"})", 1, 13, 30},
        {R"({"status":503,"retry_after":"120"})", 1, 5, 120},
        {"504", 1, 13, 0},
    };
    for (const Case& c : cases) {
        server_->setScenario(std::string(R"({"path":"/f.bin","size":100,"statuses":[)") + c.status + "]}");
        preference_.singleStreamInEffect = c.single;
        auto d = downloader();
        ASSERT_TRUE(d->openRequest());
        std::string body;
        EXPECT_EQ(readAll(*d, body, 4096), HttpDownloader::kReadFailed) << c.status;
        const ErrorRecord error = lastErrorOf(*d);
        EXPECT_EQ(error.errorType, c.type) << c.status;
        EXPECT_EQ(error.retryAfterSeconds, c.retryAfter) << c.status;
    }
    preference_.singleStreamInEffect = 0;
    server_->setScenario(R"({"path":"/f.bin","size":100,"statuses":[404]})");
    uint64_t size = 0;
    auto head = downloader();
    EXPECT_FALSE(head->getRemoteFileSize(size));
    EXPECT_EQ(lastErrorOf(*head).errorType, 6);
}

TEST_F(HttpDownloaderTest, NothingListeningIsAConnectionError) {
    preference_.port = closedPort();
    auto d = downloader();
    uint64_t size = 0;
    EXPECT_FALSE(d->getRemoteFileSize(size));
    EXPECT_EQ(lastErrorOf(*d).errorType, 8);
}

TEST_F(HttpDownloaderTest, CookiesUserAgentAndCustomHeadersAreSent) {
    server_->setScenario(R"({"path":"/login","size":0,"set_cookie":["a=1; Path=/","b=2","gone=x; Max-Age=0"]})");
    server_->setScenario(R"({"path":"/f.bin","size":10})");
    auto page = downloader();
    ASSERT_TRUE(page->setCookieFromURL("127.0.0.1:" + std::to_string(server_->port()), "login"));
    preference_.customHeaderArray = {{"X-Test", "yes"}, {"Accept-Encoding", "gzip"}};
    server_->clearLog();
    std::string body;
    ErrorRecord error;
    ASSERT_EQ(fetchRange(0, 9, body, error), HttpDownloader::kReadEnd);
    const std::string log = server_->requestLog();
    EXPECT_NE(log.find(R"(["Cookie", "a=1;b=2;"])"), std::string::npos) << log;
    EXPECT_NE(log.find(R"(["User-Agent", "EngineTest/1"])"), std::string::npos) << log;
    EXPECT_NE(log.find(R"(["X-Test", "yes"])"), std::string::npos) << log;
    EXPECT_NE(log.find(R"(["Range", "bytes=0-9"])"), std::string::npos) << log;
    EXPECT_EQ(log.find("Referer"), std::string::npos) << log;
}

TEST_F(HttpDownloaderTest, CompressedBodiesAreStoredAsReceived) {
    server_->setScenario(R"({"path":"/f.bin","body":"hello hello hello hello hello","gzip":true})");
    preference_.customHeaderArray = {{"Accept-Encoding", "gzip"}};
    auto d = downloader();
    ASSERT_TRUE(d->openRequest());
    std::string body;
    ASSERT_EQ(readAll(*d, body, 4096), HttpDownloader::kReadEnd);
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(body[0]), 0x1f);  // the gzip magic, not the text
    EXPECT_EQ(static_cast<unsigned char>(body[1]), 0x8b);
    std::string encoding;
    d->getResponseHeaderValue("Content-Encoding", encoding);
    EXPECT_EQ(encoding, "gzip");
}

TEST_F(HttpDownloaderTest, RedirectsAreFollowedWithTheirCookies) {
    server_->setScenario(
        R"({"path":"/f.bin","size":0,"statuses":[{"status":302,"headers":{"Location":"/real.bin"}}],"set_cookie":["hop=1; Path=/"]})");
    server_->setScenario(R"({"path":"/real.bin","body":"the real thing"})");
    auto d = downloader();
    ASSERT_TRUE(d->openRequest());
    std::string body;
    EXPECT_EQ(readAll(*d, body, 4096), HttpDownloader::kReadEnd);
    EXPECT_EQ(body, "the real thing");
    EXPECT_NE(server_->requestLog().find(R"(["Cookie", "hop=1;"])"), std::string::npos);

    std::string loop = R"({"path":"/f.bin","size":0,"statuses":[)";
    for (int i = 0; i < 30; ++i) {
        loop += std::string(i ? "," : "") + R"({"status":301,"headers":{"Location":"/f.bin"}})";
    }
    server_->setScenario(loop + "]}");
    auto looping = downloader();
    uint64_t size = 0;
    EXPECT_FALSE(looping->getRemoteFileSize(size));
    EXPECT_EQ(lastErrorOf(*looping).errorType, 15);
}

TEST_F(HttpDownloaderTest, RedirectLocationsResolveAgainstTheRequestUrl) {
    const std::string origin = "127.0.0.1:" + std::to_string(server_->port());
    const std::string locations[] = {
        "/dir/real.bin",
        "real.bin",                            // beside /dir/f.bin
        "HTTP://" + origin + "/dir/real.bin",  // any case of the scheme is absolute
        "//" + origin + "/dir/real.bin",
    };
    server_->setScenario(R"({"path":"/dir/real.bin","body":"the real thing"})");
    preference_.path = "dir/f.bin";
    for (const std::string& location : locations) {
        server_->setScenario(R"({"path":"/dir/f.bin","size":0,"statuses":[{"status":302,"headers":{"Location":")" +
                             location + R"("}}]})");
        auto d = downloader();
        ASSERT_TRUE(d->openRequest()) << location;
        std::string body;
        EXPECT_EQ(readAll(*d, body, 4096), HttpDownloader::kReadEnd) << location;
        EXPECT_EQ(body, "the real thing") << location;
    }
}

TEST_F(HttpDownloaderTest, CancelFromAnotherThreadEndsAStalledReadAtOnce) {
    engineTimings().stallTimeoutSeconds = 60;
    server_->setScenario(
        R"({"path":"/f.bin","size":100000,"faults":[{"kind":"stall","after_bytes":100,"seconds":30}]})");
    auto d = downloader();
    ASSERT_TRUE(d->openRangeRequest(0, 99999));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        d->cancel();
    });
    const auto started = std::chrono::steady_clock::now();
    std::string body;
    const int result = readAll(*d, body, 4096);
    const auto took = std::chrono::steady_clock::now() - started;
    canceller.join();
    EXPECT_EQ(result, HttpDownloader::kReadFailed);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(d->cancel());  // twice is harmless
    uint32_t length = 0;
    char byte = 0;
    EXPECT_EQ(d->readData(&byte, length, 1), HttpDownloader::kReadFailed);
    // init makes it usable again.
    server_->setScenario(R"({"path":"/f.bin","body":"again"})");
    ASSERT_TRUE(d->init(&holder_, &preference_));
    ASSERT_TRUE(d->openRequest());
    body.clear();
    EXPECT_EQ(readAll(*d, body, 4096), HttpDownloader::kReadEnd);
    EXPECT_EQ(body, "again");
}

TEST_F(HttpDownloaderTest, NotInitialisedOperationsReportType19) {
    HttpDownloader d(&holder_, &preference_);
    uint64_t size = 0;
    EXPECT_FALSE(d.getRemoteFileSize(size));
    EXPECT_EQ(lastErrorOf(d).errorType, 19);
    EXPECT_FALSE(d.openRangeRequest(0, 1));
    EXPECT_EQ(lastErrorOf(d).errorType, 19);
}

TEST_F(HttpDownloaderTest, AProxyThatWantsCredentialsGetsThemOrTheRequestIsType11) {
    HttpTestServer proxy(HttpTestServer::Options{"", "", 0, "user:secret"});
    server_->setScenario(R"({"path":"/f.bin","body":"through the proxy"})");
    setenv("http_proxy", proxy.url("").c_str(), 1);
    setenv("no_proxy", "", 1);
    holder_.reset();

    auto refused = downloader();
    ASSERT_TRUE(refused->openRequest());
    std::string body;
    EXPECT_EQ(readAll(*refused, body, 4096), HttpDownloader::kReadFailed);
    EXPECT_EQ(lastErrorOf(*refused).errorType, 11);

    preference_.proxyUser = "user";
    preference_.proxyPassword = "secret";
    auto allowed = downloader();
    ASSERT_TRUE(allowed->openRequest());
    body.clear();
    EXPECT_EQ(readAll(*allowed, body, 4096), HttpDownloader::kReadEnd);
    EXPECT_EQ(body, "through the proxy");
    EXPECT_NE(proxy.requestLog().find("\"proxied\": true"), std::string::npos);
    unsetenv("http_proxy");
    unsetenv("no_proxy");
}

}  // namespace

namespace {

// HTTPS against a CA made for the test: a verified chain works, any other certificate is refused.
TEST(HttpDownloaderTlsTest, CertificatesAreVerifiedAgainstTheTrustedCa) {
    const std::string folder = test_support::makeTemporaryFolder("engine_tls");
    const char* source = std::getenv("PROJECT_SOURCE_DIR");
    const std::string script = std::string(source ? source : ".") + "/tests/support/tls/make-test-certificates.sh";
    ASSERT_EQ(std::system(("sh '" + script + "' '" + folder + "'").c_str()), 0);
    setenv("SSL_CERT_FILE", (folder + "/ca.pem").c_str(), 1);
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");
    struct Case {
        const char* certificate;
        bool verifies;
    };
    for (const Case c : {Case{"valid.pem", true}, Case{"selfsigned.pem", false}, Case{"expired.pem", false}}) {
        HttpTestServer server(HttpTestServer::Options{folder + "/" + c.certificate, folder + "/server.key", 0, ""});
        server.setScenario(R"({"path":"/f.bin","body":"secret bytes"})");
        DownloadSessionPreference preference;
        preference.host = "127.0.0.1";
        preference.port = server.port();
        preference.isHttps = 1;
        preference.path = "f.bin";
        ProxySettingsHolder holder;
        DownloadErrorInfo error;
        ASSERT_TRUE(holder.init(&preference, error));
        HttpDownloader d(&holder, &preference);
        ASSERT_TRUE(d.init(&holder, &preference));
        ASSERT_TRUE(d.openRangeRequest(0, 5));
        std::string body;
        const int result = readAll(d, body, 4096);
        if (c.verifies) {
            EXPECT_EQ(result, HttpDownloader::kReadEnd) << c.certificate;
            EXPECT_EQ(body, "secret") << c.certificate;
        } else {
            EXPECT_EQ(result, HttpDownloader::kReadFailed) << c.certificate;
            EXPECT_EQ(lastErrorOf(d).errorType, 5) << c.certificate;
            EXPECT_EQ(body, "") << c.certificate;
        }
    }
    unsetenv("SSL_CERT_FILE");
    test_support::removeTree(folder);
}

}  // namespace
