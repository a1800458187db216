// A download killed with SIGKILL at seeded moments resumes from its meta file each time: it fetches
// no more than the meta file says is missing (plus a segment a thread), and ends byte-identical.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "download/DownloadJob.h"
#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/logging/BinaryLock.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/download/EngineFaultSupport.h"

extern char** environ;

namespace {

using namespace engine_test;
using namespace std::chrono_literals;

// Segments of two hand-over pieces each, so that kills also land between a segment's records.
constexpr uint32_t kSegment = 2 * kHandOverBytes;
constexpr uint32_t kThreads = 4;
constexpr uint64_t kFileSize = 40ull * kSegment + 777;
constexpr uint64_t kConnectionBytesPerSecond = 1024 * 1024;
constexpr int kKills = 20;

uint32_t killSeed() {
    const char* fixed = std::getenv("ENGINE_KILL_SEED");
    return fixed != nullptr ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10))
                            : static_cast<uint32_t>(std::random_device{}());
}

class EngineKillResumeTest : public testing::Test {
protected:
    // A killed child never finalizes the engine log's lock set, and a later run need not write a
    // line that would: remove it here.
    void TearDown() override {
        foundation::SystemVSemaphoreSet::removeKey(
            environment.home() + "/Library/Logs/MorvaneStudio/MVD/ZarvoDownload/DOZ.log",
            zezu::BinaryLock::kLogFileProjectId);
    }

    pid_t startChild() {
        std::vector<std::string> arguments = {ENGINE_DOWNLOAD_CHILD, server.url("/big.bin"), target,
                                              std::to_string(kThreads), std::to_string(kSegment)};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        return pid;
    }

    // The child's wait status, or -1 (and the child killed) when it does not end in time.
    static int waitForExit(pid_t child, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(child, SIGKILL);
                waitpid(child, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        return status;
    }

    // The server's count once the handlers of a killed client have noticed it is gone.
    int64_t settledBytesSent() {
        int64_t last = serverInfo(server, "/big.bin", "bytes_sent");
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(50ms);
            const int64_t now = serverInfo(server, "/big.bin", "bytes_sent");
            if (now == last) return now;
            last = now;
        }
        return last;
    }

    test_support::TemporaryEnvironment environment;
    test_support::HttpTestServer server;
    std::string target = environment.base() + "/out";
};

TEST_F(EngineKillResumeTest, KilledDownloadResumesWithinWhatItsMetaFileMisses) {
    const uint32_t seed = killSeed();
    std::cout << "kill seed " << seed << " (ENGINE_KILL_SEED repeats it)" << std::endl;
    std::mt19937 random(seed);
    const std::string content = environment.base() + "/content.bin";
    const Bytes bytes = randomBytes(kFileSize, seed);
    writeFile(content, bytes);
    server.setScenario(R"({"path":"/big.bin","body_file":")" + content + R"(","etag":"\"k1\"","throttle":)" +
                       std::to_string(kConnectionBytesPerSecond) + "}");
    const std::string partial = target + "/big.bin.zamdownload";
    const uint64_t slack = uint64_t{kThreads} * kSegment;

    int64_t before = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        const uint64_t missing = missingBytes(partial, kFileSize, kSegment);
        const auto delay = std::chrono::milliseconds(40 + random() % 660);
        SCOPED_TRACE("run " + std::to_string(kill) + ", killed after " + std::to_string(delay.count()) + " ms, " +
                     std::to_string(missing) + " bytes missing before it");
        const pid_t child = startChild();
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(delay);
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the download ended on its own, exit " << WEXITSTATUS(status);
        const int64_t after = settledBytesSent();
        EXPECT_LE(static_cast<uint64_t>(after - before), missing + slack)
            << "the run fetched more than its meta file said was missing";
        EXPECT_EQ(segmentRecordingUnwrittenBytes(partial, bytes, kSegment), -1)
            << "a record claims bytes the partial file does not hold";
        before = after;
    }

    const uint64_t missing = missingBytes(partial, kFileSize, kSegment);
    EXPECT_LT(missing, kFileSize) << "twenty runs left nothing to resume from";
    const pid_t child = startChild();
    ASSERT_GT(child, 0);
    const int status = waitForExit(child, 60s);
    ASSERT_NE(status, -1) << "the resumed download did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(static_cast<uint64_t>(settledBytesSent() - before), missing + slack)
        << "the last run fetched more than its meta file said was missing";
    EXPECT_EQ(test_support::sha256OfFile(target + "/big.bin"), test_support::sha256OfFile(content));
    EXPECT_FALSE(exists(partial));
    EXPECT_FALSE(exists(partial + ".zamd"));
}

}  // namespace
