// Shared helpers of the engine's end-to-end tests: a recording intercept, content files, short timings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "download/DownloadEngine.h"
#include "download/EngineTimings.h"
#include "tests/support/FileContents.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TemporaryEnvironment.h"

namespace engine_test {

using Bytes = std::vector<uint8_t>;

inline Bytes randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
    return bytes;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    test_support::writeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

inline bool readFile(const std::string& path, Bytes& bytes) {
    const std::optional<std::string> text = test_support::readFileIfAny(path);
    if (!text) return false;
    bytes.assign(text->begin(), text->end());
    return true;
}

inline bool exists(const std::string& path) { return std::ifstream(path).good(); }

// Records what the engine reports and answers events 2 and 3 through an optional judge.
class Recorder : public IDleIntercept {
public:
    using Judge = std::function<int(int event, const SegmentView& view)>;

    int intercept(int event, void* data, int length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++events_[event];
        EXPECT_TRUE(length > 0 || event == kEventStarted) << "event " << event;
        int answer = 0;
        switch (event) {
            case kEventSegmentDownloaded:
            case kEventSegmentWritten: {
                const auto& view = *static_cast<const SegmentView*>(data);
                if (judge) answer = judge(event, view);
                if (answer != 0) ++rejected_;
                break;
            }
            case kEventProgress:
                progress_ = *static_cast<const ProgressRecord*>(data);
                if (progress_.reportedState >= 5) ended_ = true;
                break;
            case kEventError:
                error_ = *static_cast<const DownloadErrorInfo*>(data);
                ++errors_;
                ended_ = true;
                break;
            case kEventFileComplete:
                completedPath_.assign(static_cast<const char*>(data), static_cast<size_t>(length));
                break;
            default: break;
        }
        changed_.notify_all();
        return answer;
    }

    // Waits until the download completed, failed or paused itself with an error.
    bool waitForEnd(std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return ended_; });
    }
    bool waitForEvent(int event, int count, std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return events_[event] >= count; });
    }
    // The progress event that follows an end's error event carries the final state.
    bool waitForReportedState(uint32_t state, std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return progress_.reportedState == state; });
    }
    void rearm() {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = false;
    }
    int count(int event) {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_[event];
    }
    ProgressRecord progress() {
        std::lock_guard<std::mutex> lock(mutex_);
        return progress_;
    }
    DownloadErrorInfo error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }
    int errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_;
    }
    int rejected() {
        std::lock_guard<std::mutex> lock(mutex_);
        return rejected_;
    }
    std::string completedPath() {
        std::lock_guard<std::mutex> lock(mutex_);
        return completedPath_;
    }

    Judge judge;  // set before the download starts

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int events_[16] = {};
    ProgressRecord progress_;
    DownloadErrorInfo error_;
    int errors_ = 0;
    int rejected_ = 0;
    bool ended_ = false;
    std::string completedPath_;
};

// Short waits for every engine timer, restored afterwards.
class ShortEngineTimings {
public:
    ShortEngineTimings() : saved_(engineTimings()) {
        EngineTimings& t = engineTimings();
        t.idlePollMs = 10;
        t.threadStartSpacingMs = 1;
        t.readTurnSleepMs = 1;
        t.deadConnectionSeconds = 3;
        t.probeMaxSeconds = 5;
        t.probeRetrySleepMs = 10;
        t.terminateForceMs = 500;
        t.terminateGiveUpMs = 3000;
        t.serializerRetrySleepMs = 10;
        t.connectionDroppedSleepMs = 10;
        t.stallTimeoutSeconds = 2;
        t.connectTimeoutSeconds = 5;
        t.cancelWaitStepMs = 10;
        t.backoffFirstBaseSeconds = 1;
        t.backoffFirstSpreadSeconds = 1;
        t.backoffLaterBaseSeconds = 1;
        t.backoffLaterSpreadSeconds = 1;
    }
    ~ShortEngineTimings() { engineTimings() = saved_; }
    ShortEngineTimings(const ShortEngineTimings&) = delete;
    ShortEngineTimings& operator=(const ShortEngineTimings&) = delete;

private:
    EngineTimings saved_;
};

// A test with its own HOME, short engine waits and a loopback server, which serves `content`
// where a scenario names it; downloads go into `folder`.
class LoopbackEngineTest : public testing::Test {
protected:
    // A download of the server's `path` into `folder`, in segments of `segmentSize` bytes.
    DownloadInput inputFor(const std::string& path, uint32_t segmentSize, uint32_t threads = 0) const {
        DownloadInput in;
        in.serverPath = server.url(path);
        in.targetFolder = folder;
        in.preference.segmentSize = segmentSize;
        if (threads != 0) in.preference.threadCount = threads;
        return in;
    }

    test_support::TemporaryEnvironment environment;
    ShortEngineTimings timings;
    test_support::HttpTestServer server;
    const std::string folder = environment.base() + "/out";
    const std::string content = environment.base() + "/content.bin";
};

// One library reference and one handle with a recorder registered for every event.
class EngineSession {
public:
    EngineSession() {
        EXPECT_EQ(createDownloadLibRef(&libRef), 0);
        EXPECT_EQ(createFileDownloader(&libRef, &handle), 0);
        for (int event = 1; event <= 11; ++event) handle->addDLEIntercept(event, &recorder);
    }
    ~EngineSession() {
        if (handle != nullptr) closeFileDownloader(&handle);
        releaseDownloadLibRef(&libRef);
    }
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    DownloadLibRef* libRef = nullptr;
    FileDownloaderHandle* handle = nullptr;
    Recorder recorder;
};

}  // namespace engine_test
