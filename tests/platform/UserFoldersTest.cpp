// Home folders, the console user from logind's state and folders made for that user.
#include "platform/TestSeams.h"
#include "platform/UserFolders.h"

#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// Makes the file's folders first: the fixtures are whole trees of configuration.
void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    test_support::writeFile(path, text);
}

// A uid other than ours that has a password entry ("nobody" on Debian), or none.
std::optional<platform::UserAccount> otherUser() {
    for (uid_t uid : {65534u, 1u, 2u}) {
        if (uid == geteuid()) continue;
        if (auto account = platform::userAccount(uid)) return account;
    }
    return std::nullopt;
}

class ConsoleUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = env_.base() + "/logind";
        platform::testing::setSessionStateFolder(state_);
    }
    void TearDown() override { platform::testing::setSessionStateFolder(""); }

    test_support::TemporaryEnvironment env_;
    std::string state_;
};

TEST(ProcessHomeFolder, HomeVariableFirstThenPasswordEntry) {
    test_support::TemporaryEnvironment env;
    EXPECT_EQ(platform::processHomeFolder(), env.home());
    setenv("HOME", "", 1);
    auto account = platform::userAccount(geteuid());
    if (account) {
        EXPECT_EQ(platform::processHomeFolder(), account->home);
    }
}

TEST(LocalRoot, VariableWithAndWithoutTrailingSlashes) {
    test_support::TemporaryEnvironment env;
    struct Case {
        const char* variable;
        const char* root;
        const char* library;
    } cases[] = {
        {nullptr, "/", "/Library"},
        {"", "/", "/Library"},
        {"/", "/", "/Library"},
        {"/srv/root", "/srv/root", "/srv/root/Library"},
        {"/srv/root///", "/srv/root", "/srv/root/Library"},
    };
    for (const auto& c : cases) {
        if (c.variable)
            setenv(platform::kLocalRootVariable, c.variable, 1);
        else
            unsetenv(platform::kLocalRootVariable);
        EXPECT_EQ(platform::localRoot(), c.root) << (c.variable ? c.variable : "(unset)");
        EXPECT_EQ(platform::localPath("/Library"), c.library) << (c.variable ? c.variable : "(unset)");
        EXPECT_EQ(platform::localPath("Library"), c.library) << (c.variable ? c.variable : "(unset)");
    }
}

TEST_F(ConsoleUserTest, NoSeatStateMeansTheProcessUserWithHomeFromEnvironment) {
    auto user = platform::consoleUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->uid, geteuid());
    EXPECT_EQ(user->home, env_.home());
}

TEST_F(ConsoleUserTest, ActiveUidOfOurselvesUsesHomeVariable) {
    writeFile(state_ + "/seats/seat0", "IS_SEAT0=1\nACTIVE=c7\nACTIVE_UID=" + std::to_string(geteuid()) + "\n");
    auto user = platform::consoleUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->uid, geteuid());
    EXPECT_EQ(user->home, env_.home());
}

TEST_F(ConsoleUserTest, OtherUserComesFromPasswordEntryBySeatOrSession) {
    auto other = otherUser();
    if (!other) GTEST_SKIP() << "no second user in the password database";
    const std::string uid = std::to_string(other->uid);
    // ACTIVE_UID on the seat, or only ACTIVE with the session file naming the UID.
    for (const auto& [seat, session] : {std::pair<std::string, std::string>{"ACTIVE_UID=" + uid + "\n", ""},
                                        {"ACTIVE=c2\n", "UID=" + uid + "\nUSER=x\n"}}) {
        writeFile(state_ + "/seats/seat0", seat);
        writeFile(state_ + "/sessions/c2", session);
        auto user = platform::consoleUser();
        ASSERT_TRUE(user) << seat;
        EXPECT_EQ(user->uid, other->uid) << seat;
        EXPECT_EQ(user->home, other->home) << seat;
        EXPECT_NE(user->home, env_.home()) << seat;
    }
}

TEST_F(ConsoleUserTest, UnknownOrMalformedSeatState) {
    // A uid without a password entry has no home: no console user rather than a wrong one.
    writeFile(state_ + "/seats/seat0", "ACTIVE_UID=3999999999\n");
    EXPECT_FALSE(platform::consoleUser());
    // Garbage, or a session name that tries to leave the sessions folder, is ignored.
    for (const char* seat : {"ACTIVE_UID=12ab\n", "ACTIVE=../../etc\n", "ACTIVE=\n"}) {
        writeFile(state_ + "/seats/seat0", seat);
        auto user = platform::consoleUser();
        ASSERT_TRUE(user) << seat;
        EXPECT_EQ(user->uid, geteuid()) << seat;
    }
}

TEST_F(ConsoleUserTest, MakeFolderCreatesWithModeAndAcceptsExistingFolder) {
    const std::string folder = env_.home() + "/Library";
    ASSERT_TRUE(platform::makeFolderForConsoleUser(folder, 0700));
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(platform::makeFolderForConsoleUser(folder, 0700));
    EXPECT_FALSE(platform::makeFolderForConsoleUser(env_.home() + "/missing/Logs", 0700));
    EXPECT_FALSE(platform::makeFolderForConsoleUser("", 0700));
    writeFile(env_.home() + "/plain", "x");
    EXPECT_FALSE(platform::makeFolderForConsoleUser(env_.home() + "/plain", 0700));
}

TEST_F(ConsoleUserTest, MakeFolderRefusesSymbolicLinks) {
    const std::string target = env_.base() + "/target";
    std::filesystem::create_directories(target);
    const std::string link = env_.home() + "/Library";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(platform::makeFolderForConsoleUser(link, 0700));
    ASSERT_EQ(symlink((env_.base() + "/nowhere").c_str(), (env_.home() + "/dangling").c_str()), 0);
    EXPECT_FALSE(platform::makeFolderForConsoleUser(env_.home() + "/dangling", 0700));
    EXPECT_FALSE(std::filesystem::exists(env_.base() + "/nowhere"));
}

TEST_F(ConsoleUserTest, RootGivesNewFolderToConsoleUserButLeavesExistingOnes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    auto other = otherUser();
    if (!other) GTEST_SKIP() << "no second user in the password database";
    writeFile(state_ + "/seats/seat0", "ACTIVE_UID=" + std::to_string(other->uid) + "\n");
    const std::string existing = env_.home() + "/existing";
    std::filesystem::create_directories(existing);
    const std::string made = env_.home() + "/made";
    ASSERT_TRUE(platform::makeFolderForConsoleUser(made, 0700));
    ASSERT_TRUE(platform::makeFolderForConsoleUser(existing, 0700));
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, other->uid);
    EXPECT_EQ(st.st_gid, other->gid);
    ASSERT_EQ(stat(existing.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

}  // namespace
