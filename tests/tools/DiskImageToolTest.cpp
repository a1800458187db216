// The disk-image tool: usage errors, info output, and a real attach, info and detach cycle.
#include "foundation/utils/FileUtils.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
const std::string kTool = DISK_IMAGE_TOOL;

struct ToolRun {
    bool started = false;
    int status = -1;
    std::string output;
};

ToolRun tool(const std::vector<std::string>& arguments) {
    ToolRun run;
    run.started = platform::runProcessCapturingOutput(kTool, arguments, run.output, run.status);
    return run;
}

// The string value under key in a plist dict, or "".
std::string stringFor(pugi::xml_node dict, const char* key) {
    for (auto k = dict.child("key"); k; k = k.next_sibling("key"))
        if (std::strcmp(k.child_value(), key) == 0) return k.next_sibling().child_value();
    return "";
}

pugi::xml_node valueFor(pugi::xml_node dict, const char* key) {
    for (auto k = dict.child("key"); k; k = k.next_sibling("key"))
        if (std::strcmp(k.child_value(), key) == 0) return k.next_sibling();
    return {};
}

// Mount points listed by "info -plist" for an image.
std::vector<std::string> mountPointsOf(const std::string& image) {
    ToolRun run = tool({"info", "-plist"});
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.status, 0);
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(run.output.c_str())) << run.output;
    auto images = valueFor(document.child("plist").child("dict"), "images");
    EXPECT_STREQ(images.name(), "array") << run.output;
    std::vector<std::string> points;
    for (auto entry = images.child("dict"); entry; entry = entry.next_sibling("dict")) {
        if (stringFor(entry, "image-path") != image) continue;
        for (auto entity = valueFor(entry, "system-entities").child("dict"); entity;
             entity = entity.next_sibling("dict"))
            points.push_back(stringFor(entity, "mount-point"));
    }
    return points;
}

class DiskImageToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("BOOTSTRAP_DISK_IMAGE_STATE", (env_.base() + "/state").c_str(), 1);
        setenv(platform::kDiskImageToolVariable, kTool.c_str(), 1);
        mountPoint_ = env_.base() + "/mount point";
    }
    void TearDown() override {
        umount2(mountPoint_.c_str(), MNT_DETACH);  // only if a failed test left it mounted
        unsetenv("BOOTSTRAP_DISK_IMAGE_STATE");
        unsetenv(platform::kDiskImageToolVariable);
    }

    test_support::TemporaryEnvironment env_;
    std::string mountPoint_;
};

TEST_F(DiskImageToolTest, UsageAndFailures) {
    const struct {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{}, 2},
        {{"eject"}, 2},
        {{"attach"}, 2},
        {{"attach", "a", "b"}, 2},
        {{"info", "-xml"}, 2},
        {{"detach"}, 2},
        {{"attach", env_.base() + "/missing.sqfs", "-mountpoint", mountPoint_}, 1},
        {{"attach", env_.base(), "-mountpoint", mountPoint_}, 1},
        {{"detach", env_.base(), "-quiet"}, 1},
    };
    for (const auto& c : cases) {
        ToolRun run = tool(c.arguments);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.status, c.status) << (c.arguments.empty() ? "(none)" : c.arguments[0]);
    }
    EXPECT_FALSE(ZEZUUtils::FileUtils::UnmountDmgAtPath(env_.base()));
    EXPECT_TRUE(mountPointsOf(env_.base() + "/missing.sqfs").empty());
}

// A small image holding hello.txt; "" when mksquashfs fails.
std::string makeImage(const std::string& base) {
    const std::string source = base + "/source";
    fs::create_directories(source);
    std::ofstream(source + "/hello.txt") << "hello from the image";
    const std::string image = base + "/image.sqfs";
    int status = -1;
    std::string ignored;
    if (!platform::runProcessCapturingOutput("/usr/bin/mksquashfs", {source, image, "-quiet", "-noappend", "-no-progress"},
                                             ignored, status) ||
        status != 0)
        return "";
    return image;
}

TEST_F(DiskImageToolTest, AttachInfoDetachCycle) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());

    ToolRun attach = tool({"attach", image, "-noverify", "-noautoopen", "-nobrowse", "-noautofsck", "-readonly",
                       "-quiet", "-mountpoint", mountPoint_, "-plist"});
    ASSERT_TRUE(attach.started);
    if (attach.status != 0 && geteuid() != 0) GTEST_SKIP() << "this user cannot mount images here";
    ASSERT_EQ(attach.status, 0);
    pugi::xml_document plist;
    ASSERT_TRUE(plist.load_string(attach.output.c_str())) << attach.output;
    auto entity = valueFor(plist.child("plist").child("dict"), "system-entities").child("dict");
    EXPECT_EQ(stringFor(entity, "mount-point"), mountPoint_);

    {
        std::ifstream in(mountPoint_ + "/hello.txt");
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "hello from the image");
    }

    // Attached already: the attach fails and info still finds the first mount point.
    ToolRun again = tool({"attach", image, "-quiet", "-mountpoint", env_.base() + "/second"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(mountPointsOf(image), std::vector<std::string>{mountPoint_});

    EXPECT_TRUE(ZEZUUtils::FileUtils::UnmountDmgAtPath(mountPoint_));
    EXPECT_FALSE(fs::exists(mountPoint_ + "/hello.txt"));
    EXPECT_TRUE(mountPointsOf(image).empty());
    EXPECT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 1);
}

// A mount point that is a symbolic link, not a folder, or another user's folder is refused
// before anything is mounted; the same image attaches at a plain folder of this user.
TEST_F(DiskImageToolTest, RefusesUnsafeMountPoints) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    ToolRun plain = tool({"attach", image, "-quiet", "-mountpoint", mountPoint_});
    ASSERT_TRUE(plain.started);
    if (plain.status != 0 && geteuid() != 0) GTEST_SKIP() << "this user cannot mount images here";
    ASSERT_EQ(plain.status, 0);
    ASSERT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);

    const std::string target = env_.base() + "/target";
    fs::create_directories(target);
    const std::string file = env_.base() + "/file";
    std::ofstream(file) << "not a folder";
    fs::create_symlink(target, env_.base() + "/link to folder");
    fs::create_symlink(file, env_.base() + "/link to file");
    fs::create_symlink(env_.base() + "/missing", env_.base() + "/dangling link");
    const std::string foreign = env_.base() + "/foreign";
    fs::create_directories(foreign);
    const bool canChown = geteuid() == 0 && chown(foreign.c_str(), 65534, 65534) == 0;

    const struct {
        std::string mountPoint;
        std::string watched;  // must stay without the image's content
    } cases[] = {
        {env_.base() + "/link to folder", target},
        {env_.base() + "/link to folder/", target},
        {env_.base() + "/link to file", file},
        {env_.base() + "/dangling link", env_.base() + "/missing"},
        {file, file},
        {foreign, foreign},
    };
    for (const auto& c : cases) {
        if (c.mountPoint == foreign && !canChown) continue;  // only root can give a folder away
        SCOPED_TRACE(c.mountPoint);
        ToolRun run = tool({"attach", image, "-quiet", "-mountpoint", c.mountPoint});
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.status, 1);
        EXPECT_FALSE(fs::exists(c.watched + "/hello.txt"));
        if (fs::exists(c.watched + "/hello.txt")) umount2(c.watched.c_str(), MNT_DETACH);
        EXPECT_TRUE(mountPointsOf(image).empty());
    }
    EXPECT_TRUE(fs::is_symlink(env_.base() + "/dangling link"));
    EXPECT_FALSE(fs::exists(env_.base() + "/missing"));
}

}  // namespace
