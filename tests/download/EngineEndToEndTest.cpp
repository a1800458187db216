// The engine against the loopback test server: whole downloads, fallbacks, rejection, pause, stop, resume.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "download/FileDownloadManager.h"
#include "download/ZAMDFileManager.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/support/LoopbackHttpPeer.h"

namespace {

using namespace engine_test;
using namespace std::chrono_literals;

constexpr uint32_t kSegment = 65536;

class EngineEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        target = environment.base() + "/out";
        content = environment.base() + "/content.bin";
    }

    // Serves bytes at path with the scenario's extra JSON keys.
    void serve(const std::string& path, const Bytes& bytes, const std::string& extra = "") {
        writeFile(content, bytes);
        server.setScenario(R"({"path":")" + path + R"(","body_file":")" + content + R"(","etag":"\"v1\"")" +
                           (extra.empty() ? "" : "," + extra) + "}");
    }

    DownloadInput input(const std::string& path, uint32_t threads = 4) {
        DownloadInput in;
        in.serverPath = server.url(path);
        in.targetFolder = target;
        in.preference.segmentSize = kSegment;
        in.preference.threadCount = threads;
        return in;
    }

    std::string finished(const std::string& name) const { return target + "/" + name; }

    // init and start one session on `in` and wait for its end.
    void runToEnd(EngineSession& session, DownloadInput& in) {
        ASSERT_EQ(session.handle->init(&in), 0);
        ASSERT_EQ(session.handle->start(), 0);
        ASSERT_TRUE(session.recorder.waitForEnd());
    }

    // Starts a download of path and returns once `segments` segments are written.
    void startUntilWritten(EngineSession& session, const std::string& path, int segments) {
        DownloadInput in = input(path);
        ASSERT_EQ(session.handle->init(&in), 0);
        ASSERT_EQ(session.handle->start(), 0);
        ASSERT_TRUE(session.recorder.waitForEvent(kEventSegmentWritten, segments));
    }

    // Downloads path until `segments` segments are written, then closes, which keeps the partial
    // download as a crash would.
    void interruptAfterWrittenSegments(const std::string& path, int segments) {
        EngineSession session;
        ASSERT_NO_FATAL_FAILURE(startUntilWritten(session, path, segments));
        EXPECT_EQ(session.handle->close(), 0);
    }

    void expectCompleteCopy(EngineSession& session, const std::string& name, const Bytes& expected) {
        EXPECT_EQ(session.recorder.progress().reportedState, 5u);
        EXPECT_EQ(session.recorder.errors(), 0) << session.recorder.error().message;
        Bytes got;
        ASSERT_TRUE(readFile(finished(name), got)) << name;
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "bytes differ";
        EXPECT_FALSE(exists(finished(name) + ".zamdownload"));
        EXPECT_FALSE(exists(finished(name) + ".zamdownload.zamd"));
        EXPECT_EQ(session.recorder.completedPath(), finished(name));
    }

    test_support::TemporaryEnvironment environment;
    ShortEngineTimings timings;
    test_support::HttpTestServer server;
    std::string target;
    std::string content;
};

TEST_F(EngineEndToEndTest, SizesAroundSegmentBoundariesArriveByteIdentical) {
    const size_t sizes[] = {0, 1, kSegment - 1, kSegment, kSegment + 1, 5 * kSegment + 7};
    for (size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "f" + std::to_string(size) + ".bin";
        Bytes bytes = randomBytes(size, static_cast<uint32_t>(size) + 1);
        serve("/" + name, bytes);
        EngineSession session;
        DownloadInput in = input("/" + name);
        ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
        expectCompleteCopy(session, name, bytes);
    }
}

TEST_F(EngineEndToEndTest, ServerThatRefusesRangesIsFetchedAsOneStream) {
    for (size_t size : {size_t{3} * kSegment + 5, size_t{2} * kSegment}) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "plain" + std::to_string(size) + ".bin";
        Bytes bytes = randomBytes(size, 7);
        serve("/" + name, bytes, R"("ranges":false)");
        EngineSession session;
        DownloadInput in = input("/" + name);
        ASSERT_EQ(session.handle->init(&in), 0);
        uint64_t remote = 0;
        uint8_t segmentable = 1;
        ASSERT_EQ(session.handle->getFileInfo(&remote, &segmentable), 0);
        EXPECT_EQ(remote, size);
        EXPECT_EQ(segmentable, 0);
        ASSERT_EQ(session.handle->start(), 0);
        ASSERT_TRUE(session.recorder.waitForEnd());
        expectCompleteCopy(session, name, bytes);
    }
}

TEST_F(EngineEndToEndTest, RequestedSingleStreamWithGzipEndsDecompressed) {
    Bytes bytes = randomBytes(3 * kSegment + 11, 9);
    serve("/z.bin", bytes, R"("gzip":true)");
    EngineSession session;
    DownloadInput in = input("/z.bin");
    in.preference.singleStream = 1;
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    expectCompleteCopy(session, "z.bin", bytes);
}

TEST_F(EngineEndToEndTest, CorruptSegmentIsRejectedAndFetchedAgain) {
    struct Case {
        const char* name;
        bool singleStream;
        int judgedEvent;
    };
    const Case cases[] = {{"ranged-written", false, kEventSegmentWritten},
                          {"ranged-downloaded", false, kEventSegmentDownloaded},
                          {"stream-written", true, kEventSegmentWritten}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = std::string("/") + c.name + ".bin";
        Bytes bytes = randomBytes(4 * kSegment + 100, 11);
        uint64_t corruptAt = 2 * kSegment + 17;
        serve(path, bytes, R"("faults":[{"kind":"corrupt","offset":)" + std::to_string(corruptAt) + R"(,"times":1}])");
        EngineSession session;
        session.recorder.judge = [&](int event, const SegmentView& view) {
            if (event != c.judgedEvent) return 0;
            uint64_t start = static_cast<uint64_t>(view.index) * kSegment;
            return std::equal(view.bytes, view.bytes + view.size, bytes.begin() + static_cast<long>(start)) ? 0 : 1;
        };
        DownloadInput in = input(path);
        in.preference.singleStream = c.singleStream;
        in.preference.acceptGzip = 0;
        ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
        EXPECT_EQ(session.recorder.rejected(), 1);
        expectCompleteCopy(session, path.substr(1), bytes);
    }
}

TEST_F(EngineEndToEndTest, SegmentThatStaysCorruptEndsTheDownloadWithoutAFile) {
    Bytes bytes = randomBytes(3 * kSegment, 12);
    serve("/bad.bin", bytes, R"("faults":[{"kind":"corrupt","offset":70000,"times":-1}])");
    EngineSession session;
    session.recorder.judge = [&](int event, const SegmentView& view) {
        if (event != kEventSegmentWritten) return 0;
        uint64_t start = static_cast<uint64_t>(view.index) * kSegment;
        return std::equal(view.bytes, view.bytes + view.size, bytes.begin() + static_cast<long>(start)) ? 0 : 1;
    };
    DownloadInput in = input("/bad.bin");
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    DownloadErrorInfo error;
    session.handle->getLastError(&error);
    EXPECT_EQ(error.errorType, -60);
    EXPECT_EQ(error.action, 2);
    // Rejections are counted when the controller next looks at the errors, so a fast link refetches more often.
    EXPECT_GE(session.recorder.rejected(), 11);
    EXPECT_EQ(session.handle->start(), 30) << "a fatal end needs close and init";
    EXPECT_FALSE(exists(finished("bad.bin")));
    EXPECT_TRUE(exists(finished("bad.bin.zamdownload"))) << "a fatal end keeps the partial download";
}

TEST_F(EngineEndToEndTest, PauseAndResumeMidFile) {
    Bytes bytes = randomBytes(24 * kSegment, 13);
    serve("/slow.bin", bytes, R"("throttle":400000)");
    EngineSession session;
    ASSERT_NO_FATAL_FAILURE(startUntilWritten(session, "/slow.bin", 2));
    EXPECT_EQ(session.handle->pause(), 0);
    EXPECT_EQ(session.handle->pause(), 10) << "pausing twice";
    DownloadPreference changed;
    changed.segmentSize = kSegment;
    changed.threadCount = 4;
    EXPECT_EQ(session.handle->setPreference(&changed), 0) << "allowed while paused";
    int written = session.recorder.count(kEventSegmentWritten);
    std::this_thread::sleep_for(600ms);
    EXPECT_LE(session.recorder.count(kEventSegmentWritten), written + 4) << "at most the pieces already handed over";
    EXPECT_EQ(session.recorder.progress().reportedState, 1u);
    EXPECT_EQ(session.handle->resume(), 0);
    EXPECT_EQ(session.handle->setPreference(&changed), 20) << "refused while running";
    EXPECT_EQ(session.handle->resume(), 0) << "resuming when not paused";
    ASSERT_TRUE(session.recorder.waitForEnd(60s));
    expectCompleteCopy(session, "slow.bin", bytes);
    EXPECT_EQ(session.handle->stop(), 0) << "stop after completion";
    expectCompleteCopy(session, "slow.bin", bytes);
    EXPECT_EQ(session.handle->stop(), 0);
}

// Close keeps the partial download for a later resume, so the next case may resume what the last one left.
TEST_F(EngineEndToEndTest, StopAndCloseAtAnyMomentLeaveNothingRunning) {
    Bytes bytes = randomBytes(16 * kSegment, 14);
    serve("/stop.bin", bytes, R"("throttle":200000)");
    const int delaysMs[] = {0, 3, 20, 80, 250};
    for (int delay : delaysMs) {
        for (bool useStop : {true, false}) {
            SCOPED_TRACE("delay " + std::to_string(delay) + (useStop ? " stop" : " close"));
            EngineSession session;
            DownloadInput in = input("/stop.bin");
            ASSERT_EQ(session.handle->init(&in), 0);
            ASSERT_EQ(session.handle->start(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            auto begun = std::chrono::steady_clock::now();
            if (useStop) {
                EXPECT_EQ(session.handle->stop(), 0);
                EXPECT_EQ(session.handle->stop(), 10);
                EXPECT_FALSE(exists(finished("stop.bin.zamdownload"))) << "stop cleans its output";
                EXPECT_FALSE(exists(finished("stop.bin.zamdownload.zamd")));
            }
            EXPECT_EQ(session.handle->close(), 0);
            EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
            EXPECT_FALSE(exists(finished("stop.bin")));
        }
    }
}

TEST_F(EngineEndToEndTest, InterruptedDownloadResumesFromTheMetaFile) {
    Bytes bytes = randomBytes(20 * kSegment + 3, 15);
    serve("/resume.bin", bytes, R"("throttle":1500000)");
    ASSERT_NO_FATAL_FAILURE(interruptAfterWrittenSegments("/resume.bin", 6));
    ASSERT_TRUE(exists(finished("resume.bin.zamdownload.zamd")));
    uint32_t completeOnDisk = 0;
    {
        ZAMDFileManager meta;
        ASSERT_TRUE(meta.initialize(finished("resume.bin.zamdownload.zamd")));
        ASSERT_TRUE(meta.isValid());
        for (uint32_t index = 0; index < 20; ++index) {
            uint32_t record = 0;
            if (meta.readSegmentProgress(index, record) && record == kSegment) ++completeOnDisk;
        }
    }
    ASSERT_GE(completeOnDisk, 4u) << "accepted segments are recorded as complete";
    server.clearLog();
    EngineSession session;
    DownloadInput in = input("/resume.bin");
    ASSERT_EQ(session.handle->init(&in), 0);
    ASSERT_EQ(session.handle->start(), 0);
    ASSERT_TRUE(session.recorder.waitForEnd(60s));
    expectCompleteCopy(session, "resume.bin", bytes);
    std::string log = server.requestLog();
    size_t gets = 0;
    for (size_t at = log.find("\"GET\""); at != std::string::npos; at = log.find("\"GET\"", at + 1)) ++gets;
    // One GET per segment not yet complete, plus the range probe.
    EXPECT_LE(gets, 21u - completeOnDisk + 1) << "segments on disk are not fetched again";
}

TEST_F(EngineEndToEndTest, CookiesCustomHeadersAndUserAgentAreSent) {
    Bytes bytes = randomBytes(2 * kSegment, 16);
    serve("/c.bin", bytes);
    server.setScenario(R"({"path":"/page","body":"hi","set_cookie":["sid=42; Path=/"]})");
    EngineSession session;
    DownloadInput in = input("/c.bin");
    in.userAgent = "EngineTest/1";
    in.preference.customHeaders["X-Test"] = "yes";
    ASSERT_EQ(session.handle->init(&in), 0);
    EXPECT_EQ(session.handle->setCookie(""), -3);
    EXPECT_EQ(session.handle->setCookie(server.url("/page")), 0);
    ASSERT_EQ(session.handle->start(), 0);
    ASSERT_TRUE(session.recorder.waitForEnd());
    expectCompleteCopy(session, "c.bin", bytes);
    std::string log = server.requestLog();
    EXPECT_NE(log.find("sid=42;"), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("\"X-Test\", \"yes\""), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("EngineTest/1"), std::string::npos);
    EXPECT_EQ(log.find("Referer"), std::string::npos) << "the referer stays unsent";
}

TEST_F(EngineEndToEndTest, FinishingOntoAnExistingFileFailsAndKeepsBoth) {
    Bytes bytes = randomBytes(kSegment + 9, 17);
    serve("/taken.bin", bytes);
    EngineSession session;
    DownloadInput in = input("/taken.bin");
    ASSERT_EQ(session.handle->init(&in), 0);
    ASSERT_EQ(session.handle->start(), 0);
    ASSERT_TRUE(session.recorder.waitForEvent(kEventStarted, 1));
    writeFile(finished("taken.bin"), Bytes{1, 2, 3});
    ASSERT_TRUE(session.recorder.waitForEnd());
    DownloadErrorInfo error = session.recorder.error();
    EXPECT_EQ(error.errorType, -100);
    EXPECT_EQ(error.action, 2) << "a failed finish is fatal, never user-actionable";
    EXPECT_TRUE(session.recorder.waitForReportedState(6u));
    Bytes kept;
    ASSERT_TRUE(readFile(finished("taken.bin"), kept));
    EXPECT_EQ(kept, (Bytes{1, 2, 3}));
    EXPECT_TRUE(exists(finished("taken.bin.zamdownload")));
    EXPECT_EQ(session.handle->start(), 30) << "a failed finish needs close and init";
}

TEST_F(EngineEndToEndTest, AFileChangedOnTheServerIsFetchedAfreshInsteadOfResumed) {
    Bytes before = randomBytes(12 * kSegment, 18);
    serve("/moving.bin", before, R"("throttle":600000)");
    ASSERT_NO_FATAL_FAILURE(interruptAfterWrittenSegments("/moving.bin", 3));
    ASSERT_TRUE(exists(finished("moving.bin.zamdownload.zamd")));
    // Same size, new bytes and a new ETag: nothing on disk may be kept.
    Bytes after = randomBytes(12 * kSegment, 19);
    writeFile(content, after);
    server.setScenario(R"({"path":"/moving.bin","body_file":")" + content + R"(","etag":"\"v2\""})");
    EngineSession session;
    DownloadInput in = input("/moving.bin");
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    expectCompleteCopy(session, "moving.bin", after);
}

TEST_F(EngineEndToEndTest, ResumingAPausedDownloadOfAChangedFileIsRefused) {
    Bytes bytes = randomBytes(16 * kSegment, 20);
    serve("/paused.bin", bytes, R"("throttle":300000)");
    EngineSession session;
    ASSERT_NO_FATAL_FAILURE(startUntilWritten(session, "/paused.bin", 1));
    ASSERT_EQ(session.handle->pause(), 0);
    server.setScenario(R"({"path":"/paused.bin","body_file":")" + content + R"(","etag":"\"v2\""})");
    EXPECT_EQ(session.handle->resume(), -999);
    DownloadErrorInfo error;
    session.handle->getLastError(&error);
    EXPECT_EQ(error.errorType, -55);
    EXPECT_EQ(error.action, 4);
    EXPECT_EQ(session.handle->close(), 0);
    EXPECT_FALSE(exists(finished("paused.bin")));
}

TEST_F(EngineEndToEndTest, OneHandleFetchesASecondFileAfterCloseAndInit) {
    Bytes first = randomBytes(3 * kSegment + 1, 21);
    Bytes second = randomBytes(kSegment / 2, 22);
    std::string secondContent = environment.base() + "/second.bin";
    writeFile(secondContent, second);
    serve("/first.bin", first);
    server.setScenario(R"({"path":"/second.bin","body_file":")" + secondContent + R"(","ranges":false})");
    EngineSession session;
    DownloadInput in = input("/first.bin");
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    expectCompleteCopy(session, "first.bin", first);
    ASSERT_EQ(session.handle->close(), 0);
    // The first file's size, ETag and range answer must not carry over to the second.
    session.recorder.rearm();
    in = input("/second.bin");
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    expectCompleteCopy(session, "second.bin", second);
}

TEST_F(EngineEndToEndTest, TheEngineLogsIntoItsFileInTheUsersLogFolder) {
    Bytes bytes = randomBytes(kSegment, 23);
    serve("/logged.bin", bytes);
    {
        EngineSession session;
        DownloadInput in = input("/logged.bin");
        ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    }
    Bytes log;
    ASSERT_TRUE(readFile(environment.home() + "/Library/Logs/MorvaneStudio/MVD/ZarvoDownload/DOZ.log", log));
    std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("start of Download"), std::string::npos);
    EXPECT_NE(text.find("File download complete: " + server.url("/logged.bin")), std::string::npos);
    EXPECT_NE(text.find("*******************End****************"), std::string::npos);
}

TEST_F(EngineEndToEndTest, HttpsDownloadsVerifyTheServersCertificate) {
    std::string tls = environment.base() + "/tls";
    ASSERT_TRUE(test_peers::makeTestCertificates(tls));
    test_support::HttpTestServer::Options options;
    options.certFile = tls + "/valid.pem";
    options.keyFile = tls + "/server.key";
    test_support::HttpTestServer secure(options);
    Bytes bytes = randomBytes(3 * kSegment + 11, 24);
    writeFile(content, bytes);
    secure.setScenario(R"({"path":"/s.bin","body_file":")" + content + R"(","etag":"\"s1\""})");
    DownloadInput in = input("/s.bin");
    in.serverPath = secure.url("/s.bin");
    {
        // Nobody trusts the test root yet: the download must not start.
        ::unsetenv("SSL_CERT_FILE");
        EngineSession session;
        ASSERT_EQ(session.handle->init(&in), 0);
        EXPECT_LT(session.handle->start(), 0);
        DownloadErrorInfo error;
        session.handle->getLastError(&error);
        EXPECT_EQ(error.errorType, -40);
        EXPECT_FALSE(exists(finished("s.bin")));
    }
    ::setenv("SSL_CERT_FILE", (tls + "/ca.pem").c_str(), 1);
    EngineSession session;
    ASSERT_NO_FATAL_FAILURE(runToEnd(session, in));
    ::unsetenv("SSL_CERT_FILE");
    expectCompleteCopy(session, "s.bin", bytes);
}

}  // namespace
