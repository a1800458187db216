// The disk-image tool: usage errors, info output, and a real attach, info and detach cycle.
#include "foundation/utils/FileUtils.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
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

// The tool's standard error in place of its output.
ToolRun toolErrors(const std::vector<std::string>& arguments) {
    ToolRun run;
    run.started = platform::runProcessCapturingErrors(kTool, arguments, run.output, run.status);
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
        // Only what a failed test left mounted.
        for (const std::string& point : mountedPoints_) umount2(point.c_str(), MNT_DETACH);
        umount2(mountPoint_.c_str(), MNT_DETACH);
        unsetenv("BOOTSTRAP_DISK_IMAGE_STATE");
        unsetenv(platform::kDiskImageToolVariable);
    }

    test_support::TemporaryEnvironment env_;
    std::string mountPoint_;
    std::vector<std::string> mountedPoints_;  // further mount points a test uses
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
std::string makeImage(const std::string& base, const std::string& name = "image.sqfs",
                      const std::string& text = "hello from the image") {
    const std::string source = base + "/source of " + name;
    fs::create_directories(source);
    std::ofstream(source + "/hello.txt") << text;
    const std::string image = base + "/" + name;
    int status = -1;
    std::string ignored;
    if (!platform::runProcessCapturingOutput("/usr/bin/mksquashfs",
                                             {source, image, "-quiet", "-noappend", "-no-progress"}, ignored, status) ||
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

namespace {

std::string helloAt(const std::string& mountPoint) {
    std::ifstream in(mountPoint + "/hello.txt");
    std::string text;
    std::getline(in, text);
    return text;
}

// Attaches image at point; false (the test skipping) where this user cannot mount.
bool attached(const std::string& image, const std::string& point) {
    ToolRun run = tool({"attach", image, "-quiet", "-mountpoint", point});
    EXPECT_TRUE(run.started);
    return run.status == 0;
}

#define ATTACH_OR_SKIP(image, point)                                                  \
    do {                                                                              \
        if (!attached(image, point)) {                                                \
            if (geteuid() != 0) GTEST_SKIP() << "this user cannot mount images here"; \
            FAIL() << "the attach at " << (point) << " failed";                       \
        }                                                                             \
    } while (0)

// Another file at the image's path: put over it by a rename, or written after it was deleted.
enum class Replacement { Renamed, DeletedAndWritten };

void replaceImage(const std::string& image, const std::string& newer, Replacement how) {
    if (how == Replacement::DeletedAndWritten) {
        fs::remove(image);
        fs::copy_file(newer, image);
    } else {
        fs::rename(newer, image);
    }
}

// A different file at a recorded image's path is not that attachment: it attaches anew, and
// the old mount is not listed under the path.
TEST_F(DiskImageToolTest, AnotherFileAtARecordedImagesPathIsNotAttachedAlready) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    for (const Replacement how : {Replacement::Renamed, Replacement::DeletedAndWritten}) {
        SCOPED_TRACE(how == Replacement::Renamed ? "renamed over" : "deleted and written");
        const std::string image = makeImage(env_.base(), "image.sqfs", "old");
        const std::string newer = makeImage(env_.base(), "newer.sqfs", "new");
        ASSERT_FALSE(image.empty());
        ASSERT_FALSE(newer.empty());
        const std::string second = env_.base() + "/second";
        mountedPoints_ = {second};
        ATTACH_OR_SKIP(image, mountPoint_);
        replaceImage(image, newer, how);

        EXPECT_TRUE(mountPointsOf(image).empty());
        ToolRun again = toolErrors({"attach", image, "-quiet", "-mountpoint", second});
        EXPECT_EQ(again.status, 0) << again.output;
        EXPECT_EQ(helloAt(second), "new");
        EXPECT_EQ(helloAt(mountPoint_), "old");
        EXPECT_EQ(mountPointsOf(image), std::vector<std::string>{second});
        EXPECT_EQ(mountPointsOf(image + " (deleted)"), std::vector<std::string>{mountPoint_});

        EXPECT_EQ(tool({"detach", second, "-quiet"}).status, 0);
        EXPECT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);
        fs::remove(image);
    }
}

// An attachment of the tool's at the mount point whose image was deleted, or replaced by another
// file at its path, is left from an attach never detached: it goes first. One whose image is
// still there, or one the tool did not record, stays, and the attach fails.
TEST_F(DiskImageToolTest, AStaleAttachmentAtTheMountPointIsDetachedFirst) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string state = env_.base() + "/state";
    const struct {
        const char* what;
        bool replaced;  // else deleted, or kept with keep
        bool keep;
        bool otherRecords;
        bool detachedFirst;
    } cases[] = {
        {"replaced at its path", true, false, false, true},
        {"deleted", false, false, false, true},
        {"still there", false, true, false, false},
        {"deleted, in other records", false, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = makeImage(env_.base(), "image.sqfs", "old");
        const std::string other = makeImage(env_.base(), "image(1).sqfs", "other");
        ASSERT_FALSE(image.empty());
        ASSERT_FALSE(other.empty());
        ATTACH_OR_SKIP(image, mountPoint_);
        std::string next = other;
        if (c.replaced) {
            replaceImage(image, other, Replacement::Renamed);
            next = image;
        } else if (!c.keep) {
            fs::remove(image);
        }
        if (c.otherRecords) setenv("BOOTSTRAP_DISK_IMAGE_STATE", (env_.base() + "/other state").c_str(), 1);

        ToolRun run = toolErrors({"attach", next, "-quiet", "-mountpoint", mountPoint_});
        if (c.detachedFirst) {
            EXPECT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(helloAt(mountPoint_), "other");
            EXPECT_EQ(mountPointsOf(next), std::vector<std::string>{mountPoint_});
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.output.find("something is mounted at"), std::string::npos) << run.output;
            EXPECT_EQ(helloAt(mountPoint_), "old");
            EXPECT_TRUE(mountPointsOf(next).empty());
        }
        setenv("BOOTSTRAP_DISK_IMAGE_STATE", state.c_str(), 1);
        EXPECT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);
        fs::remove(image);
        fs::remove(other);
    }
}

// A stale attachment a process still works in cannot go: the attach fails and says why, and
// the old content is never served as the new image.
TEST_F(DiskImageToolTest, ABusyStaleAttachmentFailsTheAttachWithItsReason) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string image = makeImage(env_.base(), "image.sqfs", "old");
    const std::string newer = makeImage(env_.base(), "newer.sqfs", "new");
    ASSERT_FALSE(image.empty());
    ASSERT_FALSE(newer.empty());
    ATTACH_OR_SKIP(image, mountPoint_);
    pid_t holder = -1;
    platform::ProcessOptions inImage;
    inImage.workingFolder = mountPoint_;
    ASSERT_TRUE(platform::startProcess("/bin/sleep", {"600"}, holder, inImage));
    struct Reap {
        pid_t pid;
        ~Reap() {
            if (pid <= 0) return;
            kill(pid, SIGKILL);
            platform::waitForProcess(pid);
        }
    } reap{holder};
    replaceImage(image, newer, Replacement::DeletedAndWritten);

    ToolRun busy = toolErrors({"attach", image, "-quiet", "-mountpoint", mountPoint_});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.output.find("could not be detached"), std::string::npos) << busy.output;
    EXPECT_NE(busy.output.find("busy"), std::string::npos) << busy.output;
    EXPECT_EQ(std::count(busy.output.begin(), busy.output.end(), '\n'), 1) << busy.output;
    EXPECT_EQ(helloAt(mountPoint_), "old");
    EXPECT_TRUE(mountPointsOf(image).empty());

    kill(holder, SIGKILL);
    platform::waitForProcess(holder);
    reap.pid = -1;
    ToolRun freed = toolErrors({"attach", image, "-quiet", "-mountpoint", mountPoint_});
    EXPECT_EQ(freed.status, 0) << freed.output;
    EXPECT_EQ(helloAt(mountPoint_), "new");
    EXPECT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);
}

// An image that cannot be mounted leaves none of the folders the attach made, and what mount
// said is part of the tool's one line of error, not text of its own on the caller's stream.
TEST_F(DiskImageToolTest, AFailedAttachRemovesWhatItMadeAndSaysWhy) {
    if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    ATTACH_OR_SKIP(image, mountPoint_);
    ASSERT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);

    const std::string truncated = env_.base() + "/truncated.sqfs";
    fs::copy_file(image, truncated);
    fs::resize_file(truncated, 100);
    const std::string garbage = env_.base() + "/garbage.sqfs";
    std::ofstream(garbage) << std::string(8192, 'x');
    const std::string existing = env_.base() + "/existing";
    fs::create_directories(existing);

    const struct {
        std::string image;
        std::string mountPoint;
        std::string firstMade;  // the outermost folder the attach made, gone afterwards
    } cases[] = {
        {truncated, env_.base() + "/made/for/it", env_.base() + "/made"},
        {garbage, env_.base() + "/made once", env_.base() + "/made once"},
        {truncated, existing, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image + " at " + c.mountPoint);
        ToolRun run = toolErrors({"attach", c.image, "-quiet", "-mountpoint", c.mountPoint});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output.rfind("diskimage: attach failed - the image could not be mounted (", 0), 0u) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        if (!c.firstMade.empty()) {
            EXPECT_FALSE(fs::exists(c.firstMade));
        }
        EXPECT_TRUE(mountPointsOf(c.image).empty());
    }
    EXPECT_TRUE(fs::is_directory(existing));
}

}  // namespace
