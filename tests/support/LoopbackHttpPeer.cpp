// The scripted loopback HTTP(S) peer and the tinyproxy launcher used by the HTTP tests.
#include "tests/support/LoopbackHttpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "tests/support/ChildProcesses.h"

extern char** environ;

namespace test_peers {
namespace {

int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Waits until fd is readable; false when the stop pipe fired or the wait (ms, -1: none) passed.
bool waitReadable(int fd, int stopFd, int waitMs = 10000) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, waitMs) <= 0) {
        return false;
    }
    return (fds[1].revents & POLLIN) == 0;
}

std::size_t contentLength(const std::string& head) {
    std::string lower = head;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<std::size_t>(std::strtoull(lower.c_str() + at + 17, nullptr, 10));
}

}  // namespace

std::string httpResponse(int status, const std::string& body,
                         const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
    for (const auto& [name, value] : fields) {
        text += name + ": " + value + "\r\n";
    }
    text += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return text;
}

LoopbackHttpPeer::LoopbackHttpPeer(PeerScript script, std::string certificateChainFile, std::string keyFile)
    : script_(std::move(script)) {
    // A client that drops the connection must not kill the test through an SSL write.
    ::signal(SIGPIPE, SIG_IGN);
    if (!certificateChainFile.empty()) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        if (!context || SSL_CTX_use_certificate_chain_file(context, certificateChainFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(context);
            throw std::runtime_error("cannot load the peer's certificate " + certificateChainFile);
        }
        tlsContext_ = context;
    }
    listener_ = listenOnLoopback(port_);
    if (listener_ < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    thread_ = std::thread([this] { serve(); });
}

LoopbackHttpPeer::~LoopbackHttpPeer() {
    const char stop = 1;
    (void)!::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(listener_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext_));
}

std::string LoopbackHttpPeer::baseUrl() const {
    return std::string(tlsContext_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> LoopbackHttpPeer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackHttpPeer::serve() {
    while (waitReadable(listener_, stopPipe_[0], -1)) {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        SSL* tls = nullptr;
        if (tlsContext_) {
            tls = SSL_new(static_cast<SSL_CTX*>(tlsContext_));
            SSL_set_fd(tls, connection);
            if (SSL_accept(tls) != 1) {  // the client refused the certificate
                ERR_clear_error();
                SSL_free(tls);
                ::close(connection);
                continue;
            }
        }
        handle(connection, tls);
        if (tls) {
            SSL_shutdown(tls);
            SSL_free(tls);
        }
        ::close(connection);
    }
}

void LoopbackHttpPeer::handle(int connection, void* tlsHandle) {
    auto* tls = static_cast<SSL*>(tlsHandle);
    auto receive = [&](char* buffer, int size) -> int {
        if (!(tls && SSL_pending(tls) > 0) && !waitReadable(connection, stopPipe_[0])) {
            return -1;
        }
        return tls ? SSL_read(tls, buffer, size) : static_cast<int>(::recv(connection, buffer, size, 0));
    };
    std::string request;
    char buffer[4096];
    std::size_t headEnd = std::string::npos;
    std::size_t wanted = 0;
    while (headEnd == std::string::npos || request.size() < wanted) {
        const int got = receive(buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        request.append(buffer, static_cast<std::size_t>(got));
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                wanted = headEnd + 4 + contentLength(request.substr(0, headEnd + 2));
            }
        }
    }
    if (request.empty()) {
        return;
    }
    std::size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = requests_.size();
        requests_.push_back(request);
    }
    const PeerAnswer answer = script_(request, index);
    if (answer.action == PeerAnswer::Action::Silent) {
        // Hold the connection until the client gives up or the peer stops.
        while (receive(buffer, sizeof buffer) > 0) {
        }
        return;
    }
    if (answer.action == PeerAnswer::Action::Reply) {
        std::size_t sent = 0;
        while (sent < answer.bytes.size()) {
            const int count = static_cast<int>(answer.bytes.size() - sent);
            const int put = tls ? SSL_write(tls, answer.bytes.data() + sent, count)
                                : static_cast<int>(::send(connection, answer.bytes.data() + sent,
                                                          static_cast<std::size_t>(count), MSG_NOSIGNAL));
            if (put <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(put);
        }
    }
    ::shutdown(connection, SHUT_WR);
    // Let the client read the answer and close first, so that nothing is reset under it.
    while (receive(buffer, sizeof buffer) > 0) {
    }
}

bool makeTestCertificates(const std::string& folder) {
    const char* source = std::getenv("PROJECT_SOURCE_DIR");
    const std::string script = std::string(source ? source : ".") + "/tests/support/tls/make-test-certificates.sh";
    return test_support::runProgram({"sh", script, folder}) == 0;
}

TinyproxyProcess::TinyproxyProcess(const std::string& folder, const std::string& user, const std::string& password) {
    // Ask the kernel for a free port, then hand it to tinyproxy (it cannot report one itself).
    const int probe = listenOnLoopback(port_);
    if (probe < 0) {
        port_ = 0;
        return;
    }
    ::close(probe);
    const std::string configuration = folder + "/tinyproxy.conf";
    {
        std::ofstream out(configuration);
        out << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
            << "BasicAuth " << user << " " << password << "\n"
            << "LogFile \"" << folder << "/tinyproxy.log\"\nLogLevel Info\nDisableViaHeader Yes\n";
    }
    const std::vector<std::string> arguments = {"tinyproxy", "-d", "-c", configuration};
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        port_ = 0;
        return;
    }
    // Ready once it accepts a connection.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up) {
            return;
        }
        ::usleep(20000);
    }
    port_ = 0;
}

TinyproxyProcess::~TinyproxyProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

PeerAnswer proxyWantingUserSecret(const std::string& request, std::size_t) {
    if (request.find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=") == std::string::npos) {
        return PeerAnswer::reply(httpResponse(407, "", {{"Proxy-Authenticate", "Basic realm=\"p\""}}));
    }
    return PeerAnswer::reply(httpResponse(200, "ok"));
}

}  // namespace test_peers
