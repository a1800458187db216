// Starting programs with an argument vector: statuses, failures, verbatim arguments, detaching.
#include "platform/Bundle.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"

#include "tests/support/FileContents.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using test_support::ScopedEnvironment;

const std::string kProbe = PROCESS_PROBE;

std::vector<std::string> splitNul(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\0') continue;
        parts.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

using test_support::readFile;

std::string linkTarget(const char* link) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(link, error);
    return error ? std::string("-") : target.string();
}

TEST(ProcessLauncher, ExitStatusesAndSignalDeaths) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{"exit", "0"}, 0},
        {{"exit", "1"}, 1},
        {{"exit", "42"}, 42},
        {{"exit", "255"}, 255},
        {{"signal", std::to_string(SIGKILL)}, 128 + SIGKILL},
        {{"signal", std::to_string(SIGTERM)}, 128 + SIGTERM},
        {{"signal", std::to_string(SIGINT)}, 128 + SIGINT},
    };
    for (const auto& c : cases) {
        int status = -7;
        ASSERT_TRUE(platform::runProcess(kProbe, c.arguments, status)) << c.arguments[0] << " " << c.arguments[1];
        EXPECT_EQ(status, c.status) << c.arguments[0] << " " << c.arguments[1];
    }
}

TEST(ProcessLauncher, UnstartablePathsFailAndLeaveStatusAlone) {
    test_support::TemporaryEnvironment env;
    const std::string plain = env.base() + "/not-executable";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    chmod(plain.c_str(), 0644);
    for (const std::string& path : {std::string(), env.base() + "/missing", plain, env.base()}) {
        int status = -7;
        EXPECT_FALSE(platform::runProcess(path, {}, status)) << path;
        EXPECT_EQ(status, -7) << path;
        std::string output = "unchanged";
        EXPECT_FALSE(platform::runProcessCapturingOutput(path, {}, output, status)) << path;
        EXPECT_EQ(output, "unchanged") << path;
        EXPECT_FALSE(platform::launchDetachedProcess(path, {})) << path;
    }
}

TEST(ProcessLauncher, AFailedStartGivesTheReasonAndAStartedOneNone) {
    test_support::TemporaryEnvironment env;
    const std::string plain = env.base() + "/not-executable";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    chmod(plain.c_str(), 0644);
    const struct {
        const char* what;
        std::string path;
        std::string workingFolder;
        int reason;
    } cases[] = {
        {"started", kProbe, "", 0},
        {"empty path", "", "", ENOENT},
        {"missing file", env.base() + "/missing", "", ENOENT},
        {"not executable", plain, "", EACCES},
        {"a folder", env.base(), "", EACCES},
        {"a missing working folder", kProbe, env.base() + "/missing", ENOENT},
        {"a file as working folder", kProbe, plain, ENOTDIR},
    };
    for (const auto& c : cases) {
        platform::ProcessOptions options;
        options.workingFolder = c.workingFolder;
        int startError = -7;
        pid_t pid = -1;
        EXPECT_EQ(platform::startProcess(c.path, {}, pid, options, &startError), c.reason == 0) << c.what;
        EXPECT_EQ(startError, c.reason) << c.what;
        if (c.reason == 0) {
            EXPECT_TRUE(platform::waitForProcess(pid).has_value()) << c.what;
        }
        int status = -7;
        startError = -7;
        EXPECT_EQ(platform::runProcess(c.path, {}, status, options, &startError), c.reason == 0) << c.what;
        EXPECT_EQ(startError, c.reason) << c.what;
    }
}

TEST(ProcessLauncher, ArgumentsReachTheChildVerbatimWithoutAShell) {
    test_support::TemporaryEnvironment env;
    const std::string marker = env.base() + "/ran";
    const std::vector<std::string> arguments = {"two words",
                                                "\"double\"",
                                                "'single'",
                                                "$(touch " + marker + ")",
                                                "`touch " + marker + "`",
                                                "; touch " + marker,
                                                "*",
                                                "",
                                                "back\\slash",
                                                "new\nline",
                                                "--sessionId=a b&c|d"};
    std::vector<std::string> argv = {"echo"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput(kProbe, argv, output, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(splitNul(output), arguments);
    EXPECT_FALSE(std::filesystem::exists(marker));

    // The same through a shell as the child: the argument is still data, not a command.
    ASSERT_TRUE(platform::runProcessCapturingOutput("/bin/sh", {"-c", "printf '%s' \"$1\"", "sh", arguments[3]}, output,
                                                    status));
    EXPECT_EQ(output, arguments[3]);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ProcessLauncher, CapturesOutputLargerThanAPipeAndCapsIt) {
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput(kProbe, {"bulk", "1024"}, output, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output.size(), 1024u * 1024u);
    ASSERT_TRUE(platform::runProcessCapturingOutput(kProbe, {"bulk", "1024"}, output, status, 1000));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, std::string(1000, 'x'));
}

TEST(ProcessLauncher, ChildInheritsNoDescriptorAboveStandardError) {
    int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput(kProbe, {"fds"}, output, status));
    close(leaked);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "");
}

TEST(ProcessLauncher, DetachedChildRunsInItsOwnSessionAndIsReaped) {
    test_support::TemporaryEnvironment env;
    const std::string report = env.base() + "/session";
    pid_t pid = -1;
    ASSERT_TRUE(platform::launchDetachedProcess(kProbe, {"session", report}, &pid));
    ASSERT_GT(pid, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(report) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string text;
    std::ifstream(report) >> text;
    EXPECT_EQ(text, "1");
    // A zombie still answers kill(pid, 0); a reaped child does not.
    while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ProcessLauncher, OptionsSetTheWorkingFolderAndSendOutputToTheNullDevice) {
    test_support::TemporaryEnvironment env;
    const std::string folder = env.base() + "/work folder";
    std::filesystem::create_directories(folder);
    platform::ProcessOptions options;
    options.workingFolder = folder;
    options.discardOutput = true;
    const std::vector<std::string> expected = {std::filesystem::canonical(folder).string(), "/dev/null", "/dev/null"};

    const std::string report = env.base() + "/where";
    int status = -1;
    ASSERT_TRUE(platform::runProcess(kProbe, {"where", report}, status, options));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines(readFile(report)), expected);

    pid_t pid = -1;
    const std::string started = env.base() + "/where-started";
    ASSERT_TRUE(platform::startProcess(kProbe, {"where", started}, pid, options));
    EXPECT_EQ(platform::waitForProcess(pid), 0);
    EXPECT_EQ(lines(readFile(started)), expected);

    // Without options the child keeps this process's folder and streams.
    const std::string plain = env.base() + "/where-plain";
    ASSERT_TRUE(platform::runProcess(kProbe, {"where", plain}, status));
    EXPECT_EQ(lines(readFile(plain)),
              (std::vector<std::string>{std::filesystem::current_path().string(), linkTarget("/proc/self/fd/1"),
                                        linkTarget("/proc/self/fd/2")}));

    // Only the output option: the folder stays this process's.
    platform::ProcessOptions quiet;
    quiet.discardOutput = true;
    const std::string quietReport = env.base() + "/where-quiet";
    ASSERT_TRUE(platform::runProcess(kProbe, {"where", quietReport}, status, quiet));
    EXPECT_EQ(lines(readFile(quietReport)),
              (std::vector<std::string>{std::filesystem::current_path().string(), "/dev/null", "/dev/null"}));
}

TEST(ProcessLauncher, AWorkingFolderTheChildCannotEnterIsAFailedStart) {
    test_support::TemporaryEnvironment env;
    const std::string file = env.base() + "/a file";
    std::ofstream(file) << "x";
    const std::string marker = env.base() + "/ran";
    for (const std::string& folder : {env.base() + "/missing", file, file + "/below"}) {
        platform::ProcessOptions options;
        options.workingFolder = folder;
        int status = -7;
        EXPECT_FALSE(platform::runProcess(kProbe, {"record", marker}, status, options)) << folder;
        EXPECT_EQ(status, -7) << folder;
        pid_t pid = -1;
        EXPECT_FALSE(platform::startProcess(kProbe, {"record", marker}, pid, options)) << folder;
        EXPECT_FALSE(std::filesystem::exists(marker)) << folder;
    }
}

TEST(ProcessLauncher, DiscardedOutputNeverBlocksTheChild) {
    platform::ProcessOptions options;
    options.discardOutput = true;
    int status = -1;
    // 1 MiB on each stream: with nobody reading a pipe the child would block for ever.
    ASSERT_TRUE(platform::runProcess(kProbe, {"bulk-both", "1024"}, status, options));
    EXPECT_EQ(status, 0);
}

TEST(ProcessLauncher, ResourcesFolderAndMountRootVariables) {
    test_support::TemporaryEnvironment env;
    {
        ScopedEnvironment unset(platform::kMountRootVariable, nullptr);
        EXPECT_EQ(platform::mountRoot(), "/tmp/ZSU");
    }
    {
        ScopedEnvironment empty(platform::kMountRootVariable, "");
        EXPECT_EQ(platform::mountRoot(), "/tmp/ZSU");
    }
    {
        ScopedEnvironment moved(platform::kMountRootVariable, (env.base() + "/mnt").c_str());
        EXPECT_EQ(platform::mountRoot(), env.base() + "/mnt");
    }

    // This test executable sits in no bundle, so only the variable gives a resources folder.
    const std::string resources = env.base() + "/Resources";
    std::filesystem::create_directories(resources);
    std::ofstream(resources + "/productInfo.xml") << "<x/>";
    {
        ScopedEnvironment unset(platform::kResourcesFolderVariable, nullptr);
        EXPECT_EQ(platform::bundleResourcesFolder(), std::nullopt);
        EXPECT_EQ(platform::bundleResourcePath("productInfo", "xml"), std::nullopt);
    }
    {
        ScopedEnvironment empty(platform::kResourcesFolderVariable, "");
        EXPECT_EQ(platform::bundleResourcesFolder(), std::nullopt);
    }
    {
        ScopedEnvironment moved(platform::kResourcesFolderVariable, resources.c_str());
        EXPECT_EQ(platform::bundleResourcesFolder(), resources);
        EXPECT_EQ(platform::bundleResourcePath("productInfo", "xml"), resources + "/productInfo.xml");
        EXPECT_EQ(platform::bundleResourcePath("systemCheck", "xml"), std::nullopt);
    }
}

TEST(ProcessLauncher, BundleLookupsFromTheRunningExecutable) {
    test_support::TemporaryEnvironment env;
    ScopedEnvironment noResourcesFolder(platform::kResourcesFolderVariable, nullptr);
    const std::string bundle = env.base() + "/Probe.app";
    const std::string macos = bundle + "/Contents/MacOS";
    std::filesystem::create_directories(macos);
    std::filesystem::create_directories(bundle + "/Contents/Resources/Dictionary");
    std::filesystem::copy_file(kProbe, macos + "/probe");
    std::ofstream(macos + "/diskimage") << "";
    unsetenv(platform::kDiskImageToolVariable);

    std::string output;
    int status = -1;
    ASSERT_TRUE(platform::runProcessCapturingOutput(macos + "/probe", {"bundle"}, output, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines(output),
              (std::vector<std::string>{bundle, bundle + "/Contents/Resources",
                                        bundle + "/Contents/Resources/Dictionary", macos + "/diskimage"}));

    // Outside a bundle: the executable itself, no resources, the installed tool.
    const std::string loose = env.base() + "/loose";
    std::filesystem::create_directories(loose);
    std::filesystem::copy_file(kProbe, loose + "/probe");
    ASSERT_TRUE(platform::runProcessCapturingOutput(loose + "/probe", {"bundle"}, output, status));
    EXPECT_EQ(lines(output), (std::vector<std::string>{loose + "/probe", "-", "-", platform::kInstalledDiskImageTool}));

    // The variable wins over both.
    setenv(platform::kDiskImageToolVariable, "/opt/tool", 1);
    ASSERT_TRUE(platform::runProcessCapturingOutput(macos + "/probe", {"bundle"}, output, status));
    unsetenv(platform::kDiskImageToolVariable);
    ASSERT_EQ(lines(output).size(), 4u);
    EXPECT_EQ(lines(output)[3], "/opt/tool");

    // The resources variable wins over the bundle, for the child as for every look-up.
    const std::string resources = env.base() + "/Elsewhere";
    std::filesystem::create_directories(resources + "/Dictionary");
    {
        ScopedEnvironment moved(platform::kResourcesFolderVariable, resources.c_str());
        ASSERT_TRUE(platform::runProcessCapturingOutput(macos + "/probe", {"bundle"}, output, status));
    }
    EXPECT_EQ(lines(output),
              (std::vector<std::string>{bundle, resources, resources + "/Dictionary", macos + "/diskimage"}));
}

}  // namespace
