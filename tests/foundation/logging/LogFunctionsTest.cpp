// The zezu free helpers: path texts, the Logs folder, time texts and the rotation copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>

#include "foundation/logging/LogFunctions.h"
#include "tests/foundation/logging/LogTestSupport.h"

namespace {

struct PathCase {
    const char* operation;
    std::function<bool(std::string&)> apply;
    const char* input;
    bool result;
    const char* output;
};

TEST(LogFunctionsTest, PathTextOperations) {
    const auto change = [](std::string& p) { return zezu::changeFileExtension(p, "trace"); };
    const auto append = [](std::string& p) { return zezu::appendPath(p, "b.log"); };
    const auto appendSlashed = [](std::string& p) { return zezu::appendPath(p, "/b/"); };
    const auto removeLast = [](std::string& p) { return zezu::removeLastPathComponent(p); };
    const auto removeExtension = [](std::string& p) { return zezu::removeFileExtension(p); };
    const auto extension = [](std::string& p) {
        std::string out = "unchanged";
        const bool ok = zezu::getFileExtension(p, out);
        p = out;
        return ok;
    };
    const auto baseName = [](std::string& p) {
        std::string out = "stale";
        const bool ok = zezu::getFilePathBaseName(p, out);
        p = out;
        return ok;
    };
    const auto isName = [](std::string& p) { return zezu::isFileName(p); };
    const PathCase cases[] = {
        {"change", change, "VexApp.log", true, "VexApp.trace"},
        {"change", change, "/a.b/VexApp", true, "/a.b/VexApp.trace"},
        {"change", change, "dir/x.tar.gz", true, "dir/x.tar.trace"},
        {"append", append, "/logs", true, "/logs/b.log"},
        {"append", append, "/logs/", true, "/logs/b.log"},
        {"append", append, "", true, "b.log"},
        {"append", append, "/", true, "/b.log"},
        {"append", appendSlashed, "a", true, "a/b"},
        {"removeLast", removeLast, "/a/b/c.log", true, "/a/b"},
        {"removeLast", removeLast, "/a", true, "/"},
        {"removeLast", removeLast, "a", true, ""},
        {"removeLast", removeLast, "/a/b/", true, "/a"},
        {"removeExtension", removeExtension, "/x/VexApp.log", true, "/x/VexApp"},
        {"removeExtension", removeExtension, "/x.d/VexApp", true, "/x.d/VexApp"},
        {"removeExtension", removeExtension, "/x/.hidden", true, "/x/.hidden"},
        {"extension", extension, "/x/VexApp.log", true, "log"},
        {"extension", extension, "/x.d/VexApp", false, "unchanged"},
        {"baseName", baseName, "/x/VexApp.log", true, "VexApp.log"},
        {"baseName", baseName, "/x/dir/", true, "dir"},
        {"baseName", baseName, "", false, ""},
        {"isName", isName, "VexApp.log", true, "VexApp.log"},
        {"isName", isName, "sub/VexApp.log", false, "sub/VexApp.log"},
        {"isName", isName, "/VexApp.log", false, "/VexApp.log"},
    };
    for (const PathCase& c : cases) {
        std::string path = c.input;
        EXPECT_EQ(c.apply(path), c.result) << c.operation << "(" << c.input << ")";
        EXPECT_EQ(path, c.output) << c.operation << "(" << c.input << ")";
    }
}

TEST(LogFunctionsTest, TimeStampGoesBeforeTheExtension) {
    std::string path = "/logs/VexApp.log";
    ASSERT_TRUE(zezu::appendTimeStampToFile(path));
    EXPECT_TRUE(std::regex_match(path, std::regex(R"(/logs/VexApp \d\d-\d\d-\d{4} \d\d-\d\d-\d\d\.log)")))
        << path;
    std::string bare = "/logs/plain";
    ASSERT_TRUE(zezu::appendTimeStampToFile(bare));
    EXPECT_TRUE(std::regex_match(bare, std::regex(R"(/logs/plain \d\d-\d\d-\d{4} \d\d-\d\d-\d\d)")))
        << bare;
}

int formatInto(char* buffer, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = zezu::getLogMessage(buffer, size, format, &arguments);
    va_end(arguments);
    return length;
}

TEST(LogFunctionsTest, LogMessageIsCutToTheLimitAndNeedsAnArgumentList) {
    char buffer[8] = "";
    EXPECT_EQ(zezu::getLogMessage(buffer, sizeof buffer, "x", nullptr), 0);
    formatInto(buffer, sizeof buffer, "%s", "0123456789");
    EXPECT_STREQ(buffer, "012345") << "size 8 keeps at most 6 characters";
}

TEST(LogFunctionsTest, LogsFolderIsMadePrivateUnderTheHome) {
    test_support::TemporaryEnvironment environment;
    std::string logs;
    ASSERT_TRUE(zezu::getTempPath(logs));
    EXPECT_EQ(logs, environment.home() + "/Library/Logs");
    for (const std::string& folder : {environment.home() + "/Library", logs}) {
        struct stat status {};
        ASSERT_EQ(::lstat(folder.c_str(), &status), 0) << folder;
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0700u) << folder;
    }
    std::string again;
    EXPECT_TRUE(zezu::getTempPath(again)) << "existing folders are fine";
    std::string home;
    ASSERT_TRUE(zezu::getUserFolderPath(home));
    EXPECT_EQ(home, environment.home());
}

TEST(LogFunctionsTest, FileQueriesAndFolderCreation) {
    test_support::TemporaryEnvironment environment;
    const std::string base = environment.base();
    const std::string file = base + "/file.bin";
    log_test::writeFile(file, std::string(5000, 'x'));
    EXPECT_TRUE(zezu::fileExistsAtPath(file));
    EXPECT_FALSE(zezu::fileExistsAtPath(base));
    EXPECT_TRUE(zezu::folderExitsAtPath(base));
    EXPECT_FALSE(zezu::folderExitsAtPath(file));
    int64_t size = -1;
    ASSERT_TRUE(zezu::getFileSize(file, size));
    EXPECT_EQ(size, 5000);
    EXPECT_FALSE(zezu::getFileSize(base + "/absent", size));
    EXPECT_TRUE(zezu::createDirectoryPath(base + "/a/b/c"));
    EXPECT_TRUE(zezu::createDirectoryPath(base + "/a/b/c"));
    EXPECT_FALSE(zezu::createDirectoryPath(file + "/below-a-file"));
}

TEST(LogFunctionsTest, CopyOverwritesWithoutFollowingLinks) {
    test_support::TemporaryEnvironment environment;
    const std::string base = environment.base();
    const std::string source = base + "/source.log";
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + "\n";
    log_test::writeFile(source, content);

    const std::string existing = base + "/existing.log";
    log_test::writeFile(existing, "older and longer text that must go entirely");
    ASSERT_TRUE(zezu::copyContentOfFileToFile(source, existing));
    EXPECT_EQ(log_test::readFile(existing), content);

    const std::string victim = base + "/victim";
    log_test::writeFile(victim, "keep");
    const std::string link = base + "/link.log";
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_TRUE(zezu::copyContentOfFileToFile(source, link));
    EXPECT_EQ(log_test::readFile(victim), "keep");
    struct stat status {};
    ASSERT_EQ(::lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode)) << "the planted link is replaced by a plain copy";

    EXPECT_FALSE(zezu::copyContentOfFileToFile(base + "/absent", base + "/out"));
    const std::string linkedSource = base + "/linked-source.log";
    ASSERT_EQ(::symlink(source.c_str(), linkedSource.c_str()), 0);
    EXPECT_FALSE(zezu::copyContentOfFileToFile(linkedSource, base + "/out"));
}

}  // namespace
