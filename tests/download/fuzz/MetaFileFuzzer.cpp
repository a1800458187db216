// libFuzzer target: any bytes as the meta file beside a partial download, resumed by the engine from a loopback server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadEngine.h"
#include "download/DownloadGlobalData.h"
#include "download/EngineTimings.h"
#include "download/ZAMDFileManager.h"
#include "tests/support/FuzzLogHome.h"

namespace {

constexpr uint32_t kSegment = 65536;  // the engine's smallest segment
constexpr uint64_t kSize = 2ull * kSegment + 1000;
constexpr const char* kPath = "/r.bin";

std::string contentBytes() {
    std::string bytes(kSize, '\0');
    uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

// The one header of a raw request, "" when absent.
std::string headerOf(const std::string& request, const std::string& name) {
    const std::string key = "\r\n" + name + ":";
    const size_t at = request.find(key);
    if (at == std::string::npos) return {};
    size_t begin = at + key.size();
    while (begin < request.size() && request[begin] == ' ') ++begin;
    return request.substr(begin, request.find("\r\n", begin) - begin);
}

// A server with one file, its ETag and byte ranges.
std::string answerFor(const std::string& content, const std::string& request) {
    const bool head = request.compare(0, 5, "HEAD ") == 0;
    uint64_t first = 0;
    uint64_t last = content.size() - 1;
    const std::string range = headerOf(request, "Range");
    const bool ranged = !range.empty() &&
                        std::sscanf(range.c_str(), "bytes=%" SCNu64 "-%" SCNu64, &first, &last) == 2 && first <= last &&
                        last < content.size();
    if (!ranged) {
        first = 0;
        last = content.size() - 1;
    }
    std::string answer = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    answer += "Content-Length: " + std::to_string(last - first + 1) + "\r\nETag: \"v1\"\r\nAccept-Ranges: bytes\r\n";
    if (ranged) {
        answer += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                  std::to_string(content.size()) + "\r\n";
    }
    answer += "Connection: close\r\n\r\n";
    if (!head) answer.append(content, first, last - first + 1);
    return answer;
}

// Serves every connection on its own thread, so a connection the engine leaves open holds up nothing.
class LoopbackServer {
public:
    explicit LoopbackServer(const std::string& content) : content_(content) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        port_ = ntohs(address.sin_port);
        std::thread([this] {
            for (;;) {
                const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0) std::thread([this, connection] { handle(connection); }).detach();
            }
        }).detach();
    }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    void handle(int connection) const {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.append(buffer, static_cast<size_t>(n));
        }
        if (request.find("\r\n\r\n") != std::string::npos) {
            const std::string answer = answerFor(content_, request);
            for (size_t sent = 0; sent < answer.size();) {
                const ssize_t n = ::send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
        }
        ::close(connection);
    }

    const std::string& content_;
    int listener_ = -1;
    uint16_t port_ = 0;
};

// Waits for the end the engine reports: its completion or an error.
class EndWatcher : public IDleIntercept {
public:
    int intercept(int event, void* data, int) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event == kEventError) {
            failed_ = true;
            ended_ = true;
        } else if (event == kEventProgress && static_cast<const ProgressRecord*>(data)->reportedState >= 5) {
            ended_ = true;
        }
        changed_.notify_all();
        return 0;
    }
    // True when the download completed without an error.
    bool waitForEnd() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ended_; });
        return !failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool failed_ = false;
};

struct World {
    std::string folder;
    std::string content = contentBytes();
    std::unique_ptr<LoopbackServer> server;

    std::string finished() const { return folder + "/r.bin"; }
    std::string partial() const { return finished() + ".zamdownload"; }
    std::string meta() const { return partial() + ".zamd"; }

    // The server's port changes from run to run; inputs name it by a fixed stand-in.
    static constexpr const char* kStandIn = "http://loopback-server";
    static std::string replaced(std::string text, const std::string& from, const std::string& to) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    }
    std::string withStableServer(const std::string& meta) const { return replaced(meta, server->baseUrl(), kStandIn); }
    std::string withThisServer(const std::string& meta) const { return replaced(meta, kStandIn, server->baseUrl()); }

    DownloadInput input() const {
        DownloadInput in;
        in.serverPath = server->baseUrl() + kPath;
        in.targetFolder = folder;
        in.preference.segmentSize = kSegment;
        in.preference.threadCount = 1;
        return in;
    }
};

World* world = nullptr;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What the record writer leaves for a segment, or -1 for anything else: the bytes a resume may trust.
int64_t writtenRecord(const std::string& meta, uint32_t index) {
    const uint64_t offset = ZAMDFileManager::kMagicLength + ZAMDFileManager::kRecordLength * index;
    if (meta.size() < offset + ZAMDFileManager::kRecordLength) return -1;
    const std::string record = meta.substr(offset, ZAMDFileManager::kRecordLength);
    const size_t digits = record.find_first_not_of(' ');
    if (digits == std::string::npos || digits == record.size() - 1) return -1;
    const uint64_t value = std::strtoull(record.c_str() + digits, nullptr, 10);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%20" PRIu64 "\n", value);
    return record == expected && value <= kSegment ? static_cast<int64_t>(value) : -1;
}

// The meta file the engine itself leaves while this download is under way, with some records written.
void writeSeeds(const std::string& seeds) {
    std::filesystem::create_directories(seeds);
    const std::vector<std::vector<uint32_t>> cases = {{}, {kSegment, 1, 0}, {kSegment, kSegment, 1000}, {0, 70000}};
    for (size_t c = 0; c < cases.size(); ++c) {
        std::filesystem::remove(world->meta());
        std::filesystem::remove(world->partial());
        DownloadGlobalData data;
        DownloadInput in = world->input();
        if (!data.init(in) || !data.initializeFileDownload()) std::abort();
        for (uint32_t index = 0; index < cases[c].size(); ++index)
            data.getMetaFile().writeSegmentProgress(index, cases[c][index]);
        data.getMetaFile().close();
        writeAll(seeds + "/engine-meta-" + std::to_string(c), world->withStableServer(readAll(world->meta())));
    }
}

}  // namespace

// "-write_seeds=1 FOLDER" writes the seeds into FOLDER and ends the run (its seed program is itself).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    char base[] = "/tmp/meta-fuzz-XXXXXX";
    if (::mkdtemp(base) == nullptr) std::abort();
    static const std::string folder = base;
    std::atexit([] { std::filesystem::remove_all(folder); });
    // The engine's log and the facade's go below the fuzz build's home for this target.
    test_support::useFuzzLogHome();
    world = new World;
    world->folder = std::string(base) + "/out";
    std::filesystem::create_directories(world->folder);
    world->server = std::make_unique<LoopbackServer>(world->content);
    EngineTimings& timings = engineTimings();
    timings.controllerTickMs = 1;
    timings.idlePollMs = 5;
    timings.threadStartSpacingMs = 1;
    timings.readTurnSleepMs = 1;
    timings.probeRetrySleepMs = 10;
    timings.serializerRetrySleepMs = 5;
    timings.cancelWaitStepMs = 5;
    if (*argc >= 3 && std::strcmp((*argv)[*argc - 2], "-write_seeds=1") == 0) {
        writeSeeds((*argv)[*argc - 1]);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string meta = world->withThisServer(std::string(reinterpret_cast<const char*>(data), size));
    const std::string& content = world->content;
    std::filesystem::remove(world->finished());
    writeAll(world->meta(), meta);
    // Right bytes only where a record as the engine writes it vouches for them, garbage elsewhere:
    // any other record that is trusted shows in the finished file.
    std::string partial(kSize, '\x5a');
    for (uint32_t index = 0; uint64_t{index} * kSegment < kSize; ++index) {
        const int64_t trusted = writtenRecord(meta, index);
        const uint64_t start = uint64_t{index} * kSegment;
        if (trusted > 0)
            partial.replace(start, static_cast<size_t>(trusted), content, start, static_cast<size_t>(trusted));
    }
    writeAll(world->partial(), partial);

    DownloadLibRef* libRef = nullptr;
    FileDownloaderHandle* handle = nullptr;
    EndWatcher watcher;
    if (createDownloadLibRef(&libRef) != 0 || createFileDownloader(&libRef, &handle) != 0) std::abort();
    for (int event : {kEventError, kEventProgress}) handle->addDLEIntercept(event, &watcher);
    DownloadInput in = world->input();
    if (handle->init(&in) != 0 || handle->start() != 0) std::abort();
    if (!watcher.waitForEnd()) {
        std::fprintf(stderr, "the download failed\n");
        std::abort();
    }
    closeFileDownloader(&handle);
    releaseDownloadLibRef(&libRef);
    if (readAll(world->finished()) != content) {
        std::fprintf(stderr, "a damaged meta file made the engine take wrong bytes for the file\n");
        std::abort();
    }
    return 0;
}
