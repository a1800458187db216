// File-system services: a growth that cannot fit leaves the file as it was, the no-replace rename, quotas.
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::readFile;

class PlatformFileSystemTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = test_support::makeTemporaryFolder("platform_files"); }
    void TearDown() override { test_support::removeTree(folder_); }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    std::string folder_;
};

TEST_F(PlatformFileSystemTest, AGrowthThatCannotFitFailsAndLeavesTheFileAsItWas) {
    write("partial", "kept");
    const int fd = ::open(path("partial").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::growFileReserving(fd, 4096), 0);
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(info.st_size, 4096);
    // Far beyond any disk: an extended, sparse file here would pass for a reserved one.
    const std::uint64_t huge = std::uint64_t{1} << 62;
    const int error = platform::growFileReserving(fd, huge);
    EXPECT_TRUE(error == ENOSPC || error == EFBIG || error == EDQUOT) << error;
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(info.st_size, 4096);
    ::close(fd);
    EXPECT_EQ(readFile(path("partial")).substr(0, 4), "kept");
}

TEST_F(PlatformFileSystemTest, RenameWithoutReplacing) {
    struct Case {
        const char* name;
        bool destinationExists;
        bool sourceExists;
        int error;
    };
    const Case cases[] = {
        {"fresh destination", false, true, 0},
        {"existing destination", true, true, EEXIST},
        {"missing source", false, false, ENOENT},
        {"missing source, existing destination", true, false, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(path("source").c_str());
        ::unlink(path("destination").c_str());
        if (c.sourceExists) write("source", "new");
        if (c.destinationExists) write("destination", "users file");
        EXPECT_EQ(platform::renameWithoutReplacing(path("source"), path("destination")), c.error);
        const bool moved = c.error == 0;
        EXPECT_EQ(readFile(path("destination")), moved ? "new" : (c.destinationExists ? "users file" : ""));
        EXPECT_EQ(::access(path("source").c_str(), F_OK) == 0, c.sourceExists && !moved);
    }
}

TEST_F(PlatformFileSystemTest, QuotaOfAMissingPathIsNoneAndOfAFolderAnAnswer) {
    const platform::UserQuota quota = platform::userQuota(path("missing"));
    EXPECT_EQ(quota.state, platform::QuotaState::None);
    EXPECT_EQ(quota.softLimitBytes, 0u);
    EXPECT_EQ(quota.hardLimitBytes, 0u);
    // Quotas off, unsupported or set: each is an answer, not a failure.
    EXPECT_NE(platform::userQuota(folder_).state, platform::QuotaState::Failed);
}

}  // namespace
