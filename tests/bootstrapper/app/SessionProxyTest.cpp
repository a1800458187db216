// The session record: the user-action hand-over, the credentials' order and the temporary folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/support/TestSeams.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

TEST(SessionProxyTest, TakeKeepsAStandingEightAndClearsAnyOtherCode) {
    for (int32_t code = 0; code <= 9; ++code) {
        ZORSessionProxy session;
        session.userAction.store(code);
        EXPECT_EQ(session.takeUserAction(), code);
        EXPECT_EQ(session.userAction.load(), code == 8 ? 8 : 0) << code;
    }
}

TEST(SessionProxyTest, SettersStoreTheirCodes) {
    ZORSessionProxy session;
    UserActionSink& sink = session;
    const struct {
        void (*post)(UserActionSink&);
        int32_t code;
    } cases[] = {
        {[](UserActionSink& s) { s.quit(); }, 2},
        {[](UserActionSink& s) { s.submitCredentials("u", "p"); }, 3},
        {[](UserActionSink& s) { s.cancelCredentials(); }, 4},
        {[](UserActionSink& s) { s.retry(); }, 5},
        {[](UserActionSink& s) { s.confirmQuit(); }, 6},
        {[](UserActionSink& s) { s.rejectQuit(); }, 7},
    };
    for (const auto& c : cases) {
        // A click replaces a standing 8: the worker takes it at its next tick.
        session.userAction.store(8);
        c.post(sink);
        EXPECT_EQ(session.userAction.load(), c.code);
    }
    sink.setRememberCredentials(true);
    EXPECT_TRUE(session.rememberCredentials.load());
}

TEST(SessionProxyTest, WorkerNeverSeesSubmitWithStaleCredentials) {
    ZORSessionProxy session;
    constexpr int kRounds = 2000;
    std::atomic<int> checked{-1};
    std::thread window([&] {
        for (int i = 0; i < kRounds; ++i) {
            while (checked.load() != i - 1) {
                std::this_thread::yield();
            }
            session.submitCredentials("user" + std::to_string(i), "password" + std::to_string(i));
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        while (session.takeUserAction() != 3) {
            std::this_thread::yield();
        }
        std::string user;
        std::string password;
        session.copyProxyCredentials(user, password);
        EXPECT_EQ(user, "user" + std::to_string(i));
        EXPECT_EQ(password, "password" + std::to_string(i));
        checked.store(i);
    }
    window.join();
}

TEST(SessionProxyTest, FailedTemporaryFolderLeavesEmptyPathAndDeletesNothing) {
    test_support::TemporaryEnvironment environment;
    // A file where the base folder belongs: creation fails even as root.
    const std::string blocker = environment.base() + "/not-a-folder";
    std::ofstream(blocker) << "x";
    ZAMEEUtilities::testing::setTempFolderBase(blocker);
    {
        ZORSessionProxy session;
        session.init();
        EXPECT_TRUE(session.tempFolderPath.empty());
    }
    ZAMEEUtilities::testing::setTempFolderBase("");
    EXPECT_TRUE(exists(blocker));
}

TEST(SessionProxyTest, TemporaryFolderIsRemovedWithItsContents) {
    test_support::TemporaryEnvironment environment;
    const std::string base = environment.base() + "/tmp";
    ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
    ZAMEEUtilities::testing::setTempFolderBase(base);
    std::string folder;
    {
        ZORSessionProxy session;
        session.init();
        folder = session.tempFolderPath;
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(folder.rfind(base + "/", 0), 0u);
        ASSERT_EQ(::mkdir((folder + "/inner").c_str(), 0700), 0);
        std::ofstream(folder + "/inner/file") << "x";
    }
    ZAMEEUtilities::testing::setTempFolderBase("");
    EXPECT_FALSE(exists(folder));
    EXPECT_TRUE(exists(base));
}

}  // namespace
