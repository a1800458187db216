// The download client against the loopback test server: stages, events, validation, errors, races.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/manifest/FileDownloader.h"
#include "bootstrapper/manifest/MD5Validator.h"
#include "bootstrapper/manifest/ValidatorFactory.h"
#include "platform/ProxySettings.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/ScopedEnvironment.h"

// The engine makes its handles with nothrow new; failing the next such allocation of the test's
// own thread reaches the path where no handle exists. A sanitizer runtime brings its own
// operator new, so there the case is skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FAILS_NOTHROW_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FAILS_NOTHROW_NEW 0
#endif
#endif
#ifndef FAILS_NOTHROW_NEW
#define FAILS_NOTHROW_NEW 1
#endif

namespace {
thread_local bool failNextNothrowNew = false;
}  // namespace

#if FAILS_NOTHROW_NEW
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (failNextNothrowNew) {
        failNextNothrowNew = false;
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
#endif

namespace {

using engine_test::Bytes;
constexpr uint32_t kSegment = 65536;

// A loopback proxy that asks for "user:secret", the only proxy the client sees while it lives.
class AuthenticatingProxy {
public:
    AuthenticatingProxy() : server_(options()) {
        environment_.emplace();
        environment_->set("http_proxy", server_.url(""));
        for (const char* name :
             {"https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            environment_->unset(name);
        platform::ProxySettings::refresh();
    }
    // The settings are read again only once the variables are back.
    ~AuthenticatingProxy() {
        environment_.reset();
        platform::ProxySettings::refresh();
    }
    AuthenticatingProxy(const AuthenticatingProxy&) = delete;
    AuthenticatingProxy& operator=(const AuthenticatingProxy&) = delete;

    test_support::HttpTestServer& server() { return server_; }

private:
    static test_support::HttpTestServer::Options options() {
        test_support::HttpTestServer::Options options;
        options.proxyAuth = "user:secret";
        return options;
    }

    test_support::HttpTestServer server_;
    std::optional<test_support::ScopedEnvironment> environment_;
};

// Polls what the client reports until it reaches one of the end statuses, at most limit.
int32_t waitForEnd(const FileDownloader& downloader, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int32_t status = downloader.getStatus();
        if (status == kDownloaderComplete || status == kDownloaderFatalError ||
            status == kDownloaderUserActionableError || std::chrono::steady_clock::now() > deadline)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool waitForBytes(const FileDownloader& downloader, uint64_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (downloader.getBytesDownloaded() < bytes) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class FileDownloaderTest : public testing::Test {
protected:
    void SetUp() override { mkdir(folder.c_str(), 0755); }

    // Serves content under path as a file of the test's, with an ETag and extra scenario keys.
    Bytes serve(const std::string& path, size_t size, uint32_t seed, const std::string& keys = "") {
        Bytes bytes = engine_test::randomBytes(size, seed);
        const std::string file = environment.base() + "/served" + std::to_string(seed) + ".bin";
        engine_test::writeFile(file, bytes);
        server.setScenario(R"({"path":")" + path + R"(","body_file":")" + file + R"(","etag":"\"v1\"")" +
                           (keys.empty() ? "" : "," + keys) + "}");
        return bytes;
    }
    Bytes downloaded(const std::string& name) {
        Bytes bytes;
        engine_test::readFile(folder + "/" + name, bytes);
        return bytes;
    }
    std::unique_ptr<ValidatorBase> validatorFor(const Bytes& bytes) {
        const std::string data = environment.base() + "/signed.bin";
        engine_test::writeFile(data, bytes);
        MD5Validator writer;
        EXPECT_TRUE(writer.generateFromDataFile(data, data + ".xml", kSegment));
        ValidatorFactory factory;
        return factory.create(data + ".xml");
    }

    // Prepared with the right password, so that only the transfer meets the wrong one.
    testing::AssertionResult prepareThenSpoilCredentials(FileDownloader& downloader, const std::string& name) {
        downloader.setDownloadPreference(kSegment, "user", "secret");
        if (!downloader.setFileInfo(server.url("/" + name), folder, name))
            return testing::AssertionFailure() << "setFileInfo refused " << name;
        if (!downloader.prepare()) return testing::AssertionFailure() << "prepare failed for " << name;
        downloader.setProxyCredentials("user", "wrong");
        return testing::AssertionSuccess();
    }

    test_support::TemporaryEnvironment environment;
    engine_test::ShortEngineTimings timings;
    test_support::RecordingLogTarget log;
    test_support::HttpTestServer server;
    const std::string folder = environment.base() + "/out";
};

TEST_F(FileDownloaderTest, NothingPreparedRefusesQuietly) {
    FileDownloader downloader;
    EXPECT_FALSE(downloader.close()) << "close on a fresh object";
    EXPECT_FALSE(downloader.start());
    EXPECT_FALSE(downloader.pause());
    EXPECT_TRUE(log.contains(zezu::WARN, "FileDownload is not initialized. So, cannot pause it"));
    EXPECT_FALSE(downloader.resume());
    EXPECT_TRUE(log.contains(zezu::WARN, "Download could not be resumed isInitialize=false"));
    // No handle to give them to: kept for the next download.
    downloader.setProxyCredentials("user", "secret");
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_EQ(downloader.intercept(kEventProgress, nullptr, 16), -7);
    ProgressRecord progress;
    EXPECT_EQ(downloader.intercept(kEventProgress, &progress, 0), -7);
}

TEST_F(FileDownloaderTest, SynchronousDownloadAndClose) {
    const Bytes content = serve("/version.xml", 3 * kSegment + 17, 1);
    FileDownloader downloader;
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.downloadFileSync(server.url("/version.xml"), folder, "version.xml"));
    EXPECT_EQ(downloader.getStatus(), kDownloaderComplete);
    EXPECT_TRUE(downloader.isStarted());
    EXPECT_EQ(downloader.getRemoteFileSize(), content.size());
    EXPECT_EQ(downloader.getBytesDownloaded(), content.size());
    EXPECT_EQ(downloaded("version.xml"), content);
    EXPECT_TRUE(downloader.close());
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_FALSE(downloader.isStarted());
    EXPECT_EQ(downloader.getRemoteFileSize(), 0u);
    EXPECT_FALSE(downloader.close());

    // The same object serves the next file; a missing one fails with the engine's -4.
    server.setScenario(R"({"path":"/gone.xml","statuses":[404,404,404,404]})");
    EXPECT_FALSE(downloader.downloadFileSync(server.url("/gone.xml"), folder, "gone.xml"));
    EXPECT_EQ(downloader.getErrorType(), -4);
    EXPECT_EQ(downloader.getExtendedErrorCode(), 404);
    EXPECT_FALSE(downloader.isUserActionableError());
}

TEST_F(FileDownloaderTest, SegmentsAreCheckedAndARejectedOneFetchedAgain) {
    const Bytes content =
        serve("/a.bin", 4 * kSegment + 5, 2, R"("faults":[{"kind":"corrupt","offset":70000,"times":1}])");
    std::unique_ptr<ValidatorBase> validator = validatorFor(content);
    ASSERT_TRUE(validator);
    FileDownloader downloader;
    EXPECT_EQ(downloader.setValidator(validator.get()), nullptr);
    EXPECT_EQ(downloader.setValidator(validator.get()), nullptr) << "the same validator is not handed back";
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.downloadFileSync(server.url("/a.bin"), folder, "a.bin"));
    EXPECT_EQ(downloaded("a.bin"), content);
    EXPECT_EQ(log.countContaining(zezu::ERROR, "Segment 1 of size 65536 is Invalid"), 1);
    EXPECT_EQ(occurrences(server.requestLog(), "bytes=65536-"), 2u);
    EXPECT_EQ(downloader.setValidator(nullptr), validator.get());
    downloader.close();

    // Corrupt for good: the engine gives up on the segment.
    serve("/b.bin", 2 * kSegment, 2, R"("faults":[{"kind":"corrupt","offset":70000,"times":-1}])");
    std::unique_ptr<ValidatorBase> second = validatorFor(engine_test::randomBytes(2 * kSegment, 2));
    downloader.setValidator(second.get());
    EXPECT_FALSE(downloader.downloadFileSync(server.url("/b.bin"), folder, "b.bin"));
    EXPECT_EQ(downloader.getStatus(), kDownloaderFatalError);
    EXPECT_EQ(downloader.getErrorType(), -60);
    EXPECT_TRUE(log.contains(zezu::FATAL, "Fatal Error in downloading the file from"));
    downloader.close();
    downloader.setValidator(nullptr);
}

// Where nothing gives the file's size, a stream cut at a segment's end is the whole file to the
// engine: only the client's marks tell that its last segments never came. Given the size it
// expects, the cut stream is fetched again and every segment is checked.
TEST_F(FileDownloaderTest, SegmentsThatNeverCameAreTold) {
    const std::string unsizedHead = R"({"kind":"close_delimited","methods":["HEAD"],"times":-1})";
    const Bytes content = serve("/c.bin", 4 * kSegment + 5, 3,
                                R"("ranges":false,"faults":[)" + unsizedHead +
                                    R"(,{"kind":"close_delimited","after_bytes":131072,"times":-1}])");
    std::unique_ptr<ValidatorBase> validator = validatorFor(content);
    ASSERT_TRUE(validator);
    FileDownloader downloader;
    downloader.setValidator(validator.get());
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.downloadFileSync(server.url("/c.bin"), folder, "c.bin"));
    EXPECT_EQ(downloaded("c.bin").size(), 2 * kSegment);
    EXPECT_FALSE(downloader.allSegmentsValidated());
    downloader.close();

    serve("/c.bin", 4 * kSegment + 5, 3,
          R"("ranges":false,"faults":[)" + unsizedHead + R"(,{"kind":"close_delimited","after_bytes":131072}])");
    downloader.setExpectedFileSize(content.size());
    ASSERT_TRUE(downloader.downloadFileSync(server.url("/c.bin"), folder, "d.bin"));
    EXPECT_EQ(downloaded("d.bin"), content);
    EXPECT_TRUE(downloader.allSegmentsValidated());
    downloader.close();
    downloader.setValidator(nullptr);
    EXPECT_FALSE(downloader.allSegmentsValidated()) << "no validator, nothing checked";
}

TEST_F(FileDownloaderTest, InterceptAnswersForSegmentsErrorsAndProgress) {
    auto validator = std::make_unique<MD5Validator>();
    FileDownloader downloader;
    downloader.setValidator(validator.get());
    const uint8_t bytes[] = {'a', 'b', 'c'};
    SegmentView view{3, 1, bytes};
    // No signature for the index: rejected, with index and size in the line.
    EXPECT_EQ(downloader.intercept(kEventSegmentWritten, &view, sizeof view), -5);
    EXPECT_TRUE(log.contains(zezu::ERROR, "Segment 1 of size 3 is Invalid"));
    downloader.setValidator(nullptr);
    EXPECT_EQ(downloader.intercept(kEventSegmentWritten, &view, sizeof view), 0);

    DownloadErrorInfo error;
    error.errorType = -8;
    error.extendedErrorCode = 407;
    error.action = 0;
    EXPECT_EQ(downloader.intercept(kEventError, &error, sizeof error), 0);
    EXPECT_EQ(downloader.getStatus(), kDownloaderUserActionableError);
    EXPECT_TRUE(downloader.isUserActionableError());
    EXPECT_TRUE(
        log.contains(zezu::WARN, "A user actionable error has occured while downloading the file. errotType = -8"));
    error.errorType = -4;
    error.extendedErrorCode = 404;
    error.action = 2;
    EXPECT_EQ(downloader.intercept(kEventError, &error, sizeof error), 0);
    EXPECT_EQ(downloader.getStatus(), kDownloaderFatalError);
    EXPECT_FALSE(downloader.isUserActionableError());
    EXPECT_EQ(downloader.getErrorType(), -4);
    EXPECT_EQ(downloader.getExtendedErrorCode(), 404);
    EXPECT_TRUE(log.contains(zezu::FATAL, "Fatal error has occured. errotType = -4 extendedErrorCode = 404"));

    ProgressRecord progress;
    progress.acceptedBytes = 5000000000ull;
    progress.reportedState = 3;
    EXPECT_EQ(downloader.intercept(kEventProgress, &progress, sizeof progress), 0);
    EXPECT_EQ(downloader.getBytesDownloaded(), 5000000000ull);
    EXPECT_EQ(downloader.getStatus(), kDownloaderFatalError) << "a progress state other than 5 changes nothing";
    progress.reportedState = 5;
    EXPECT_EQ(downloader.intercept(kEventProgress, &progress, sizeof progress), 0);
    EXPECT_EQ(downloader.getStatus(), kDownloaderComplete);
    EXPECT_EQ(downloader.intercept(kEventThreadSummary, &progress, sizeof progress), 0);
}

TEST_F(FileDownloaderTest, UserActionableErrorStopsTheSynchronousDownload) {
    AuthenticatingProxy proxy;
    serve("/r.bin", 2 * kSegment, 8);

    // Prepared with the right password, the transfer then meets a wrong one.
    FileDownloader downloader;
    ASSERT_TRUE(prepareThenSpoilCredentials(downloader, "r.bin"));
    EXPECT_FALSE(downloader.downloadFileSync(server.url("/r.bin"), folder, "r.bin"));
    EXPECT_EQ(downloader.getStatus(), kDownloaderStopped);
    EXPECT_EQ(downloader.getErrorType(), -8);
    EXPECT_EQ(downloader.getExtendedErrorCode(), 407);
    EXPECT_TRUE(downloader.isUserActionableError());

    // A new file forgets the previous file's error, and so does close.
    ASSERT_TRUE(downloader.setFileInfo(server.url("/other.bin"), folder, "other.bin"));
    EXPECT_EQ(downloader.getErrorType(), 0);
    EXPECT_EQ(downloader.getExtendedErrorCode(), 0);
    EXPECT_FALSE(downloader.isUserActionableError());
    EXPECT_TRUE(downloader.close());
}

TEST_F(FileDownloaderTest, ProxyCredentialsReachTheNextDownload) {
    AuthenticatingProxy proxy;
    const Bytes content = serve("/p.bin", kSegment + 3, 3);

    FileDownloader downloader;
    EXPECT_FALSE(downloader.downloadFileSync(server.url("/p.bin"), folder, "p.bin"));
    EXPECT_EQ(downloader.getErrorType(), -8);
    EXPECT_TRUE(downloader.isUserActionableError());
    EXPECT_EQ(downloader.getExtendedErrorCode(), 407);

    downloader.close();
    downloader.setProxyCredentials("user", "secret");
    ASSERT_TRUE(downloader.downloadFileSync(server.url("/p.bin"), folder, "p.bin"));
    EXPECT_EQ(downloaded("p.bin"), content);

    // Given before any handle exists.
    FileDownloader fresh;
    fresh.setProxyCredentials("user", "secret");
    ASSERT_TRUE(fresh.downloadFileSync(server.url("/p.bin"), folder, "p2.bin"));
    EXPECT_EQ(downloaded("p2.bin"), content);
    EXPECT_GT(occurrences(proxy.server().requestLog(), "Proxy-Authorization"), 0u);
}

TEST_F(FileDownloaderTest, UserActionableErrorIsResumedOrReplacedByTheNextError) {
    AuthenticatingProxy proxy;
    serve("/q.bin", 3 * kSegment, 4);

    // The file information passes with the credentials; the segments then meet a wrong password.
    FileDownloader downloader;
    ASSERT_TRUE(prepareThenSpoilCredentials(downloader, "q.bin"));
    ASSERT_TRUE(downloader.start());
    EXPECT_EQ(waitForEnd(downloader), kDownloaderUserActionableError);
    EXPECT_EQ(downloader.getErrorType(), -8);
    EXPECT_TRUE(downloader.isUserActionableError());
    // Resumed with the right credentials, the same handle completes the file.
    EXPECT_FALSE(downloader.pause()) << "only a running download pauses";
    downloader.setProxyCredentials("user", "secret");
    ASSERT_TRUE(downloader.resume());
    EXPECT_EQ(waitForEnd(downloader), kDownloaderComplete);
    downloader.close();

    // A failure recorded after a user-actionable one says what it is: the file changed meanwhile.
    serve("/q2.bin", 3 * kSegment, 9);
    ASSERT_TRUE(prepareThenSpoilCredentials(downloader, "q2.bin"));
    ASSERT_TRUE(downloader.start());
    ASSERT_EQ(waitForEnd(downloader), kDownloaderUserActionableError);
    ASSERT_TRUE(downloader.isUserActionableError());
    const std::string changed = environment.base() + "/changed.bin";
    engine_test::writeFile(changed, engine_test::randomBytes(3 * kSegment, 10));
    server.setScenario(R"({"path":"/q2.bin","body_file":")" + changed + R"(","etag":"\"v2\""})");
    downloader.setProxyCredentials("user", "secret");
    EXPECT_FALSE(downloader.resume());
    EXPECT_TRUE(log.contains(zezu::WARN, "Download could not be resumed"));
    EXPECT_EQ(downloader.getErrorType(), -55);
    EXPECT_FALSE(downloader.isUserActionableError());
    // That handle can never go on with the new file: it is released, the error kept, so the next
    // prepare makes a fresh one.
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_FALSE(downloader.isStarted());
}

TEST_F(FileDownloaderTest, PauseAndResumeARunningDownload) {
    const Bytes content = serve("/slow.bin", 8 * kSegment, 5, R"("throttle":400000)");
    FileDownloader downloader;
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.setFileInfo(server.url("/slow.bin"), folder, "slow.bin"));
    ASSERT_TRUE(downloader.prepare());
    EXPECT_EQ(downloader.getStatus(), kDownloaderReady);
    EXPECT_EQ(downloader.getRemoteFileSize(), content.size());
    EXPECT_FALSE(downloader.pause()) << "not downloading yet";
    ASSERT_TRUE(downloader.start());
    ASSERT_TRUE(waitForBytes(downloader, kSegment));
    ASSERT_TRUE(downloader.pause());
    EXPECT_EQ(downloader.getStatus(), kDownloaderPaused);
    EXPECT_TRUE(log.contains(zezu::DEBUG, "Download Paused"));
    EXPECT_FALSE(downloader.pause());
    ASSERT_TRUE(downloader.resume());
    EXPECT_TRUE(log.contains(zezu::DEBUG, "Download Resumed"));
    EXPECT_EQ(waitForEnd(downloader), kDownloaderComplete);
    EXPECT_EQ(downloaded("slow.bin"), content);
}

TEST_F(FileDownloaderTest, FailedEngineStartReleasesTheHandleAndKeepsTheError) {
    const Bytes content = serve("/held.bin", 2 * kSegment, 6);
    const std::string inTheWay = folder + "/held.bin.zamdownload";
    ASSERT_EQ(mkdir(inTheWay.c_str(), 0755), 0);
    std::ofstream(inTheWay + "/occupant") << "x";

    FileDownloader downloader;
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.setFileInfo(server.url("/held.bin"), folder, "held.bin"));
    ASSERT_TRUE(downloader.prepare());
    EXPECT_FALSE(downloader.start());
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_FALSE(downloader.isStarted());
    EXPECT_EQ(downloader.getRemoteFileSize(), 0u);
    const int32_t errorType = downloader.getErrorType();
    EXPECT_NE(errorType, 0) << "the failed start's error stays readable";
    EXPECT_FALSE(downloader.close()) << "nothing is left to close";
    EXPECT_EQ(downloader.getErrorType(), errorType);

    // The synchronous download fails the same way.
    EXPECT_FALSE(downloader.downloadFileSync(server.url("/held.bin"), folder, "held.bin"));
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_NE(downloader.getErrorType(), 0);

    // A fresh handle once the way is clear.
    test_support::removeTree(inTheWay);
    ASSERT_TRUE(downloader.prepare());
    ASSERT_TRUE(downloader.start());
    EXPECT_EQ(waitForEnd(downloader), kDownloaderComplete);
    EXPECT_EQ(downloaded("held.bin"), content);
}

TEST_F(FileDownloaderTest, NoHandleMadeRecordsNoEngineError) {
    if (!FAILS_NOTHROW_NEW) GTEST_SKIP() << "the sanitizer runtime owns operator new";
    const Bytes content = serve("/c.bin", 2 * kSegment, 11);
    // A failed engine start first, so that the error it leaves is seen to be replaced.
    const std::string inTheWay = folder + "/c.bin.zamdownload";
    ASSERT_EQ(mkdir(inTheWay.c_str(), 0755), 0);
    FileDownloader downloader;
    downloader.setDownloadPreference(kSegment, "", "");
    ASSERT_TRUE(downloader.setFileInfo(server.url("/c.bin"), folder, "c.bin"));
    ASSERT_TRUE(downloader.prepare());
    ASSERT_FALSE(downloader.start());
    ASSERT_NE(downloader.getErrorType(), 0);
    test_support::removeTree(inTheWay);

    failNextNothrowNew = true;
    EXPECT_FALSE(downloader.prepare());
    failNextNothrowNew = false;
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle);
    EXPECT_FALSE(downloader.isStarted());
    EXPECT_EQ(downloader.getErrorType(), 0);
    EXPECT_EQ(downloader.getExtendedErrorCode(), 0);
    EXPECT_FALSE(downloader.isUserActionableError());
    EXPECT_FALSE(downloader.start());

    ASSERT_TRUE(downloader.prepare());
    ASSERT_TRUE(downloader.start());
    EXPECT_EQ(waitForEnd(downloader), kDownloaderComplete);
    EXPECT_EQ(downloaded("c.bin"), content);
}

TEST_F(FileDownloaderTest, FailedInitReleasesTheHandle) {
    const Bytes content =
        serve("/i.bin", 3 * kSegment, 12, R"("faults":[{"kind":"corrupt","offset":70000,"times":1}])");
    std::unique_ptr<ValidatorBase> validator = validatorFor(content);
    ASSERT_TRUE(validator);
    FileDownloader downloader;
    downloader.setValidator(validator.get());
    downloader.setDownloadPreference(kSegment, "", "");
    // The engine refuses an input without a URL.
    ASSERT_TRUE(downloader.setFileInfo("", folder, "i.bin"));
    EXPECT_FALSE(downloader.prepare());
    EXPECT_EQ(downloader.getStatus(), kDownloaderIdle) << "the handle is released";
    EXPECT_FALSE(downloader.isStarted());
    EXPECT_EQ(downloader.getErrorType(), -10) << "the engine's error is kept";
    EXPECT_FALSE(downloader.close()) << "nothing is left to close";

    // A fresh handle registers for the events once: one rejection, one line, one fetch again.
    ASSERT_TRUE(downloader.setFileInfo(server.url("/i.bin"), folder, "i.bin"));
    ASSERT_TRUE(downloader.prepare());
    ASSERT_TRUE(downloader.start());
    EXPECT_EQ(waitForEnd(downloader), kDownloaderComplete);
    EXPECT_EQ(downloaded("i.bin"), content);
    EXPECT_EQ(log.countContaining(zezu::ERROR, "Segment 1 of size 65536 is Invalid"), 1);
    EXPECT_EQ(occurrences(server.requestLog(), "bytes=65536-"), 2u);
    downloader.close();
    downloader.setValidator(nullptr);
}

// Small files end within the engine's first passes, often before start returns: the end must
// never be overwritten by a late "downloading".
TEST_F(FileDownloaderTest, ManySmallDownloadsEachEnd) {
    // A controller that never sleeps between passes ends a small file as early as it can.
    engineTimings().controllerTickMs = 0;
    const Bytes content = serve("/tiny.bin", 100, 7);
    FileDownloader downloader;
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "sync" + std::to_string(i);
        ASSERT_TRUE(downloader.downloadFileSync(server.url("/tiny.bin"), folder, name));
        EXPECT_EQ(downloaded(name), content);
        downloader.close();
    }
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "polled" + std::to_string(i);
        ASSERT_TRUE(downloader.setFileInfo(server.url("/tiny.bin"), folder, name));
        ASSERT_TRUE(downloader.prepare());
        ASSERT_TRUE(downloader.start());
        ASSERT_EQ(waitForEnd(downloader), kDownloaderComplete);
        EXPECT_EQ(downloaded(name), content);
        downloader.close();
    }
}

}  // namespace
