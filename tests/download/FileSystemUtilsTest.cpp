// The engine's file layer: positioned I/O, full-disk classification, no-replace rename, number parsing.
#include "download/FileHandler.h"
#include "download/FileSystemUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "download/TestSeams.h"
#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using namespace FileSystemUtils;

using test_support::readFile;
using test_support::writeFile;

class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = test_support::makeTemporaryFolder("engine_files"); }
    void TearDown() override {
        engine::testing::injectWriteFailures(0, 0);
        test_support::removeTree(folder_);
    }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }
    std::string folder_;
};

TEST_F(FileLayerTest, WritesLandAtTheirSixtyFourBitOffset) {
    const std::string file = path("big");
    writeFile(file, "");
    ASSERT_EQ(::truncate(file.c_str(), 5LL << 30), 0);  // sparse: no real 5 GiB needed
    FileHandler handler;
    ASSERT_TRUE(handler.open(file));
    const uint64_t offset = 1ULL << 32;
    ASSERT_TRUE(handler.writeSegment(offset, "0123456789", 10));
    char back[10] = {};
    ASSERT_TRUE(handler.readAt(offset, back, 10));
    EXPECT_EQ(std::string(back, 10), "0123456789");
    char low[10] = {};
    ASSERT_TRUE(handler.readAt(0, low, 10));  // nothing wrapped to offset 0
    EXPECT_EQ(std::string(low, 10), std::string(10, '\0'));
}

TEST_F(FileLayerTest, ShortReadsFailAndLeaveNoStaleBytes) {
    const std::string file = path("short");
    writeFile(file, "abcdef");
    FileHandler handler;
    ASSERT_TRUE(handler.open(file));
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(handler.readAt(2, buffer, 10));
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    EXPECT_EQ(std::string(buffer + 4, 6), std::string(6, '\0'));
    ErrorRecord error;
    handler.getLastError(error);
    EXPECT_EQ(error.errorType, 1);
}

TEST_F(FileLayerTest, ReadToEndAtTheEndGivesOneZeroByte) {
    const std::string file = path("text");
    writeFile(file, "hello");
    FileHandler handler;
    ASSERT_TRUE(handler.open(file));
    std::unique_ptr<char[]> buffer;
    uint64_t length = 99;
    ASSERT_TRUE(handler.readToEnd(buffer, length, 5));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], 0);
    ASSERT_TRUE(handler.readToEnd(buffer, length, 1));
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(buffer.get(), "ello");
}

TEST_F(FileLayerTest, OperationsWithoutAnOpenFileFail) {
    FileHandler handler;
    char buffer[4];
    std::unique_ptr<char[]> whole;
    uint64_t length = 0;
    EXPECT_FALSE(handler.writeSegment(0, "ab", 2));
    EXPECT_FALSE(handler.readAt(0, buffer, 4));
    EXPECT_FALSE(handler.readToEnd(whole, length, 0));
    EXPECT_TRUE(handler.close());
}

// A missing file is judged by the folder it would be in, which has room: not a full disk.
TEST_F(FileLayerTest, OpeningAMissingFileIsAFileSystemFailureNotADiskFull) {
    for (const std::string& missing : {path("absent"), path("no/such/folder/absent")}) {
        FileHandler handler;
        EXPECT_FALSE(handler.open(missing));
        ErrorRecord error;
        handler.getLastError(error);
        EXPECT_EQ(error.errorType, 1) << missing;
        EXPECT_EQ(error.nativeCode, kCodeOtherFailure) << missing;
    }
    EXPECT_EQ(getFileSystemErrorCode(path("absent"), 1), kCodeOtherFailure);
    EXPECT_EQ(getFileSystemErrorCode(path("absent"), UINT64_MAX), kCodeDiskFull);
}

TEST_F(FileLayerTest, AFullDiskOnWriteIsReportedAsDiskFull) {
    const std::string file = path("out");
    writeFile(file, std::string(100, 'a'));
    FileHandler handler;
    ASSERT_TRUE(handler.open(file));
    for (const int errorNumber : {ENOSPC, EDQUOT}) {
        engine::testing::injectWriteFailures(errorNumber, 1);
        EXPECT_FALSE(handler.writeSegment(10, "zz", 2));
        ErrorRecord error;
        handler.getLastError(error);
        EXPECT_EQ(error.errorType, 1);
        EXPECT_EQ(error.nativeCode, kCodeDiskFull);
        EXPECT_EQ(error.message, "Failed to write the segment in the file which is to be downloaded");
    }
    EXPECT_TRUE(handler.writeSegment(10, "zz", 2));  // the injected failures are used up
    EXPECT_EQ(readFile(file).substr(10, 2), "zz");
}

TEST_F(FileLayerTest, SetFileSizeExtendsWithZerosAndCuts) {
    const std::string file = path("sized");
    int code = 0;
    ASSERT_TRUE(createFile(file, code));
    ASSERT_TRUE(setFileSize(file, 100000, code));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 100000);
    EXPECT_EQ(readFile(file), std::string(100000, '\0'));
    ASSERT_TRUE(setFileSize(file, 10, code));
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 10);
    EXPECT_FALSE(setFileSize(path("missing"), 10, code));
}

TEST_F(FileLayerTest, RenameNeverReplacesAnExistingFile) {
    int code = 0;
    writeFile(path("source"), "new");
    writeFile(path("target"), "users file");
    EXPECT_FALSE(renameFile(path("target"), path("source"), code));
    EXPECT_EQ(code, EEXIST);
    EXPECT_EQ(readFile(path("target")), "users file");
    EXPECT_EQ(readFile(path("source")), "new");
    EXPECT_TRUE(renameFile(path("fresh"), path("source"), code));
    EXPECT_EQ(readFile(path("fresh")), "new");
    EXPECT_FALSE(fileExists(path("source")));
    EXPECT_FALSE(renameFile("", path("fresh"), code));
}

TEST_F(FileLayerTest, CreateFileReplacesButRefusesASymbolicLink) {
    int code = 0;
    writeFile(path("victim"), "keep me");
    ASSERT_EQ(::symlink(path("victim").c_str(), path("link").c_str()), 0);
    EXPECT_FALSE(createFile(path("link"), code));
    EXPECT_EQ(readFile(path("victim")), "keep me");
    writeFile(path("old"), "old bytes");
    EXPECT_TRUE(createFile(path("old"), code));
    EXPECT_EQ(readFile(path("old")), "");
    EXPECT_FALSE(createFile(path("no/folder/file"), code));
    EXPECT_EQ(code, kCodeInvalidPath);
}

TEST_F(FileLayerTest, DeletingWhatIsNotThereSucceeds) {
    int code = 0;
    EXPECT_TRUE(deleteFile(path("never"), code));
    code = 0;
    EXPECT_TRUE(deleteFile("", code));
    EXPECT_EQ(code, kCodeMissingPath);
    writeFile(path("doomed"), "x");
    EXPECT_TRUE(deleteFile(path("doomed"), code));
    EXPECT_FALSE(fileExists(path("doomed")));
}

TEST_F(FileLayerTest, DirectoriesAreMadeWithParentsAndRemovedWithoutFollowingLinks) {
    int code = 0;
    const std::string deep = path("a/b/c");
    ASSERT_TRUE(createDirectory(deep, code));
    EXPECT_TRUE(directoryExists(deep));
    EXPECT_TRUE(createDirectory(deep, code));  // already there
    writeFile(path("outside"), "survives");
    ASSERT_EQ(::symlink(folder_.c_str(), path("a/b/up").c_str()), 0);
    ASSERT_TRUE(deleteDirectory(path("a"), code));
    EXPECT_FALSE(directoryExists(path("a")));
    EXPECT_EQ(readFile(path("outside")), "survives");
}

TEST_F(FileLayerTest, WriteDataToFileReplacesTheWholeFileAndLeavesNoTemporary) {
    writeFile(path("data"), "a much longer old content");
    ASSERT_TRUE(writeDataToFile(path("data"), std::string("new\0bytes", 9)));
    EXPECT_EQ(readFile(path("data")), std::string("new\0bytes", 9));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(writeDataToFile("", "x"));
    EXPECT_FALSE(writeDataToFile(path("no/folder/file"), "x"));
}

TEST_F(FileLayerTest, WriteDataToNewFileNeverReplacesAnExistingFile) {
    int code = 0;
    writeFile(path("target"), "users file");
    EXPECT_FALSE(writeDataToNewFile(path("target"), "decompressed", code));
    EXPECT_EQ(code, EEXIST);
    EXPECT_EQ(readFile(path("target")), "users file");
    ASSERT_TRUE(writeDataToNewFile(path("fresh"), std::string("new\0bytes", 9), code));
    EXPECT_EQ(readFile(path("fresh")), std::string("new\0bytes", 9));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_)) {
        ++entries;
    }
    EXPECT_EQ(entries, 2) << "no temporary is left behind, also by the refused write";
    EXPECT_FALSE(writeDataToNewFile(path("no/folder/file"), "x", code));
}

TEST(FileSystemUtilsTest, StringToUInt64ReadsExactlyCountDigits) {
    struct Case {
        const char* text;
        size_t count;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"00123", 5, true, 123},
        {"12a", 3, false, 0},
        {"12a", 2, true, 12},
        {"", 0, true, 0},
        {"18446744073709551615", 20, true, UINT64_MAX},
        {"18446744073709551616", 20, false, 0},   // one past the largest value
        {"999999999999999999999", 21, false, 0},  // 21 digits must not wrap
        {"-1", 2, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 7;
        EXPECT_EQ(stringToUInt64(c.text, c.count, value), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(FileSystemUtilsTest, SmallConversions) {
    int32_t number = 0;
    stringToInt("  42abc", number);
    EXPECT_EQ(number, 42);
    stringToInt("none", number);
    EXPECT_EQ(number, 0);
    stringToInt("99999999999", number);
    EXPECT_EQ(number, INT32_MAX);
    std::string text;
    uint64ToString(18446744073709551615ULL, text);
    EXPECT_EQ(text, "18446744073709551615");
    EXPECT_EQ(utilStrlen("abc"), 3u);
    EXPECT_EQ(utilStrlen(nullptr), 0u);
}

TEST(FileSystemUtilsTest, QuotaLimitsUseTheSoftLimitElseTheHardOne) {
    uint64_t available = 99;
    EXPECT_EQ(quotaFromLimits(0, 1000, 400, available), 1);
    EXPECT_EQ(available, 600u);
    EXPECT_EQ(quotaFromLimits(500, 1000, 400, available), 1);
    EXPECT_EQ(available, 100u);
    EXPECT_EQ(quotaFromLimits(500, 1000, 700, available), 1);  // over the soft limit: none left
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(quotaFromLimits(0, 0, 400, available), 0);
}

TEST(FileSystemUtilsTest, ErrnoValuesBecomeTheEngineFileCodes) {
    struct Case {
        int errorNumber;
        int code;
    };
    const Case cases[] = {
        {EACCES, 13},        {EPERM, 513}, {EROFS, 513},    {ENOENT, 514},   {ENOTDIR, 514},
        {ENAMETOOLONG, 514}, {ELOOP, 514}, {ENOSPC, 10020}, {EDQUOT, 10020}, {EIO, EIO},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nativeCodeForErrno(c.errorNumber), c.code) << c.errorNumber;
    }
}

}  // namespace
