// FileUtils against a temporary home and local root: the folder table, paths, folders, files.
#include "foundation/utils/FileUtils.h"

#include "platform/Bundle.h"
#include "platform/DiskImageTool.h"
#include "platform/TestSeams.h"
#include "platform/UserFolders.h"
#include "tests/support/FileContents.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using ZEZUUtils::FileUtils;
namespace fs = std::filesystem;

using test_support::readFile;
using test_support::writeFile;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A temporary home and root, with no logind seat so the console user is this process's.
class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { platform::testing::setSessionStateFolder(env_.base() + "/no-logind"); }
    void TearDown() override { platform::testing::setSessionStateFolder(""); }

    test_support::TemporaryEnvironment env_;
};

TEST_F(FileUtilsTest, PathTypeTable) {
    const std::string root = env_.localRoot();
    const std::string home = env_.home();
    const std::string exe = platform::executablePath().value();
    const std::string support = root + "/Library/Application Support";
    const std::string userSupport = home + "/Library/Application Support";
    const std::string shared = root + "/Users/Shared";
    const std::string utilities = root + "/Applications/Utilities";
    const struct {
        int type;
        std::string path;  // empty: false, output unchanged
    } cases[] = {
        {-1, ""},
        {0, root + "/Applications"},
        {1, ""},
        {2, support},
        {3, support},
        {4, ""},
        {5, ""},
        {6, ""},
        {7, ""},
        {8, ""},
        {9, home},
        {10, home + "/Documents"},
        {11, ""},
        {12, userSupport},
        {13, shared},
        {14, ""},
        {15, "/tmp"},
        {16, exe},
        {17, fs::path(exe).parent_path().string()},
        {18, support + "/Zarvo"},
        {19, userSupport + "/Zarvo"},
        {20, shared + "/Zarvo"},
        {21, support + "/Zarvo/ZEZU"},
        {22, userSupport + "/Zarvo/ZEZU"},
        {23, shared + "/Zarvo/ZEZU"},
        {24, utilities + "/Zarvo Application Manager/"},
        {25, support + "/Zarvo/ZEZU/VexApp"},
        {26, userSupport + "/Zarvo/ZEZU/VexApp"},
        {27, support + "/Zarvo/ZarvoApplicationManager/ZAMRefs"},
        {28, support + "/Zarvo/ZDCRefs"},
        {29, support + "/Zarvo/Zarvo Desktop Common"},
        {30, utilities + "/Zarvo Morvane Studio/"},
        {31, root + "/Library/Preferences"},
        {32, home + "/Library/Logs"},
        {33, ""},
        {1000, ""},
    };
    for (const auto& c : cases) {
        std::string path = "before";
        const bool ok = FileUtils::GetDirectoryPath(c.type, path);
        EXPECT_EQ(ok, !c.path.empty()) << "type " << c.type;
        EXPECT_EQ(path, c.path.empty() ? "before" : c.path) << "type " << c.type;
    }
    // The looked-up folders exist now; the appended texts were not made.
    for (const auto& made : {root + "/Applications", support, shared, utilities, root + "/Library/Preferences",
                             home + "/Documents", userSupport, home + "/Library/Logs"})
        EXPECT_TRUE(fs::is_directory(made)) << made;
    EXPECT_FALSE(fs::exists(support + "/Zarvo"));
    EXPECT_EQ(modeOf(home + "/Library"), 0700u);
    EXPECT_EQ(modeOf(home + "/Library/Logs"), 0700u);
    EXPECT_EQ(modeOf(shared), 01777u);
}

TEST_F(FileUtilsTest, FailedLookUpsGiveFalseAndLeaveOutputAlone) {
    // A local root that is a file and a home that does not exist: every look-up below them fails.
    const std::string file = env_.base() + "/root-is-a-file";
    writeFile(file, "x");
    setenv(platform::kLocalRootVariable, file.c_str(), 1);
    setenv("HOME", (env_.base() + "/missing-home").c_str(), 1);
    for (int type : {0, 2, 3, 10, 12, 13, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32}) {
        std::string path = "before";
        EXPECT_FALSE(FileUtils::GetDirectoryPath(type, path)) << "type " << type;
        EXPECT_EQ(path, "before") << "type " << type;
    }
    EXPECT_FALSE(fs::exists(env_.base() + "/missing-home"));
}

TEST_F(FileUtilsTest, ConsoleUserWithoutHomeFailsTheUserRows) {
    std::optional<platform::UserAccount> other;
    for (uid_t uid : {65534u, 1u, 2u})
        if (uid != geteuid() && (other = platform::userAccount(uid)) && !fs::exists(other->home)) break;
    if (!other || fs::exists(other->home)) GTEST_SKIP() << "no user without a home folder";
    fs::create_directories(env_.base() + "/logind/seats");
    writeFile(env_.base() + "/logind/seats/seat0", "ACTIVE_UID=" + std::to_string(other->uid) + "\n");
    platform::testing::setSessionStateFolder(env_.base() + "/logind");
    for (int type : {10, 12, 19, 22, 26}) {
        std::string path = "before";
        EXPECT_FALSE(FileUtils::GetDirectoryPath(type, path)) << "type " << type;
        EXPECT_EQ(path, "before") << "type " << type;
    }
    // The process's own rows do not depend on the console user.
    std::string path;
    EXPECT_TRUE(FileUtils::GetDirectoryPath(32, path));
    EXPECT_EQ(path, env_.home() + "/Library/Logs");
}

TEST(FileUtilsPaths, AppendPath) {
    const struct {
        const char* path;
        const char* component;
        bool ok;
        const char* result;
    } cases[] = {
        {"/a", "b", true, "/a/b"},        {"/a/", "b", true, "/a/b"}, {"/a/", "/b", true, "/a/b"},
        {"/a", "///b/c", true, "/a/b/c"}, {"/a", "/", true, "/a/"},   {"/a/", "//", true, "/a/"},
        {"/", "b", true, "/b"},           {"", "b", false, ""},       {"/a", "", false, "/a"},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        EXPECT_EQ(FileUtils::AppendPath(path, c.component), c.ok) << c.path << " + " << c.component;
        EXPECT_EQ(path, c.result) << c.path << " + " << c.component;
    }
}

TEST_F(FileUtilsTest, PathExistsAndExistentParent) {
    const std::string folder = env_.base() + "/folder";
    fs::create_directories(folder);
    writeFile(folder + "/file", "x");
    bool isDirectory = true;
    EXPECT_TRUE(FileUtils::PathExists(folder + "/file", isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(FileUtils::PathExists(folder, isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_FALSE(FileUtils::PathExists(folder + "/none", isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_FALSE(FileUtils::PathExists(""));

    EXPECT_EQ(FileUtils::GetExistentParentDirectory(folder + "/file"), folder + "/file");
    EXPECT_EQ(FileUtils::GetExistentParentDirectory(folder + "/a/b/c"), folder);
    EXPECT_EQ(FileUtils::GetExistentParentDirectory(folder + "/a/b/"), folder);
    EXPECT_EQ(FileUtils::GetExistentParentDirectory("/no-such-top-folder/x"), "/");
    EXPECT_EQ(FileUtils::GetExistentParentDirectory(""), "");
    // A relative path whose first folder is missing ends at the working folder.
    const auto cwd = fs::current_path();
    fs::current_path(folder);
    EXPECT_EQ(FileUtils::GetExistentParentDirectory("x/y/z"), ".");
    EXPECT_EQ(FileUtils::GetExistentParentDirectory("x"), ".");
    fs::current_path(cwd);
}

TEST_F(FileUtilsTest, CreateDirectory) {
    const std::string base = env_.base();
    const mode_t old = umask(022);
    EXPECT_TRUE(FileUtils::CreateDirectoryAtPath(base + "/a/b/c", false));
    EXPECT_TRUE(fs::is_directory(base + "/a/b/c"));
    EXPECT_EQ(modeOf(base + "/a/b/c"), 0755u);
    EXPECT_TRUE(FileUtils::CreateDirectoryAtPath(base + "/a/b/c", false));  // existing is success
    writeFile(base + "/plain", "x");
    EXPECT_FALSE(FileUtils::CreateDirectoryAtPath(base + "/plain", false));
    EXPECT_FALSE(FileUtils::CreateDirectoryAtPath(base + "/plain/below", true));
    EXPECT_FALSE(FileUtils::CreateDirectoryAtPath("", false));

    // With setPermission the new folders get 0775 exactly, despite the umask.
    EXPECT_TRUE(FileUtils::CreateDirectoryAtPathEx(base + "/p/q", nullptr, true));
    EXPECT_EQ(modeOf(base + "/p"), 0775u);
    EXPECT_EQ(modeOf(base + "/p/q"), 0775u);

    const auto cwd = fs::current_path();
    fs::current_path(base);
    EXPECT_TRUE(FileUtils::CreateDirectoryAtPath("rel/x/y", true));
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_directory(base + "/rel/x/y"));
    umask(old);
}

TEST_F(FileUtilsTest, CreateDirectoryWithPermissionTakesTheAncestorsOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    auto other = platform::userAccount(65534);
    if (!other) GTEST_SKIP() << "no user 65534";
    const std::string parent = env_.base() + "/owned";
    fs::create_directories(parent);
    ASSERT_EQ(chown(parent.c_str(), other->uid, other->gid), 0);
    ASSERT_TRUE(FileUtils::CreateDirectoryAtPath(parent + "/x/y", true));
    for (const auto& made : {parent + "/x", parent + "/x/y"}) {
        struct stat st {};
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, other->uid) << made;
        EXPECT_EQ(st.st_gid, other->gid) << made;
    }
}

TEST_F(FileUtilsTest, DeleteDirectory) {
    const std::string base = env_.base();
    fs::create_directories(base + "/tree/sub/deeper");
    writeFile(base + "/tree/sub/deeper/f", "x");
    writeFile(base + "/tree/top", "x");
    // A link inside the tree to a folder outside it: the link goes, the outside stays.
    fs::create_directories(base + "/outside");
    writeFile(base + "/outside/keep", "x");
    fs::create_directory_symlink(base + "/outside", base + "/tree/sub/link");
    fs::create_symlink(base + "/nowhere", base + "/tree/dangling");

    std::string error;
    EXPECT_FALSE(FileUtils::DeleteDirectoryAtPath(base + "/tree", error, false, false));
    EXPECT_TRUE(fs::exists(base + "/tree/top"));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(FileUtils::DeleteDirectoryAtPath(base + "/tree", error, true, false, nullptr, true));
    EXPECT_FALSE(fs::exists(base + "/tree"));
    EXPECT_TRUE(fs::exists(base + "/outside/keep"));

    fs::create_directories(base + "/empty");
    EXPECT_TRUE(FileUtils::DeleteDirectoryAtPath(base + "/empty", false, false));
    EXPECT_FALSE(fs::exists(base + "/empty"));
    EXPECT_FALSE(FileUtils::DeleteDirectoryAtPath(base + "/missing", true, false));
    EXPECT_FALSE(FileUtils::DeleteDirectoryAtPath("", true, false));

    // A link to a folder given as the path: only the link goes.
    fs::create_directory_symlink(base + "/outside", base + "/link");
    EXPECT_TRUE(FileUtils::DeleteDirectoryAtPath(base + "/link", true, false));
    EXPECT_FALSE(fs::exists(fs::symlink_status(base + "/link")));
    EXPECT_TRUE(fs::exists(base + "/outside/keep"));
}

TEST_F(FileUtilsTest, DeleteFile) {
    const std::string base = env_.base();
    EXPECT_TRUE(FileUtils::DeleteFileAtPath(base + "/missing", false));
    writeFile(base + "/f", "x");
    EXPECT_TRUE(FileUtils::DeleteFileAtPath(base + "/f", false));
    EXPECT_FALSE(fs::exists(base + "/f"));
    fs::create_directories(base + "/d/e");
    EXPECT_FALSE(FileUtils::DeleteFileAtPath(base + "/d", false));
    EXPECT_TRUE(FileUtils::DeleteFileAtPath(base + "/d/e", false));
    fs::create_symlink(base + "/d", base + "/l");
    EXPECT_TRUE(FileUtils::DeleteFileAtPath(base + "/l", false));
    EXPECT_TRUE(fs::is_directory(base + "/d"));
}

TEST_F(FileUtilsTest, AtomicWriteKeepsModeAndLeavesNoTemporaryFile) {
    const std::string folder = env_.base() + "/w";
    fs::create_directories(folder);
    const mode_t old = umask(027);
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(folder + "/new", std::string("a\0b", 3)));
    EXPECT_EQ(readFile(folder + "/new"), std::string("a\0b", 3));
    EXPECT_EQ(modeOf(folder + "/new"), 0640u);

    writeFile(folder + "/kept", "old");
    chmod((folder + "/kept").c_str(), 0604);
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(folder + "/kept", "new content"));
    EXPECT_EQ(readFile(folder + "/kept"), "new content");
    EXPECT_EQ(modeOf(folder + "/kept"), 0604u);
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(folder + "/kept", ""));
    EXPECT_EQ(readFile(folder + "/kept"), "");
    umask(old);

    EXPECT_FALSE(FileUtils::CreateFileWithContentAtPath("", "x"));
    EXPECT_FALSE(FileUtils::CreateFileWithContentAtPath(folder + "/missing/f", "x"));
    fs::create_directories(folder + "/sub");
    writeFile(folder + "/sub/inner", "x");
    EXPECT_FALSE(FileUtils::CreateFileWithContentAtPath(folder + "/sub", "x"));
    EXPECT_TRUE(fs::is_directory(folder + "/sub"));

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "new", "sub"}));
}

TEST_F(FileUtilsTest, AtomicWriteByRootKeepsOwnersAndGivesNewFilesToTheConsoleUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    auto other = platform::userAccount(65534);
    if (!other) GTEST_SKIP() << "no user 65534";
    const std::string file = env_.base() + "/theirs";
    writeFile(file, "old");
    ASSERT_EQ(chown(file.c_str(), other->uid, other->gid), 0);
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(file, "new"));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, other->uid);
    EXPECT_EQ(st.st_gid, other->gid);

    // A new file in a folder of the console user is theirs; elsewhere it stays root's.
    fs::create_directories(env_.base() + "/logind/seats");
    writeFile(env_.base() + "/logind/seats/seat0", "ACTIVE_UID=" + std::to_string(other->uid) + "\n");
    platform::testing::setSessionStateFolder(env_.base() + "/logind");
    const std::string theirs = env_.base() + "/their-folder";
    fs::create_directories(theirs);
    ASSERT_EQ(chown(theirs.c_str(), other->uid, other->gid), 0);
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(theirs + "/new", "x"));
    ASSERT_TRUE(FileUtils::CreateFileWithContentAtPath(env_.base() + "/root-new", "x"));
    ASSERT_EQ(stat((theirs + "/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, other->uid);
    ASSERT_EQ(stat((env_.base() + "/root-new").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(FileUtilsTest, LoadContent) {
    const std::string base = env_.base();
    const struct {
        std::string bytes;
        bool ok;
        std::string text;
    } cases[] = {
        {"plain text", true, "plain text"},
        {"", true, ""},
        {"caf\xc3\xa9", true, "caf\xc3\xa9"},
        {std::string("\xff\xfe"
                     "h\0i\0",
                     6),
         true, "hi"},                                                    // UTF-16LE with mark
        {std::string("\xfe\xff\0h\0i", 6), true, "hi"},                  // UTF-16BE with mark
        {std::string("\0h\0\xe9", 4), true, "h\xc3\xa9"},                // no mark: big-endian
        {std::string("\xd8\x3d\xde\x00", 4), true, "\xf0\x9f\x98\x80"},  // surrogate pair
        {std::string("\xff\xfe"
                     "h",
                     3),
         false, ""},                                 // odd length
        {std::string("\xdc\x00\0a", 4), false, ""},  // lone low surrogate
    };
    for (const auto& c : cases) {
        writeFile(base + "/f", c.bytes);
        std::string content = "before";
        EXPECT_EQ(FileUtils::LoadContentOfFileAtPath(base + "/f", content), c.ok) << c.text;
        EXPECT_EQ(content, c.ok ? c.text : "before") << c.text;
    }
    std::string content = "before";
    EXPECT_FALSE(FileUtils::LoadContentOfFileAtPath(base + "/missing", content));
    EXPECT_FALSE(FileUtils::LoadContentOfFileAtPath(base, content));
    EXPECT_EQ(content, "before");
}

TEST_F(FileUtilsTest, UnmountRunsTheDiskImageTool) {
    const std::string tool = env_.base() + "/tool";
    const std::string record = env_.base() + "/arguments";
    writeFile(tool, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record + "'\nexit \"${TOOL_STATUS:-0}\"\n");
    chmod(tool.c_str(), 0755);
    setenv(platform::kDiskImageToolVariable, tool.c_str(), 1);
    EXPECT_TRUE(FileUtils::UnmountDmgAtPath("/mnt/with space"));
    EXPECT_EQ(readFile(record), "detach|/mnt/with space|-quiet|");
    setenv("TOOL_STATUS", "1", 1);
    EXPECT_FALSE(FileUtils::UnmountDmgAtPath("/mnt/x"));
    unsetenv("TOOL_STATUS");
    setenv(platform::kDiskImageToolVariable, (env_.base() + "/no-tool").c_str(), 1);
    EXPECT_FALSE(FileUtils::UnmountDmgAtPath("/mnt/x"));
    unsetenv(platform::kDiskImageToolVariable);
}

}  // namespace
