// Parsing the kernel's mount table: escapes, optional fields, malformed lines, a user-space mount's user.
#include "platform/MountTable.h"
#include "platform/linux/MountInfo.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

TEST(MountTable, ParsesMountInfoLines) {
    const std::string text =
        "22 1 0:21 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "46 28 7:0 / /tmp/with\\040space\\134x ro,nosuid,nodev master:3 shared:9 - squashfs /dev/loop0 ro\n"
        "47 28 0:50 / /mnt/fuse rw,nosuid,nodev - fuse.squashfuse squashfuse ro,user_id=0\n"
        "garbage line\n"
        "48 28 0:51 / /no/separator rw shared:1 ext4 /dev/sdb\n";
    auto entries = platform::parseMountInfo(text);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].mountPoint, "/");
    EXPECT_EQ(entries[0].fileSystemType, "ext4");
    EXPECT_EQ(entries[1].mountPoint, "/tmp/with space\\x");
    EXPECT_EQ(entries[1].fileSystemType, "squashfs");
    EXPECT_EQ(entries[1].source, "/dev/loop0");
    EXPECT_EQ(entries[2].fileSystemType, "fuse.squashfuse");
    EXPECT_EQ(entries[2].source, "squashfuse");
    EXPECT_EQ(entries[2].userId, 0u);
    EXPECT_FALSE(entries[0].userId);
}

// A user-space mount's user decides whose it is: only a whole user_id= option counts.
TEST(MountTable, UserIdComesFromTheSuperOptions) {
    const struct {
        const char* superOptions;
        std::optional<uid_t> userId;
    } cases[] = {
        {" ro,user_id=1000,group_id=1000", 1000},
        {" group_id=5,user_id=0", 0},
        {" rw,default_permissions", std::nullopt},
        {"", std::nullopt},
        {" ro,user_id=", std::nullopt},
        {" ro,user_id=12x", std::nullopt},
        {" ro,user_id=-1", std::nullopt},
        {" ro,user_id=99999999999999999999", std::nullopt},
        {" ro,xuser_id=7", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.superOptions);
        const auto entries = platform::parseMountInfo(
            std::string("47 28 0:50 / /mnt/fuse rw - fuse.squashfuse squashfuse") + c.superOptions + "\n");
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].userId, c.userId);
    }
}

TEST(MountTable, CurrentMountsHasTheRootAndLoopNamesAreChecked) {
    bool root = false;
    for (const auto& entry : platform::currentMounts()) root = root || entry.mountPoint == "/";
    EXPECT_TRUE(root);
    for (const char* device : {"/dev/sda", "/dev/loop", "/dev/loop1/../sda", "loop0"})
        EXPECT_FALSE(platform::loopBackingFile(device)) << device;
}

}  // namespace
