// Parsing the kernel's mount table: escapes, optional fields, malformed lines.
#include "platform/MountTable.h"
#include "platform/linux/MountInfo.h"

#include <gtest/gtest.h>

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
}

TEST(MountTable, CurrentMountsHasTheRootAndLoopNamesAreChecked) {
    bool root = false;
    for (const auto& entry : platform::currentMounts()) root = root || entry.mountPoint == "/";
    EXPECT_TRUE(root);
    for (const char* device : {"/dev/sda", "/dev/loop", "/dev/loop1/../sda", "loop0"})
        EXPECT_FALSE(platform::loopBackingFile(device)) << device;
}

}  // namespace
