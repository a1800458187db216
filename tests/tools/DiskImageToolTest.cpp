// The disk-image tool: usage errors, info output, real attach, info and detach cycles, stale mounts
// at the mount point, with a loop device and in user space (squashfuse).
#include "foundation/utils/FileUtils.h"
#include "platform/DiskImageTool.h"
#include "platform/MountTable.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"
#include "tests/support/UserSpaceMounts.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

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

// With image attached at mountPoint and a process working in it, its file replaced (and what
// else makeStale does): the attach there fails saying why, and succeeds once the process ends.
void expectABusyStaleAttachmentFailsUntilFreed(const std::string& image, const std::string& newer,
                                               const std::string& mountPoint,
                                               const std::function<void()>& makeStale = {}) {
    pid_t holder = -1;
    platform::ProcessOptions inImage;
    inImage.workingFolder = mountPoint;
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
    if (makeStale) makeStale();

    ToolRun busy = toolErrors({"attach", image, "-quiet", "-mountpoint", mountPoint});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.output.find("could not be detached"), std::string::npos) << busy.output;
    EXPECT_NE(busy.output.find("busy"), std::string::npos) << busy.output;
    EXPECT_EQ(std::count(busy.output.begin(), busy.output.end(), '\n'), 1) << busy.output;
    EXPECT_EQ(helloAt(mountPoint), "old");
    EXPECT_TRUE(mountPointsOf(image).empty());

    kill(holder, SIGKILL);
    platform::waitForProcess(holder);
    reap.pid = -1;
    ToolRun freed = toolErrors({"attach", image, "-quiet", "-mountpoint", mountPoint});
    EXPECT_EQ(freed.status, 0) << freed.output;
    EXPECT_EQ(helloAt(mountPoint), "new");
    EXPECT_EQ(tool({"detach", mountPoint, "-quiet"}).status, 0);
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
    expectABusyStaleAttachmentFailsUntilFreed(image, newer, mountPoint_);
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

namespace {

// Whether a user-space (squashfuse) mount is at point.
bool userSpaceMountAt(const std::string& point) {
    for (const auto& entry : platform::currentMounts())
        if (entry.mountPoint == point) return entry.fileSystemType.rfind("fuse", 0) == 0;
    return false;
}

bool mountedAt(const std::string& point) {
    for (const auto& entry : platform::currentMounts())
        if (entry.mountPoint == point) return true;
    return false;
}

// The tool attaching with squashfuse, as for every user but root; whatever a test leaves under
// its folder (mounts, squashfuse processes) goes in TearDown, before the folder does.
class DiskImageToolUserSpaceTest : public DiskImageToolTest {
protected:
    void SetUp() override {
        DiskImageToolTest::SetUp();
        setenv("BOOTSTRAP_DISK_IMAGE_MOUNT", "fuse", 1);
        if (!fs::exists("/usr/bin/mksquashfs")) GTEST_SKIP() << "mksquashfs is not installed";
        if (const std::string missing = test_support::missingUserSpaceMounts(); !missing.empty())
            GTEST_SKIP() << missing;
    }
    void TearDown() override {
        test_support::detachEverythingUnder(env_.base());
        unsetenv("BOOTSTRAP_DISK_IMAGE_MOUNT");
        DiskImageToolTest::TearDown();
    }
    // Attaches image at point with squashfuse; false (the test skipping) where this user cannot.
    bool attachedInUserSpace(const std::string& image, const std::string& point) {
        ToolRun run = toolErrors({"attach", image, "-quiet", "-mountpoint", point});
        EXPECT_TRUE(run.started);
        if (run.status != 0) {
            if (geteuid() != 0) return false;
            ADD_FAILURE() << "the attach at " << point << " failed: " << run.output;
            return false;
        }
        EXPECT_TRUE(userSpaceMountAt(point)) << "not attached with squashfuse";
        return true;
    }
};

#define ATTACH_IN_USER_SPACE_OR_SKIP(image, point)                                    \
    do {                                                                              \
        if (!attachedInUserSpace(image, point)) {                                     \
            if (geteuid() != 0) GTEST_SKIP() << "this user cannot mount images here"; \
            return;                                                                   \
        }                                                                             \
    } while (0)

// The seam's squashfuse mount, its identity in the listing, a second attach refused, and a
// detach that leaves neither the mount nor its squashfuse process.
TEST_F(DiskImageToolUserSpaceTest, AttachInfoDetachCycle) {
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    ATTACH_IN_USER_SPACE_OR_SKIP(image, mountPoint_);
    EXPECT_EQ(helloAt(mountPoint_), "hello from the image");
    EXPECT_EQ(test_support::squashfuseProcessesUnder(env_.base()).size(), 1u);

    ToolRun listing = tool({"info", "-plist"});
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(listing.output.c_str())) << listing.output;
    // Other tests' loop mounts are listed too.
    auto entry = valueFor(document.child("plist").child("dict"), "images").child("dict");
    while (entry && stringFor(entry, "image-path") != image) entry = entry.next_sibling("dict");
    ASSERT_TRUE(entry) << listing.output;
    struct stat st {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(stringFor(entry, "image-device"), std::to_string(st.st_dev)) << listing.output;
    EXPECT_EQ(stringFor(entry, "image-inode"), std::to_string(st.st_ino)) << listing.output;

    ToolRun again = toolErrors({"attach", image, "-quiet", "-mountpoint", env_.base() + "/second"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("already attached"), std::string::npos) << again.output;

    ToolRun detach = toolErrors({"detach", mountPoint_, "-quiet"});
    EXPECT_EQ(detach.status, 0) << detach.output;
    EXPECT_FALSE(mountedAt(mountPoint_));
    EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(env_.base())) << "the squashfuse process is still there";
    EXPECT_TRUE(mountPointsOf(image).empty());
}

// What can stand at the mount point when the attach comes.
enum class Earlier {
    Replaced,        // its image replaced by another file at its path
    Deleted,         // its image deleted
    Kept,            // its image still there, recorded
    OtherRecords,    // recorded in another records folder only, image deleted
    RecordsRemoved,  // the records folder removed (as at logout), image still there
    ServerKilled,    // its squashfuse process killed: the mount point answers ENOTCONN
};

// A user-space mount of this user at the mount point goes first when its image is deleted or
// replaced, when no record explains it, or when its squashfuse died (even with its recorded
// image still at its path); only a recorded mount of an image still there stays.
TEST_F(DiskImageToolUserSpaceTest, AStaleAttachmentAtTheMountPointIsDetachedFirst) {
    const std::string state = env_.base() + "/state";
    const struct {
        const char* what;
        Earlier earlier;
        bool sameImage;  // the next attach is of the first image's file again
        bool detachedFirst;
    } cases[] = {
        {"replaced at its path", Earlier::Replaced, false, true},
        {"deleted", Earlier::Deleted, false, true},
        {"still there", Earlier::Kept, false, false},
        {"deleted, in other records", Earlier::OtherRecords, false, true},
        {"records folder removed", Earlier::RecordsRemoved, false, true},
        {"squashfuse killed, another image", Earlier::ServerKilled, false, true},
        {"squashfuse killed, the same image", Earlier::ServerKilled, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = makeImage(env_.base(), "image.sqfs", "old");
        const std::string other = makeImage(env_.base(), "image(1).sqfs", "other");
        ASSERT_FALSE(image.empty());
        ASSERT_FALSE(other.empty());
        ATTACH_IN_USER_SPACE_OR_SKIP(image, mountPoint_);
        std::string next = c.sameImage ? image : other;
        switch (c.earlier) {
            case Earlier::Replaced:
                replaceImage(image, other, Replacement::Renamed);
                next = image;
                break;
            case Earlier::Deleted: fs::remove(image); break;
            case Earlier::Kept: break;
            case Earlier::OtherRecords:
                fs::remove(image);
                setenv("BOOTSTRAP_DISK_IMAGE_STATE", (env_.base() + "/other state").c_str(), 1);
                break;
            case Earlier::RecordsRemoved: fs::remove_all(state); break;
            case Earlier::ServerKilled: ASSERT_TRUE(test_support::killSquashfuseAt(mountPoint_)); break;
        }
        const std::string expected = c.sameImage ? "old" : "other";

        ToolRun run = toolErrors({"attach", next, "-quiet", "-mountpoint", mountPoint_});
        if (c.detachedFirst) {
            EXPECT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(helloAt(mountPoint_), expected);
            EXPECT_EQ(mountPointsOf(next), std::vector<std::string>{mountPoint_});
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.output.find("something is mounted at"), std::string::npos) << run.output;
            EXPECT_EQ(helloAt(mountPoint_), "old");
            EXPECT_TRUE(mountPointsOf(next).empty());
        }
        ToolRun detach = toolErrors({"detach", mountPoint_, "-quiet"});
        EXPECT_EQ(detach.status, 0) << detach.output;
        EXPECT_FALSE(mountedAt(mountPoint_));
        EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(env_.base()));
        test_support::detachEverythingUnder(env_.base());  // a failed case spoils no other
        setenv("BOOTSTRAP_DISK_IMAGE_STATE", state.c_str(), 1);
        fs::remove(image);
        fs::remove(other);
    }
}

// A mount whose squashfuse died serves nothing: its image is not attached there (so it attaches
// elsewhere), the listing says so, and a detach of it works.
TEST_F(DiskImageToolUserSpaceTest, ADeadMountIsNeverTheImageAttachedAndIsDetached) {
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    ATTACH_IN_USER_SPACE_OR_SKIP(image, mountPoint_);
    ASSERT_TRUE(test_support::killSquashfuseAt(mountPoint_));
    EXPECT_TRUE(mountPointsOf(image).empty());
    EXPECT_EQ(mountPointsOf(image + " (not connected)"), std::vector<std::string>{mountPoint_});

    const std::string second = env_.base() + "/second";
    ToolRun elsewhere = toolErrors({"attach", image, "-quiet", "-mountpoint", second});
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.output;
    EXPECT_EQ(helloAt(second), "hello from the image");
    ToolRun detach = toolErrors({"detach", mountPoint_, "-quiet"});
    EXPECT_EQ(detach.status, 0) << detach.output;
    EXPECT_FALSE(mountedAt(mountPoint_));
    EXPECT_EQ(mountPointsOf(image), std::vector<std::string>{second});
    EXPECT_EQ(tool({"detach", second, "-quiet"}).status, 0);
}

// A stale user-space mount a process still works in cannot go, recorded or not: the attach
// fails and says why, and the old content is never served as the new image.
TEST_F(DiskImageToolUserSpaceTest, ABusyStaleAttachmentFailsTheAttachWithItsReason) {
    for (const bool recordsRemoved : {false, true}) {
        SCOPED_TRACE(recordsRemoved ? "records removed" : "records kept");
        const std::string image = makeImage(env_.base(), "image.sqfs", "old");
        const std::string newer = makeImage(env_.base(), "newer.sqfs", "new");
        ASSERT_FALSE(image.empty());
        ASSERT_FALSE(newer.empty());
        ATTACH_IN_USER_SPACE_OR_SKIP(image, mountPoint_);
        expectABusyStaleAttachmentFailsUntilFreed(image, newer, mountPoint_, [&] {
            if (recordsRemoved) fs::remove_all(env_.base() + "/state");
        });
        EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(env_.base()));
        test_support::detachEverythingUnder(env_.base());
        fs::remove(image);
        fs::remove(newer);
    }
}

// An attach whose record cannot be written would leave a mount known to no one: it detaches
// what it mounted, removes the folders it made and fails saying why, with either mount kind.
TEST_F(DiskImageToolUserSpaceTest, AnAttachWhoseRecordCannotBeWrittenIsUndone) {
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    ATTACH_IN_USER_SPACE_OR_SKIP(image, mountPoint_);
    ASSERT_EQ(tool({"detach", mountPoint_, "-quiet"}).status, 0);
    const std::string file = env_.base() + "/a file";
    std::ofstream(file) << "not a folder";
    fs::create_directories(env_.base() + "/real state");
    fs::create_symlink(env_.base() + "/real state", env_.base() + "/linked state");

    const struct {
        const char* what;
        std::string state;
        std::string reason;
    } unwritable[] = {
        {"under a file", file + "/state", "cannot make the records folder"},
        {"a link", env_.base() + "/linked state", "is not a folder of this user"},
    };
    for (const bool userSpace : {true, false}) {
        if (!userSpace && geteuid() != 0) continue;  // only root mounts with a loop device
        for (const auto& c : unwritable) {
            SCOPED_TRACE(std::string(userSpace ? "squashfuse, " : "loop, ") + c.what);
            test_support::ScopedEnvironment kind("BOOTSTRAP_DISK_IMAGE_MOUNT", userSpace ? "fuse" : "");
            test_support::ScopedEnvironment records("BOOTSTRAP_DISK_IMAGE_STATE", c.state);
            const std::string point = env_.base() + "/made/for it";
            ToolRun run = toolErrors({"attach", image, "-quiet", "-mountpoint", point});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.output.rfind("diskimage: attach failed - ", 0), 0u) << run.output;
            EXPECT_NE(run.output.find(c.reason), std::string::npos) << run.output;
            EXPECT_NE(run.output.find("detached again"), std::string::npos) << run.output;
            EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
            EXPECT_FALSE(mountedAt(point));
            EXPECT_FALSE(fs::exists(env_.base() + "/made"));
            EXPECT_TRUE(test_support::waitForNoSquashfuseUnder(env_.base()));
            test_support::detachEverythingUnder(env_.base());
        }
    }
    EXPECT_TRUE(fs::is_empty(env_.base() + "/real state"));
}

// Only "fuse" names a mount kind: anything else is refused before anything is made or mounted.
TEST_F(DiskImageToolUserSpaceTest, AnUnknownMountKindIsRefused) {
    const std::string image = makeImage(env_.base());
    ASSERT_FALSE(image.empty());
    for (const char* kind : {"loop", "FUSE", "fuse "}) {
        SCOPED_TRACE(kind);
        test_support::ScopedEnvironment variable("BOOTSTRAP_DISK_IMAGE_MOUNT", kind);
        ToolRun run = toolErrors({"attach", image, "-quiet", "-mountpoint", env_.base() + "/made/here"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find("BOOTSTRAP_DISK_IMAGE_MOUNT"), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(env_.base() + "/made"));
        EXPECT_TRUE(mountPointsOf(image).empty());
        test_support::detachEverythingUnder(env_.base());
    }
}

}  // namespace
