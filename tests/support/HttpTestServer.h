// Starts tests/support/http_test_server.py on loopback for one test and talks to its control port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

class HttpTestServer {
public:
    struct Options {
        std::string certFile;   // with keyFile: serve HTTPS
        std::string keyFile;
        uint64_t throttleBytesPerSecond = 0;  // per connection, 0 = none
        std::string proxyAuth;  // "user:pass" required of proxied requests
        // JSON list of scenarios set at start (make-sample-product's scenarios.json).
        std::string configFile = {};
    };

    HttpTestServer();
    explicit HttpTestServer(const Options& options);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" + path (https with a certificate).
    std::string url(const std::string& path) const;

    // One scenario as JSON, e.g. R"({"path":"/f","size":1000,"etag":"\"v1\""})".
    void setScenario(const std::string& json);
    void reset();
    void clearLog();
    // The request log as the server's JSON text.
    std::string requestLog();
    // {"size","sha256","requests"} of a path as JSON text.
    std::string info(const std::string& path);
    // Gates (fault kind "gate"): open or close again the gate of one path; an empty path opens
    // every gate.
    void openGate(const std::string& path = "");
    void closeGate(const std::string& path);
    // Waits until the path's info number key ("held", "posts", "requests", "bytes_sent",
    // "held_total", "pending") reaches count, at most timeoutSeconds; true when it did.
    bool waitFor(const std::string& path, const std::string& key, int64_t count, double timeoutSeconds = 30);
    // Until count requests of the path wait at its gate together.
    bool waitUntilHeld(const std::string& path, int64_t count = 1, double timeoutSeconds = 30) {
        return waitFor(path, "held", count, timeoutSeconds);
    }
    // The bodies a sink scenario ("sink": true) recorded, in arrival order, byte for byte.
    std::vector<std::string> postedBodies(const std::string& path);
    // Any control call; returns the answer's body.
    std::string control(const std::string& method, const std::string& target, const std::string& body = "");

private:
    std::string folder_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    uint16_t controlPort_ = 0;
    bool tls_ = false;
};

// The lowercase hex SHA-256 of a file's bytes, "" when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace test_support
