// The loopback test server's gate, telemetry sink, scripted statuses and body faults, seen from a raw client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tests/support/HttpTestServer.h"

namespace {

using test_support::HttpTestServer;

// One keep-alive connection that sends raw requests and reads answers by Content-Length.
class RawClient {
public:
    explicit RawClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }

    bool send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads the head of an answer; status and Content-Length out. False on a closed connection.
    bool readHead(int& status, size_t& length) {
        while (buffered_.find("\r\n\r\n") == std::string::npos) {
            if (!fill()) return false;
        }
        const size_t end = buffered_.find("\r\n\r\n");
        head_ = buffered_.substr(0, end);
        buffered_.erase(0, end + 4);
        status = std::atoi(head_.c_str() + head_.find(' ') + 1);
        const size_t field = head_.find("Content-Length: ");
        length = field == std::string::npos ? 0 : std::strtoul(head_.c_str() + field + 16, nullptr, 10);
        return true;
    }

    // The status line and header fields of the last answer read.
    const std::string& head() const { return head_; }

    // Exactly count body bytes, or fewer when the connection closes first.
    std::string readBytes(size_t count) {
        while (buffered_.size() < count) {
            if (!fill()) break;
        }
        const size_t take = std::min(count, buffered_.size());
        std::string bytes = buffered_.substr(0, take);
        buffered_.erase(0, take);
        return bytes;
    }

    // One whole answer: status and body.
    std::pair<int, std::string> answer() {
        int status = 0;
        size_t length = 0;
        if (!readHead(status, length)) return {0, ""};
        return {status, readBytes(length)};
    }

private:
    bool fill() {
        char chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffered_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffered_;
    std::string head_;
};

std::string get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

std::string seededBytes(size_t size) {
    std::mt19937 generator(7);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// The body as the server's UTF-8 "body" setting: printable text only.
std::string printable(size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

int64_t number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::strtoll(json.c_str() + at + key.size() + 3, nullptr, 10);
}

}  // namespace

// The gate holds a body after N bytes until it is opened; the bytes before it reach the client.
TEST(TestServerGate, HoldsTheBodyAfterNBytesUntilOpened) {
    HttpTestServer server;
    const std::string content = printable(100000);
    server.setScenario(R"({"path":"/held","body":")" + content + R"(","faults":[{"kind":"gate","after_bytes":1000}]})");
    RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(get("/held")));
    int status = 0;
    size_t length = 0;
    ASSERT_TRUE(client.readHead(status, length));
    EXPECT_EQ(status, 200);
    ASSERT_EQ(length, content.size());
    EXPECT_EQ(client.readBytes(1000), content.substr(0, 1000));

    ASSERT_TRUE(server.waitUntilHeld("/held"));
    const std::string held = server.info("/held");
    EXPECT_EQ(number(held, "held"), 1);
    EXPECT_EQ(number(held, "bytes_sent"), 1000);

    server.openGate("/held");
    EXPECT_EQ(client.readBytes(content.size() - 1000), content.substr(1000));
    const std::string after = server.info("/held");
    EXPECT_EQ(number(after, "held"), 0);
    EXPECT_EQ(number(after, "held_total"), 1);
    // times 1: the next request passes the gate.
    ASSERT_TRUE(client.send(get("/held")));
    EXPECT_EQ(client.answer().second, content);
}

// A gate with times -1 holds again once closed; reset lets a held request go.
TEST(TestServerGate, ClosesAgainAndResetReleases) {
    HttpTestServer server;
    const std::string content = printable(5000);
    server.setScenario(R"({"path":"/g","body":")" + content +
                       R"(","faults":[{"kind":"gate","after_bytes":0,"times":-1}]})");
    {
        RawClient first(server.port());
        ASSERT_TRUE(first.send(get("/g")));
        ASSERT_TRUE(server.waitUntilHeld("/g"));
        server.openGate();  // every gate
        EXPECT_EQ(first.answer().second, content);
    }
    server.closeGate("/g");
    RawClient second(server.port());
    ASSERT_TRUE(second.send(get("/g")));
    ASSERT_TRUE(server.waitFor("/g", "held_total", 2));
    server.reset();
    EXPECT_EQ(second.answer().second, content);
    // A wait that cannot be met ends at its time-out with false.
    server.setScenario(R"({"path":"/g","body":"x"})");
    EXPECT_FALSE(server.waitUntilHeld("/g", 1, 0.2));
}

// The sink records each posted body byte for byte (Content-Length and chunked) and keeps the
// connection usable; the query is no part of the path.
TEST(TestServerSink, RecordsPostedBodies) {
    HttpTestServer server;
    server.setScenario(R"({"path":"/hsmessaging/rest","sink":true})");
    const std::string xml = "<eventList><HostedServicesEvent/></eventList>";
    std::string binary = seededBytes(3000);
    binary[10] = '\0';
    RawClient client(server.port());
    ASSERT_TRUE(client.send("POST /hsmessaging/rest?env=qa2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                            "Content-Length: " +
                            std::to_string(xml.size()) + "\r\n\r\n" + xml));
    EXPECT_EQ(client.answer().first, 200);
    std::string chunked = "POST /hsmessaging/rest HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < binary.size(); at += 1000) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", std::min<size_t>(1000, binary.size() - at));
        chunked += size + binary.substr(at, 1000) + "\r\n";
    }
    chunked += "0\r\n\r\n";
    ASSERT_TRUE(client.send(chunked));
    EXPECT_EQ(client.answer().first, 200);

    ASSERT_TRUE(server.waitFor("/hsmessaging/rest", "posts", 2));
    const auto bodies = server.postedBodies("/hsmessaging/rest");
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], xml);
    EXPECT_EQ(bodies[1], binary);
    const std::string listing = server.control("GET", "/_control/posts?path=/hsmessaging/rest");
    EXPECT_NE(listing.find("\"target\": \"/hsmessaging/rest?env=qa2\""), std::string::npos) << listing;

    // A scripted failure is answered, and the body still recorded.
    server.setScenario(R"({"path":"/hsmessaging/rest","sink":true,"statuses":[500]})");
    ASSERT_TRUE(client.send("POST /hsmessaging/rest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\nab"));
    EXPECT_EQ(client.answer().first, 500);
    EXPECT_EQ(server.postedBodies("/hsmessaging/rest"), std::vector<std::string>{"ab"});
}

// A POST to a path without a sink has its body read, so the next request on the connection works.
TEST(TestServerSink, PlainPathReadsAndDropsThePostedBody) {
    HttpTestServer server;
    server.setScenario(R"({"path":"/f","body":"file"})");
    RawClient client(server.port());
    ASSERT_TRUE(client.send("POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nGET /"));
    EXPECT_EQ(client.answer(), std::make_pair(200, std::string("file")));
    ASSERT_TRUE(client.send(get("/f")));
    EXPECT_EQ(client.answer(), std::make_pair(200, std::string("file")));
    EXPECT_TRUE(server.postedBodies("/f").empty());
}

// Scripted statuses come first, one a request; then the file is served.
TEST(TestServerStatuses, OneNotFoundThenTheFile) {
    HttpTestServer server;
    server.setScenario(R"({"path":"/v","body":"1.0","statuses":[404]})");
    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/v")));
    EXPECT_EQ(client.answer().first, 404);
    ASSERT_TRUE(client.send(get("/v")));
    EXPECT_EQ(client.answer(), std::make_pair(200, std::string("1.0")));
}

// A close-delimited body has no Content-Length and ends where the server closes: after N bytes for
// the first K requests, then whole and sized again. On a HEAD only the length is left out.
TEST(TestServerFaults, CloseDelimitedBodyEndsWhereTheServerCloses) {
    HttpTestServer server;
    const std::string content = printable(5000);
    server.setScenario(R"({"path":"/c","body":")" + content +
                       R"(","faults":[{"kind":"close_delimited","after_bytes":1200,"times":2},)"
                       R"({"kind":"close_delimited","methods":["HEAD"]}]})");
    const std::string head = "HEAD /c HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    int status = 0;
    size_t length = 0;
    for (int request = 0; request < 2; ++request) {
        SCOPED_TRACE(request);
        RawClient client(server.port());
        ASSERT_TRUE(client.send(get("/c")));
        ASSERT_TRUE(client.readHead(status, length));
        EXPECT_EQ(status, 200);
        EXPECT_EQ(client.head().find("Content-Length"), std::string::npos) << client.head();
        EXPECT_EQ(client.readBytes(content.size()), content.substr(0, 1200)) << "cut, and the connection closed";
    }
    RawClient client(server.port());
    ASSERT_TRUE(client.send(head));
    ASSERT_TRUE(client.readHead(status, length));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(client.head().find("Content-Length"), std::string::npos) << client.head();
    EXPECT_EQ(client.readBytes(1), "") << "closed after the head";

    RawClient later(server.port());
    ASSERT_TRUE(later.send(get("/c")));
    EXPECT_EQ(later.answer(), std::make_pair(200, content));
    ASSERT_TRUE(later.send(head));
    ASSERT_TRUE(later.readHead(status, length));
    EXPECT_EQ(length, content.size()) << later.head();
    EXPECT_EQ(number(server.info("/c"), "pending"), 0);
}
