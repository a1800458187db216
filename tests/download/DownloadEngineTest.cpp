// The flat library functions: the shared engine logger's life and the process settings a library reference makes.
#include "download/DownloadEngine.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <iterator>
#include <string>

#include "download/EngineLogger.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

std::string logText(const test_support::TemporaryEnvironment& environment) {
    std::ifstream in(environment.home() + "/Library/Logs/MorvaneStudio/MVD/ZarvoDownload/DOZ.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DownloadEngineTest, TheLoggerLivesUntilTheLastLibraryReferenceIsReleased) {
    test_support::TemporaryEnvironment environment;
    DownloadLibRef* first = nullptr;
    DownloadLibRef* second = nullptr;
    ASSERT_EQ(createDownloadLibRef(&first), 0);
    EXPECT_EQ(createDownloadLibRef(&first), 30) << "a reference already made is refused";
    ASSERT_EQ(createDownloadLibRef(&second), 0);
    EXPECT_EQ(engine_log::referenceCount(), 2);

    EXPECT_EQ(releaseDownloadLibRef(&first), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(releaseDownloadLibRef(&first), -3) << "releasing nothing releases nobody else's logger";
    EXPECT_EQ(releaseDownloadLibRef(nullptr), -3);
    EXPECT_EQ(engine_log::referenceCount(), 1);
    DLE_INFO("still logging after the first release");
    EXPECT_NE(logText(environment).find("still logging after the first release"), std::string::npos);

    EXPECT_EQ(releaseDownloadLibRef(&second), 0);
    EXPECT_EQ(engine_log::referenceCount(), 0);
    DLE_INFO("nobody hears this");
    EXPECT_EQ(logText(environment).find("nobody hears this"), std::string::npos);
}

TEST(DownloadEngineTest, ALibraryReferenceTurnsBrokenPipesIntoErrors) {
    test_support::TemporaryEnvironment environment;
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &saved), 0);
    signal(SIGPIPE, SIG_DFL);
    DownloadLibRef* libRef = nullptr;
    ASSERT_EQ(createDownloadLibRef(&libRef), 0);
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN) << "a write to a closed connection must not end the process";
    EXPECT_EQ(releaseDownloadLibRef(&libRef), 0);

    // A handler of the host's own stays as it is.
    struct sigaction host {};
    host.sa_handler = [](int) {};
    sigemptyset(&host.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &host, nullptr), 0);
    ASSERT_EQ(createDownloadLibRef(&libRef), 0);
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, host.sa_handler);
    EXPECT_EQ(releaseDownloadLibRef(&libRef), 0);
    sigaction(SIGPIPE, &saved, nullptr);
}

}  // namespace
