// Loopback test peers: a scripted raw HTTP(S) server that records requests, and tinyproxy.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_peers {

// What the peer does with one request.
struct PeerAnswer {
    enum class Action { Reply, Silent, Close };
    Action action = Action::Reply;
    std::string bytes;  // sent as they are on Reply, then the connection closes

    static PeerAnswer reply(std::string bytes) { return {Action::Reply, std::move(bytes)}; }
    static PeerAnswer silent() { return {Action::Silent, {}}; }
    static PeerAnswer close() { return {Action::Close, {}}; }
};

// Called with the raw bytes of each request (head and Content-Length body) and its index.
using PeerScript = std::function<PeerAnswer(const std::string& request, std::size_t index)>;

// A whole HTTP/1.1 answer with Content-Length and "Connection: close".
std::string httpResponse(int status, const std::string& body,
                         const std::vector<std::pair<std::string, std::string>>& fields = {});

// Serves one connection at a time on 127.0.0.1 and an ephemeral port, on its own thread.
// With a certificate chain and key it speaks TLS.
class LoopbackHttpPeer {
public:
    explicit LoopbackHttpPeer(PeerScript script, std::string certificateChainFile = {}, std::string keyFile = {});
    ~LoopbackHttpPeer();
    LoopbackHttpPeer(const LoopbackHttpPeer&) = delete;
    LoopbackHttpPeer& operator=(const LoopbackHttpPeer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" (or https://).
    std::string baseUrl() const;
    // Every request received so far, in order.
    std::vector<std::string> requests() const;

private:
    void serve();
    void handle(int connection, void* tls);

    PeerScript script_;
    void* tlsContext_ = nullptr;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// tinyproxy on 127.0.0.1 with BasicAuth, started from a temporary configuration in `folder`.
class TinyproxyProcess {
public:
    TinyproxyProcess(const std::string& folder, const std::string& user, const std::string& password);
    ~TinyproxyProcess();
    TinyproxyProcess(const TinyproxyProcess&) = delete;
    TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;

    bool running() const { return pid_ > 0 && port_ > 0; }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// A proxy's script that wants "user:secret": 407 with a Basic challenge until the request carries
// them, then 200 "ok".
PeerAnswer proxyWantingUserSecret(const std::string& request, std::size_t index);

// Runs tests/support/tls/make-test-certificates.sh into `folder`; true when it succeeded.
bool makeTestCertificates(const std::string& folder);

}  // namespace test_peers
