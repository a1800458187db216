// Starts the Python test server as a child process and sends it control requests.
#include "tests/support/HttpTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/TemporaryEnvironment.h"

extern char** environ;

namespace test_support {

namespace {

std::string serverScript() {
    const char* source = std::getenv("PROJECT_SOURCE_DIR");
    return std::string(source ? source : ".") + "/tests/support/http_test_server.py";
}

// Percent-encodes a query value, so a path with blanks or "&" reaches the server whole.
std::string queryValue(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return encoded;
}

// A JSON text of one string, escaped.
std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

// The whole number under "key" in a flat JSON object text, or -1 when it is not there.
int64_t jsonNumber(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + key.size() + 3, nullptr, 10);
}

}  // namespace

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(const Options& options) {
    folder_ = makeTemporaryFolder("http_test_server");
    const std::string portFile = folder_ + "/port";
    std::vector<std::string> arguments = {"python3", serverScript(), "--port-file", portFile};
    if (!options.certFile.empty()) {
        arguments.insert(arguments.end(), {"--cert", options.certFile, "--key", options.keyFile});
        tls_ = true;
    }
    if (options.throttleBytesPerSecond != 0) {
        arguments.insert(arguments.end(), {"--throttle", std::to_string(options.throttleBytesPerSecond)});
    }
    if (!options.proxyAuth.empty()) {
        arguments.insert(arguments.end(), {"--proxy-auth", options.proxyAuth});
    }
    if (!options.configFile.empty()) {
        arguments.insert(arguments.end(), {"--config", options.configFile});
    }
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start the test server");
    }
    for (int attempt = 0; attempt < 1000 && port_ == 0; ++attempt) {
        std::ifstream in(portFile);
        unsigned port = 0;
        unsigned control = 0;
        if (in >> port >> control) {
            port_ = static_cast<uint16_t>(port);
            controlPort_ = static_cast<uint16_t>(control);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port_ == 0) {
        throw std::runtime_error("the test server did not report its port");
    }
}

HttpTestServer::~HttpTestServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!folder_.empty()) {
        removeTree(folder_);
    }
}

std::string HttpTestServer::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string HttpTestServer::control(const std::string& method, const std::string& target, const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(controlPort_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        throw std::runtime_error("cannot reach the test server");
    }
    std::ostringstream request;
    request << method << ' ' << target << " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
            << "Content-Length: " << body.size() << "\r\n\r\n" << body;
    const std::string text = request.str();
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            close(fd);
            throw std::runtime_error("send to the test server failed");
        }
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t headEnd = answer.find("\r\n\r\n");
    return headEnd == std::string::npos ? std::string() : answer.substr(headEnd + 4);
}

void HttpTestServer::setScenario(const std::string& json) { control("POST", "/_control/scenario", json); }
void HttpTestServer::reset() { control("POST", "/_control/reset"); }
void HttpTestServer::clearLog() { control("POST", "/_control/clear_log"); }
std::string HttpTestServer::requestLog() { return control("GET", "/_control/log"); }
std::string HttpTestServer::info(const std::string& path) { return control("GET", "/_control/info?path=" + path); }

void HttpTestServer::openGate(const std::string& path) {
    control("POST", "/_control/gate", path.empty() ? std::string() : "{\"path\":" + jsonString(path) + "}");
}

void HttpTestServer::closeGate(const std::string& path) {
    control("POST", "/_control/gate", "{\"path\":" + jsonString(path) + ",\"open\":false}");
}

bool HttpTestServer::waitFor(const std::string& path, const std::string& key, int64_t count, double timeoutSeconds) {
    const std::string answer = control("GET", "/_control/wait?path=" + queryValue(path) + "&key=" + queryValue(key) +
                                                  "&count=" + std::to_string(count) +
                                                  "&timeout=" + std::to_string(timeoutSeconds));
    return answer.find("\"ok\": true") != std::string::npos;
}

std::vector<std::string> HttpTestServer::postedBodies(const std::string& path) {
    const int64_t count = jsonNumber(control("GET", "/_control/info?path=" + queryValue(path)), "posts");
    std::vector<std::string> bodies;
    for (int64_t index = 0; index < count; ++index) {
        bodies.push_back(
            control("GET", "/_control/posts?path=" + queryValue(path) + "&index=" + std::to_string(index)));
    }
    return bodies;
}

std::string sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context, buffer.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    std::string hex;
    char byte[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

}  // namespace test_support
