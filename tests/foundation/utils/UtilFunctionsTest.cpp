// The util free functions: Base64, folders with owner and mode, file deletion, user folders.
#include "foundation/utils/UtilFunctions.h"

#include "platform/TestSeams.h"
#include "platform/UserFolders.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(UtilBase64, EncodesExactlyLengthBytes) {
    const struct {
        std::string data;
        const char* text;
    } cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {std::string(1, '\0'), "AA=="},
        {std::string("a\0b", 3), "YQBi"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_TRUE(utilEncodeDataInBase64(c.data.data(), static_cast<int>(c.data.size()), out)) << c.text;
        EXPECT_EQ(out, c.text);
        std::string viaTemplate;
        Base64Encode(c.data.begin(), c.data.end(), std::back_inserter(viaTemplate));
        EXPECT_EQ(viaTemplate, c.text);
    }
    std::string appended = "x:";
    EXPECT_TRUE(utilEncodeDataInBase64("hi", 2, appended));
    EXPECT_EQ(appended, "x:aGk=");
    std::string empty;
    Base64Encode(empty.begin(), empty.end(), std::back_inserter(empty));
    EXPECT_EQ(empty, "");
}

TEST(UtilBase64, InvalidArgumentsChangeNothing) {
    for (int length : {0, -1, -1000}) {
        std::string out = "unchanged";
        EXPECT_FALSE(utilEncodeDataInBase64("abc", length, out)) << length;
        EXPECT_EQ(out, "unchanged");
    }
    std::string out = "unchanged";
    EXPECT_FALSE(utilEncodeDataInBase64(nullptr, 3, out));
    EXPECT_EQ(out, "unchanged");
}

TEST(UtilStrings, CopiesAndNumbers) {
    std::string out;
    EXPECT_TRUE(utilGetStringFromNativeString("abc", out));
    EXPECT_EQ(out, "abc");
    EXPECT_FALSE(utilGetNativeStringFromArray(nullptr, out));
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(utilGetNativeStringFromInt(-2147483647 - 1, out));
    EXPECT_EQ(out, "-2147483648");
}

TEST(UtilRemoveFileSpec, DropsTheLastComponent) {
    const struct {
        const char* path;
        bool ok;
        const char* result;
    } cases[] = {
        {"/a/b", true, "/a"}, {"/a/b/", true, "/a"}, {"/a", true, "/"},
        {"a/b", true, "a"},   {"a", false, "a"},     {"", false, ""},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        EXPECT_EQ(utilRemoveFileSpec(path), c.ok) << c.path;
        EXPECT_EQ(path, c.result) << c.path;
    }
}

TEST(UtilFolders, CreateDirectoryPathWithAttributes) {
    test_support::TemporaryEnvironment env;
    const std::string base = env.base();
    const mode_t old = umask(022);
    EXPECT_FALSE(utilCreateDirectoryPathWithAttributes(nullptr, -1, -1, 0775));
    EXPECT_TRUE(utilCreateDirectoryPath(base + "/a/b/c", false));
    EXPECT_TRUE(fs::is_directory(base + "/a/b/c"));
    struct stat st {};
    ASSERT_EQ(stat((base + "/a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);  // 0775 less the umask without an owner
    EXPECT_TRUE(utilCreateDirectoryPath(base + "/a/b/c", false));

    // With owner and group the mode is set exactly, on an existing folder too.
    EXPECT_TRUE(utilCreateDirectoryPathWithAttributes((base + "/a/b").c_str(), getuid(), getgid(), 0770));
    ASSERT_EQ(stat((base + "/a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0770u);

    // A link there is refused, and its target keeps its mode.
    fs::create_directories(base + "/target");
    chmod((base + "/target").c_str(), 0700);
    fs::create_directory_symlink(base + "/target", base + "/link");
    EXPECT_FALSE(utilCreateDirectoryPathWithAttributes((base + "/link").c_str(), getuid(), getgid(), 0777));
    ASSERT_EQ(stat((base + "/target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A relative path whose top folder is missing ends its recursion at the working folder.
    const auto cwd = fs::current_path();
    fs::current_path(base);
    EXPECT_TRUE(utilCreateDirectoryPath("rel/x/y", false));
    EXPECT_TRUE(utilCreateDirectoryPath("single", false));
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_directory(base + "/rel/x/y"));
    EXPECT_TRUE(fs::is_directory(base + "/single"));

    std::ofstream(base + "/file") << "x";
    EXPECT_FALSE(utilCreateDirectoryPath(base + "/file/below", false));
    umask(old);
}

TEST(UtilFolders, OwnerIsGivenByRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    auto other = platform::userAccount(65534);
    if (!other) GTEST_SKIP() << "no user 65534";
    test_support::TemporaryEnvironment env;
    const std::string path = env.base() + "/x/y";
    ASSERT_TRUE(utilCreateDirectoryPathWithAttributes(path.c_str(), other->uid, other->gid, 0750));
    for (const auto& made : {env.base() + "/x", path}) {
        struct stat st {};
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, other->uid) << made;
        EXPECT_EQ(st.st_mode & 0777, 0750u) << made;
    }
}

TEST(UtilFiles, ExistsAndDelete) {
    test_support::TemporaryEnvironment env;
    const std::string base = env.base();
    std::ofstream(base + "/f") << "x";
    fs::create_directories(base + "/d");
    EXPECT_TRUE(utilFileExitsAtPath(base + "/f"));
    EXPECT_FALSE(utilFileExitsAtPath(base + "/d"));
    EXPECT_FALSE(utilFileExitsAtPath(base + "/missing"));
    EXPECT_TRUE(utilDeleteFileIfExitsAtPath(base + "/missing", false));
    EXPECT_TRUE(utilDeleteFileIfExitsAtPath(base + "/d", false));
    EXPECT_TRUE(fs::is_directory(base + "/d"));
    EXPECT_TRUE(utilDeleteFileIfExitsAtPath(base + "/f", false));
    EXPECT_FALSE(fs::exists(base + "/f"));
}

TEST(UtilUserFolders, HomesApplicationSupportAndZcf) {
    test_support::TemporaryEnvironment env;
    platform::testing::setSessionStateFolder(env.base() + "/no-logind");
    std::string out;
    EXPECT_TRUE(util_getUserFolderPath(out));
    EXPECT_EQ(out, env.home());
    out.clear();
    EXPECT_TRUE(utilGetUserFolderPath(out));
    EXPECT_EQ(out, env.home());
    EXPECT_TRUE(utilGetUserAppDataFolder(out));
    EXPECT_EQ(out, env.home() + "/Library/Application Support");
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(utilGetZCFPath(out));
    EXPECT_EQ(out, env.localRoot() + "/Library/Application Support/Zarvo");

    // Nothing to be had: false and the output as it was.
    std::ofstream(env.base() + "/file") << "x";
    setenv(platform::kLocalRootVariable, (env.base() + "/file").c_str(), 1);
    setenv("HOME", (env.base() + "/missing").c_str(), 1);
    out = "before";
    EXPECT_FALSE(utilGetZCFPath(out));
    EXPECT_FALSE(utilGetUserAppDataFolder(out));
    EXPECT_EQ(out, "before");
    platform::testing::setSessionStateFolder("");
}

}  // namespace
