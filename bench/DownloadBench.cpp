// download_bench: one download through the engine's handle interface, the way the bootstrapper drives it,
// with an MD5 of every written segment, and one summary line for scripts.
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/DownloadEngine.h"
#include "platform/Url.h"

namespace {

// Exit statuses: 0 only for a complete file.
constexpr int kExitComplete = 0;
constexpr int kExitDownloadFailed = 1;
constexpr int kExitRefused = 2;

// Result codes of the summary line besides the engine's own (negative) error types.
constexpr int kResultComplete = 0;
constexpr int kResultRefused = 2;
constexpr int kResultEngineCall = 3;

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: download_bench URL OUTPUT_FOLDER [--name FILE] [--threads N] [--segment BYTES]\n"
    "                      [--adaptive] [--new-adaptive] [--md5-list FILE | --no-md5] [--no-meta]\n"
    "  --threads N      download threads: 1..15, or 1..50 with --new-adaptive (engine default when absent)\n"
    "  --segment BYTES  segment size: 65536..4194304 (default 2097152)\n"
    "  --adaptive       let the engine change the number of active threads\n"
    "  --new-adaptive   the same with the new adaptive algorithm's limits and schedule\n"
    "  --md5-list FILE  one lowercase hex MD5 a line, one line per segment; a segment that differs is rejected\n"
    "  --no-md5         no digest of the segments at all\n"
    "  --no-meta        no resumable meta file: a leftover partial download of FILE is deleted first\n"
    "The last line is: bytes=N wall_s=X mb_s=X cpu_s=X peak_rss_mib=X rejected=N threads=N result=CODE\n"
    "(result 0 complete, 2 refused, 3 an engine call failed, negative: the engine's error type).\n";

struct Options {
    std::string url;
    std::string folder;
    std::string name;
    std::optional<uint32_t> threads;
    std::optional<uint32_t> segment;
    bool adaptive = false;
    bool newAdaptive = false;
    bool md5 = true;
    std::string md5List;
    bool meta = true;
};

class Refusal {
public:
    explicit Refusal(std::string why) : why_(std::move(why)) {}
    const std::string& why() const { return why_; }

private:
    std::string why_;
};

std::optional<uint64_t> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

Options parseArguments(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    auto value = [&](int& i, const char* flag) -> std::string {
        if (i + 1 >= argc) throw Refusal(std::string(flag) + " needs a value");
        return argv[++i];
    };
    auto bounded = [](const std::string& text, const char* flag) -> uint32_t {
        auto number = parseNumber(text);
        if (!number || *number > UINT32_MAX)
            throw Refusal(std::string(flag) + " wants a whole number, not '" + text + "'");
        return static_cast<uint32_t>(*number);
    };
    bool noMd5 = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--name")
            options.name = value(i, "--name");
        else if (arg == "--threads")
            options.threads = bounded(value(i, "--threads"), "--threads");
        else if (arg == "--segment")
            options.segment = bounded(value(i, "--segment"), "--segment");
        else if (arg == "--adaptive")
            options.adaptive = true;
        else if (arg == "--new-adaptive")
            options.newAdaptive = true;
        else if (arg == "--md5-list")
            options.md5List = value(i, "--md5-list");
        else if (arg == "--no-md5")
            noMd5 = true;
        else if (arg == "--no-meta")
            options.meta = false;
        else if (arg == "--help" || arg == "-h")
            throw Refusal("");
        else if (arg.size() > 1 && arg[0] == '-')
            throw Refusal("unknown option " + arg);
        else
            positional.push_back(arg);
    }
    if (positional.size() != 2) throw Refusal("URL and OUTPUT_FOLDER are required");
    options.url = positional[0];
    options.folder = positional[1];
    if (noMd5 && !options.md5List.empty()) throw Refusal("--md5-list and --no-md5 exclude each other");
    options.md5 = !noMd5;

    // The engine clamps or ignores values out of its bounds; a benchmark must not measure something else.
    uint32_t maximum = options.newAdaptive ? kAdaptiveMaximumThreads : kClassicMaximumThreads;
    if (options.threads && (*options.threads < 1 || *options.threads > maximum))
        throw Refusal("--threads must lie in 1.." + std::to_string(maximum));
    if (options.segment && (*options.segment < kMinimumSegmentSize || *options.segment > kMaximumSegmentSize))
        throw Refusal("--segment must lie in " + std::to_string(kMinimumSegmentSize) + ".." +
                      std::to_string(kMaximumSegmentSize));
    if (options.name.empty()) {
        // The engine's own rule: the URL's last path component.
        const std::string target = platform::splitUrl(options.url).target();
        options.name = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
        if (options.name.empty()) throw Refusal("the URL names no file: give --name");
    }
    if (options.name.find('/') != std::string::npos) throw Refusal("--name must be a plain file name");
    return options;
}

std::vector<std::string> readDigestList(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Refusal("cannot read the MD5 list " + path);
    std::vector<std::string> digests;
    std::string line;
    while (std::getline(in, line)) {
        bool valid = line.size() == 32;
        for (char c : line) valid = valid && (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'));
        if (!valid)
            throw Refusal("line " + std::to_string(digests.size() + 1) + " of the MD5 list is not a lowercase hex MD5");
        digests.push_back(line);
    }
    return digests;
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string md5Hex(const EVP_MD* md5, const uint8_t* bytes, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes, size, digest, &length, md5, nullptr) != 1) return "";
    static const char* const hex = "0123456789abcdef";
    std::string text(2 * length, '0');
    for (unsigned int i = 0; i < length; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 15];
    }
    return text;
}

// The client's side of the engine's events: digests segments, follows thread counts, waits for the end.
class BenchIntercept : public IDleIntercept {
public:
    BenchIntercept(const EVP_MD* md5, std::vector<std::string> expected, Clock::time_point started)
        : md5_(md5), expected_(std::move(expected)), started_(started) {}

    int intercept(int event, void* data, int length) override {
        if (event == kEventSegmentWritten) return judgeSegment(*static_cast<const SegmentView*>(data));
        std::lock_guard<std::mutex> lock(mutex_);
        switch (event) {
            case kEventProgress: {
                const auto& progress = *static_cast<const ProgressRecord*>(data);
                if (progress.reportedState == 5 || progress.reportedState == 6) end(progress.reportedState);
                break;
            }
            case kEventError:
                error_ = *static_cast<const DownloadErrorInfo*>(data);
                hadError_ = true;
                end(7);
                break;
            case kEventThreadSummary: {
                uint32_t active = static_cast<const ThreadSummary*>(data)->activeThreads;
                // The report after the last segment counts threads winding down; keep the running figure.
                if (ended_ || active == 0) break;
                if (active != activeThreads_) {
                    double at = std::chrono::duration<double>(Clock::now() - started_).count();
                    std::printf("t_s=%.1f active_threads=%u\n", at, active);
                    std::fflush(stdout);
                }
                activeThreads_ = active;
                break;
            }
            default: break;
        }
        (void)length;
        return 0;
    }

    // Blocks until the download completed (5), failed to finish (6) or reported an error (7).
    int waitForEnd() {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_cv_.wait(lock, [this] { return ended_; });
        return endState_;
    }

    DownloadErrorInfo error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }
    bool hadError() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hadError_;
    }
    uint32_t activeThreads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return activeThreads_;
    }
    uint32_t rejected() {
        std::lock_guard<std::mutex> lock(mutex_);
        return rejected_;
    }
    bool hashing() const { return md5_ != nullptr; }

private:
    // Runs on the serializer thread, outside the lock: the digest is the slow part.
    int judgeSegment(const SegmentView& view) {
        if (md5_ == nullptr) return 0;
        std::string digest = md5Hex(md5_, view.bytes, view.size);
        if (expected_.empty()) return 0;
        if (view.index < expected_.size() && digest == expected_[view.index]) return 0;
        std::lock_guard<std::mutex> lock(mutex_);
        ++rejected_;
        std::printf("rejected segment %u md5=%s\n", view.index, digest.c_str());
        std::fflush(stdout);
        return 1;
    }

    void end(int state) {
        if (ended_) return;
        ended_ = true;
        endState_ = state;
        ended_cv_.notify_all();
    }

    const EVP_MD* md5_;
    const std::vector<std::string> expected_;
    const Clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable ended_cv_;
    bool ended_ = false;
    int endState_ = 0;
    bool hadError_ = false;
    DownloadErrorInfo error_;
    uint32_t activeThreads_ = 0;
    uint32_t rejected_ = 0;
};

struct Summary {
    uint64_t bytes = 0;
    uint32_t rejected = 0;
    uint32_t threads = 0;
    int result = kResultComplete;
};

void printSummary(const Summary& summary, Clock::time_point started) {
    double wall = std::chrono::duration<double>(Clock::now() - started).count();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    double megabytesPerSecond = wall > 0 ? static_cast<double>(summary.bytes) / 1e6 / wall : 0.0;
    std::printf("bytes=%llu wall_s=%.3f mb_s=%.1f cpu_s=%.3f peak_rss_mib=%.1f rejected=%u threads=%u result=%d\n",
                static_cast<unsigned long long>(summary.bytes), wall, megabytesPerSecond, cpu,
                static_cast<double>(usage.ru_maxrss) / 1024.0, summary.rejected, summary.threads, summary.result);
    std::fflush(stdout);
}

const char* actionName(int32_t action) {
    switch (action) {
        case 0: return "user-actionable";
        case 1: return "retry";
        case 2: return "fatal";
        case 3: return "fatal, cleaned";
        case 4: return "file changed on the server";
        case 5: return "retry later";
        case 6: return "retry limit exceeded";
        default: return "unknown";
    }
}

// With a digest list, the list must name exactly the segments the engine will cut.
int checkSegmentCount(FileDownloaderHandle& handle, const Options& options, size_t listed, Summary& summary) {
    uint64_t size = 0;
    uint8_t segmentable = 0;
    int32_t code = handle.getFileInfo(&size, &segmentable);
    if (code != 0) return code;
    uint64_t segment = options.segment.value_or(DownloadPreference{}.segmentSize);
    uint64_t segments = (size + segment - 1) / segment;
    if (segments == listed) return 0;
    std::fprintf(stderr, "download_bench: the MD5 list has %zu lines, the file of %llu bytes has %llu segments\n",
                 listed, static_cast<unsigned long long>(size), static_cast<unsigned long long>(segments));
    summary.result = kResultRefused;
    return kExitRefused;
}

// Drives one download; fills the summary and answers the exit status.
int download(const Options& options, const EVP_MD* md5, const std::vector<std::string>& digests,
             Clock::time_point started, Summary& summary) {
    DownloadLibRef* libRef = nullptr;
    FileDownloaderHandle* handle = nullptr;
    if (createDownloadLibRef(&libRef) != 0 || createFileDownloader(&libRef, &handle) != 0) {
        std::fprintf(stderr, "download_bench: the engine could not make a download handle\n");
        if (libRef != nullptr) releaseDownloadLibRef(&libRef);
        summary.result = kResultEngineCall;
        return kExitDownloadFailed;
    }
    BenchIntercept intercept(md5, digests, started);
    for (int event : {kEventSegmentWritten, kEventProgress, kEventError, kEventThreadSummary})
        handle->addDLEIntercept(event, &intercept);

    DownloadInput input;
    input.serverPath = options.url;
    input.targetFolder = options.folder;
    input.targetFileName = options.name;
    input.useMetaFile = options.meta ? 1 : 0;
    input.adaptiveThreadControl = (options.adaptive || options.newAdaptive) ? 1 : 0;
    input.preference.newAdaptiveAlgorithm = options.newAdaptive ? 1 : 0;
    if (options.threads) input.preference.threadCount = *options.threads;
    if (options.segment) input.preference.segmentSize = *options.segment;

    int status = kExitDownloadFailed;
    auto failedCall = [&](const char* call, int32_t code) {
        DownloadErrorInfo error;
        handle->getLastError(&error);
        std::fprintf(stderr, "download_bench: %s answered %d: error type %d (code %d) %s\n", call, code,
                     error.errorType, error.extendedErrorCode, error.message.c_str());
        summary.result = error.errorType < 0 ? error.errorType : kResultEngineCall;
    };
    int32_t code = handle->init(&input);
    if (code != 0) {
        failedCall("init", code);
    } else if (!digests.empty() && (code = checkSegmentCount(*handle, options, digests.size(), summary)) != 0) {
        status = code == kExitRefused ? kExitRefused : kExitDownloadFailed;
        if (code != kExitRefused) failedCall("getFileInfo", code);
    } else if ((code = handle->start()) != 0) {
        failedCall("start", code);
    } else {
        int end = intercept.waitForEnd();
        if (end == 5) {
            status = kExitComplete;
        } else {
            DownloadErrorInfo error = intercept.hadError() ? intercept.error() : DownloadErrorInfo{};
            if (!intercept.hadError()) handle->getLastError(&error);
            std::fprintf(stderr, "download_bench: the download ended with error type %d (%s, code %d): %s\n",
                         error.errorType, actionName(error.action), error.extendedErrorCode, error.message.c_str());
            summary.result = error.errorType < 0 ? error.errorType : kResultEngineCall;
        }
    }
    summary.rejected = intercept.rejected();
    summary.threads = intercept.activeThreads();
    // close stops a download the engine paused for the user; it keeps the partial file for a later resume.
    handle->close();
    closeFileDownloader(&handle);
    releaseDownloadLibRef(&libRef);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const Clock::time_point started = Clock::now();
    Summary summary;
    Options options;
    std::vector<std::string> digests;
    try {
        options = parseArguments(argc, argv);
        if (!options.md5List.empty()) {
            digests = readDigestList(options.md5List);
            if (digests.empty()) throw Refusal("the MD5 list is empty");
        }
        std::string target = options.folder + "/" + options.name;
        if (pathExists(target)) throw Refusal(target + " exists already");
        if (!options.meta) {
            // Without records a leftover partial file is worth nothing, and its meta file would lie later.
            std::remove((target + ".zamdownload.zamd").c_str());
            std::remove((target + ".zamdownload").c_str());
        }
    } catch (const Refusal& refusal) {
        if (refusal.why().empty()) {
            std::fputs(kUsage, stdout);
            return kExitRefused;
        }
        std::fprintf(stderr, "download_bench: %s\n%s", refusal.why().c_str(), kUsage);
        summary.result = kResultRefused;
        printSummary(summary, started);
        return kExitRefused;
    }

    const EVP_MD* md5 = nullptr;
    if (options.md5) {
        md5 = EVP_md5();
        if (md5 == nullptr) {
            std::fprintf(stderr, "download_bench: no MD5 in libcrypto\n");
            return kExitDownloadFailed;
        }
    }
    int status = download(options, md5, digests, started, summary);
    if (status == kExitComplete) {
        struct stat info {};
        std::string target = options.folder + "/" + options.name;
        if (stat(target.c_str(), &info) != 0) {
            std::fprintf(stderr, "download_bench: the engine reported completion but %s is missing\n", target.c_str());
            summary.result = kResultEngineCall;
            status = kExitDownloadFailed;
        } else {
            summary.bytes = static_cast<uint64_t>(info.st_size);
        }
    }
    printSummary(summary, started);
    return status;
}
