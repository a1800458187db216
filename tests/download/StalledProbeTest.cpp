// HEAD probes against a server that accepts the connection and then says nothing: every client call
// that waits on such a probe comes back within the engine's limits.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/download/EngineTestSupport.h"

namespace {

using namespace engine_test;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSegment = 65536;

class StalledProbeTest : public LoopbackEngineTest {
protected:
    void SetUp() override { writeFile(content, randomBytes(4 * kSegment, 12)); }

    // HEAD requests after the first `passed` ones send nothing for far longer than any test waits.
    void serveWithStalledHeads(int passed, const std::string& extra = "") {
        server.setScenario(R"({"path":"/s.bin","body_file":")" + content +
                           R"(","etag":"\"v1\"","faults":[{"kind":"stall_before_headers","seconds":60,)" +
                           R"("methods":["HEAD"],"times":-1,"skip":)" + std::to_string(passed) + "}]" + extra + "}");
    }

    DownloadInput input() const { return inputFor("/s.bin", kSegment, 2); }

    int heads() {
        const std::string log = server.requestLog();
        int count = 0;
        for (size_t at = log.find("\"HEAD\""); at != std::string::npos; at = log.find("\"HEAD\"", at + 1)) ++count;
        return count;
    }

    static double secondsSince(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
};

TEST_F(StalledProbeTest, StartGivesUpOnASilentSizeProbeWithinTheProbeLimits) {
    struct Case {
        uint32_t stallSeconds;  // what a silent exchange may last
        uint32_t probeSeconds;  // what the probes may last in all
        int minimumTries;
    };
    // Short stalls are tried again; a stall limit beyond the probe limit never stretches it.
    for (const Case c : {Case{1, 3, 2}, Case{30, 2, 1}}) {
        SCOPED_TRACE("stall limit " + std::to_string(c.stallSeconds) + " s, probe limit " +
                     std::to_string(c.probeSeconds) + " s");
        engineTimings().stallTimeoutSeconds = c.stallSeconds;
        engineTimings().probeMaxSeconds = c.probeSeconds;
        serveWithStalledHeads(0);
        server.clearLog();
        EngineSession session;
        DownloadInput in = input();
        ASSERT_EQ(session.handle->init(&in), 0);
        const Clock::time_point started = Clock::now();
        EXPECT_NE(session.handle->start(), 0);
        EXPECT_LT(secondsSince(started), c.probeSeconds + 1.5);
        EXPECT_GE(heads(), c.minimumTries) << "a silent server is a timeout, and timeouts are tried again";
        DownloadErrorInfo error;
        session.handle->getLastError(&error);
        EXPECT_EQ(error.errorType, -45) << "a timed-out request, not some unknown failure: " << error.message;
        EXPECT_FALSE(exists(folder + "/s.bin.zamdownload")) << "nothing is made for a file of unknown size";
    }
}

TEST_F(StalledProbeTest, ClosingWhileTheETagCheckAfterAFatalErrorHangsReturnsAtOnce) {
    // Long enough that waiting the stall out fails the test; the close must cut it short.
    engineTimings().stallTimeoutSeconds = 30;
    for (const bool viaStop : {false, true}) {
        SCOPED_TRACE(viaStop ? "stop, then close" : "close");
        // The size probe and the range probe pass; every segment is a 404, and the ETag check that
        // follows the fatal end never gets an answer.
        serveWithStalledHeads(1, R"(,"script_methods":["GET"],"statuses":[0,404,404,404,404,404,404,404,404])");
        server.clearLog();
        EngineSession session;
        DownloadInput in = input();
        ASSERT_EQ(session.handle->init(&in), 0);
        ASSERT_EQ(session.handle->start(), 0);
        const Clock::time_point waitStarted = Clock::now();
        while (heads() < 2 && secondsSince(waitStarted) < 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(heads(), 2) << "the controller never asked for the ETag";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well inside the silent HEAD

        const Clock::time_point started = Clock::now();
        if (viaStop) session.handle->stop();
        closeFileDownloader(&session.handle);
        EXPECT_LT(secondsSince(started), 5.0);
        // Whatever ended the check, the client hears of the error that ended the download.
        EXPECT_EQ(session.recorder.errors(), 1);
        EXPECT_EQ(session.recorder.error().extendedErrorCode, 404) << session.recorder.error().message;
        EXPECT_NE(session.recorder.error().errorType, -55) << "an unanswered check is no proof of a changed file";
    }
}

}  // namespace
