// Whole runs as root: the package is downloaded, attached and run only from a folder that no
// other user can change, whatever the console user's Application Support holds.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/ProcessLauncher.h"
#include "tests/bootstrapper/app/WholeRunChecks.h"
#include "tests/support/ChildProcesses.h"
#include "tests/support/FileContents.h"

namespace {

namespace fs = std::filesystem;
using test_support::WholeRun;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr const char* kRogueVersion = "9.9.9.9";

#define SKIP_UNLESS_ROOT()                                \
    do {                                                  \
        if (geteuid() != 0) GTEST_SKIP() << "needs root"; \
    } while (0)

std::string installedVersionFile(WholeRun& run) { return run.packagerFolder() + "/MSP/version.xml"; }

// The local Application Support, which other installers may share; a root run downloads into a
// folder of its own inside it.
std::string sharedSupportFolder(WholeRun& run) {
    return run.environment().localRoot() + "/Library/Application Support";
}

std::string localDownloadFolder(WholeRun& run) { return sharedSupportFolder(run) + "/MSP_ZOR"; }

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The other user's image, ready beside where the download lands: a packager of another version
// (smaller than the served one, so that it fits in its file).
void makeRogueImage(WholeRun& run, const std::string& destination) {
    const char* source = std::getenv("PROJECT_SOURCE_DIR");
    const char* binary = std::getenv("PROJECT_BINARY_DIR");
    const std::string product = run.environment().base() + "/rogue-product";
    std::string output;
    int status = -1;
    ASSERT_TRUE(
        platform::runProcessCapturingOutput("/usr/bin/python3",
                                            {std::string(source ? source : ".") + "/tools/make-sample-product", product,
                                             "--version", kRogueVersion, "--padding-size", "1000", "--stringtable",
                                             std::string(binary ? binary : ".") + "/tools/stringtable/stringtable"},
                                            output, status));
    ASSERT_EQ(status, 0) << output;
    fs::copy_file(product + "/packager.sqfs", destination);
    ASSERT_EQ(chown(destination.c_str(), kNobody, kNogroup), 0);
}

// For a child: the other user from here on, for good.
bool becomeNobody() {
    return setgroups(0, nullptr) == 0 && setresgid(kNogroup, kNogroup, kNogroup) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

// The home as a `sudo -E` run sees it: the other user's, with their Library in it.
std::string giveHomeToNobody(WholeRun& run) {
    const std::string home = run.environment().home();
    const std::string support = home + "/Library/Application Support";
    fs::create_directories(support);
    for (const std::string& path : {home, home + "/Library", support}) {
        EXPECT_EQ(chown(path.c_str(), kNobody, kNogroup), 0) << path;
    }
    // The other user reaches their home through the test's own folder.
    EXPECT_EQ(chmod(run.environment().base().c_str(), 0711), 0);
    return support;
}

TEST(WholeRunRootTest, TheUserWhoseFolderItWasCannotSwapTheImageBeforeItIsAttached) {
    SKIP_UNLESS_ROOT();
    SKIP_WITHOUT_MOUNTING();
    WholeRun run;
    run.makeProduct();
    const std::string support = giveHomeToNobody(run);
    const std::string rogue = support + "/.rogue.sqfs";
    ASSERT_NO_FATAL_FAILURE(makeRogueImage(run, rogue));
    const std::string target = support + "/packager.sqfs";
    const std::string stop = run.environment().base() + "/stop-swapping";

    // As that user: the moment the downloaded image appears under its name, the rogue one takes
    // its place; the window until the attach is at least two worker ticks.
    test_support::ChildGroup swapper(1, [&](int) {
        if (!becomeNobody()) return 2;
        const struct timespec pause = {0, 100000};
        struct stat st {};
        while (lstat(stop.c_str(), &st) != 0) {
            if (lstat(target.c_str(), &st) == 0 && st.st_uid != kNobody)
                return rename(rogue.c_str(), target.c_str()) == 0 ? 0 : 3;
            nanosleep(&pause, nullptr);
        }
        return 1;
    });
    ASSERT_TRUE(swapper.forked());
    swapper.start();

    run.start();
    const bool finished = run.finish();
    std::ofstream(stop) << "stop";
    const std::vector<int> statuses = swapper.wait();
    ASSERT_TRUE(finished);

    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], 1) << "the download appeared where the other user could swap it";
    const std::string installed = test_support::readFile(installedVersionFile(run));
    EXPECT_NE(installed.find("1.0.0.1"), std::string::npos) << installed;
    EXPECT_EQ(installed.find(kRogueVersion), std::string::npos) << "the other user's installer ran";
    EXPECT_TRUE(fs::exists(rogue)) << "the other user's image was never used";
    // The assets went to a folder of root's alone.
    const std::string own = localDownloadFolder(run);
    struct stat st {};
    ASSERT_EQ(lstat(own.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(run.events(), test_support::kAllEvents);
}

struct SharedFolderCase {
    const char* name;
    mode_t mode;  // of the local Application Support
    bool installs;
};

void PrintTo(const SharedFolderCase& c, std::ostream* out) { *out << c.name; }

class SharedFolderTest : public ::testing::TestWithParam<SharedFolderCase> {};

// The other user makes the partial download's file before the run and keeps it open, to write
// their own image through it once it has the image's name.
TEST_P(SharedFolderTest, AnotherUsersFileThereNeverBecomesTheImage) {
    SKIP_UNLESS_ROOT();
    SKIP_WITHOUT_MOUNTING();
    const SharedFolderCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    const std::string shared = sharedSupportFolder(run);
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), c.mode), 0);
    const std::string rogue = run.environment().base() + "/rogue.sqfs";
    ASSERT_NO_FATAL_FAILURE(makeRogueImage(run, rogue));
    const std::string rogueBytes = test_support::readFile(rogue);
    ASSERT_FALSE(rogueBytes.empty());
    const std::string planted = shared + "/packager.sqfs.zamdownload";
    const std::string image = shared + "/packager.sqfs";
    std::ofstream(planted).close();
    ASSERT_EQ(chown(planted.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(chmod(planted.c_str(), 0666), 0);
    const int held = open(planted.c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    const std::string stop = run.environment().base() + "/stop-writing";
    // The other user reaches the shared folder through the test's own folder.
    ASSERT_EQ(chmod(run.environment().base().c_str(), 0711), 0);

    test_support::ChildGroup writer(1, [&](int) {
        if (!becomeNobody()) return 2;
        struct stat mine {};
        if (fstat(held, &mine) != 0) return 2;
        const struct timespec pause = {0, 100000};
        const auto deadline = std::chrono::steady_clock::now() + 3 * WholeRun::kWait;
        struct stat st {};
        while (lstat(stop.c_str(), &st) != 0) {
            if (std::chrono::steady_clock::now() > deadline) return 4;
            if (lstat(image.c_str(), &st) == 0 && st.st_ino == mine.st_ino && st.st_dev == mine.st_dev) {
                const ssize_t n = pwrite(held, rogueBytes.data(), rogueBytes.size(), 0);
                return n == static_cast<ssize_t>(rogueBytes.size()) ? 0 : 3;
            }
            nanosleep(&pause, nullptr);
        }
        return 1;
    });
    ASSERT_TRUE(writer.forked());
    writer.start();
    close(held);

    run.start();
    if (!c.installs) {
        EXPECT_TRUE(run.waitForFatal(test_support::kA12E2)) << run.window().describeCalls();
        EXPECT_TRUE(run.window().clickQuit());
    }
    const bool finished = run.finish();
    std::ofstream(stop) << "stop";
    const std::vector<int> statuses = writer.wait();
    ASSERT_TRUE(finished);

    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], 1) << "the other user's file became the image";
    EXPECT_EQ(test_support::installedVersion(run), c.installs ? "1.0.0.1" : "");
    EXPECT_EQ(modeOf(shared), c.mode) << "the shared folder's mode was changed";
    if (c.installs) {
        EXPECT_EQ(modeOf(localDownloadFolder(run)), 0700u);
        EXPECT_EQ(run.events(), test_support::kAllEvents);
    } else {
        EXPECT_EQ(test_support::countLines(run.logLines(), "may be written by other users"), 1u)
            << test_support::joinLines(run.logLines());
    }
}

// A shared folder that is not sticky lets others replace the run's own folder in it: refused.
const SharedFolderCase kSharedFolderCases[] = {
    {"others_may_write", 0777, false},
    {"sticky_and_others_may_write", 01777, true},
};

INSTANTIATE_TEST_SUITE_P(Shared, SharedFolderTest, ::testing::ValuesIn(kSharedFolderCases),
                         [](const ::testing::TestParamInfo<SharedFolderCase>& info) { return info.param.name; });

struct UnsafeFolderCase {
    const char* name;
    std::function<void(const std::string& folder)> plant;  // the run's own folder
    bool installs;
    const char* reason;  // in the log when refused
};

void PrintTo(const UnsafeFolderCase& c, std::ostream* out) { *out << c.name; }

class UnsafeFolderTest : public ::testing::TestWithParam<UnsafeFolderCase> {};

TEST_P(UnsafeFolderTest, ARootRunUsesOnlyAFolderOfRootsAlone) {
    SKIP_UNLESS_ROOT();
    SKIP_WITHOUT_MOUNTING();
    const UnsafeFolderCase& c = GetParam();
    WholeRun run;
    run.makeProduct();
    const std::string folder = localDownloadFolder(run);
    fs::create_directories(fs::path(folder).parent_path());
    c.plant(folder);
    const mode_t mode = modeOf(folder);
    run.start();
    if (!c.installs) {
        ASSERT_TRUE(run.waitForFatal(test_support::kA12E2)) << run.window().describeCalls();
        ASSERT_TRUE(run.window().clickQuit());
    }
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(fs::exists(installedVersionFile(run)), c.installs);
    EXPECT_EQ(modeOf(folder), mode) << "the mode of a folder the run did not make was changed";
    if (c.installs) return;
    EXPECT_TRUE(run.events().empty());
    EXPECT_EQ(test_support::countLines(run.logLines(), c.reason), 1u) << test_support::joinLines(run.logLines());
}

const UnsafeFolderCase kUnsafeFolderCases[] = {
    {"a_link_to_the_users_folder",
     [](const std::string& folder) {
         const std::string elsewhere = folder + "-elsewhere";
         fs::create_directories(elsewhere);
         ASSERT_EQ(chown(elsewhere.c_str(), kNobody, kNogroup), 0);
         fs::create_directory_symlink(elsewhere, folder);
     },
     false, "is a symbolic link"},
    {"a_file", [](const std::string& folder) { std::ofstream(folder) << "not a folder"; }, false, "is not a folder"},
    {"the_users_folder",
     [](const std::string& folder) {
         fs::create_directories(folder);
         ASSERT_EQ(chown(folder.c_str(), kNobody, kNogroup), 0);
     },
     false, "belongs to another user"},
    {"a_parent_the_user_may_write",
     [](const std::string& folder) { ASSERT_EQ(chmod(fs::path(folder).parent_path().parent_path().c_str(), 0777), 0); },
     false, "may be written by other users"},
    // Root's folder that others may write, sticky or not, may already hold what they put there:
    // it is refused as it is, never narrowed and used.
    {"a_folder_others_may_write",
     [](const std::string& folder) {
         fs::create_directories(folder);
         ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
     },
     false, "may be written by other users"},
    {"a_sticky_folder_others_may_write",
     [](const std::string& folder) {
         fs::create_directories(folder);
         ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
     },
     false, "may be written by other users"},
    {"a_folder_its_group_may_write",
     [](const std::string& folder) {
         fs::create_directories(folder);
         ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
     },
     false, "may be written by other users"},
    {"roots_own_folder_from_an_earlier_run",
     [](const std::string& folder) {
         fs::create_directories(folder);
         ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
     },
     true, ""},
};

INSTANTIATE_TEST_SUITE_P(Folders, UnsafeFolderTest, ::testing::ValuesIn(kUnsafeFolderCases),
                         [](const ::testing::TestParamInfo<UnsafeFolderCase>& info) { return info.param.name; });

}  // namespace
