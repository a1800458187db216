// User-space mounts of a test: squashfuse processes found by their command lines in /proc.
#include "tests/support/UserSpaceMounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "platform/MountTable.h"
#include "tests/support/ChildProcesses.h"

namespace test_support {
namespace {

// A process's arguments; none for a zombie, whose command line is empty, or one that just ended.
std::vector<std::string> argumentsOf(pid_t pid) {
    std::string text;
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                text.clear();
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
    }
    std::vector<std::string> arguments;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        arguments.push_back(text.substr(at, end - at));
    }
    return arguments;
}

bool under(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

bool isSquashfuse(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return false;
    const std::string& program = arguments.front();
    return program.substr(program.find_last_of('/') + 1) == "squashfuse";
}

// The squashfuse processes one of whose arguments passes the test.
template <typename Test>
std::vector<pid_t> squashfuseProcesses(Test test) {
    std::vector<pid_t> found;
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) return found;
    while (const dirent* entry = ::readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const auto arguments = argumentsOf(static_cast<pid_t>(pid));
        if (isSquashfuse(arguments) && std::any_of(arguments.begin() + 1, arguments.end(), test))
            found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(processes);
    return found;
}

bool answersNotConnected(const std::string& mountPoint) {
    struct stat st {};
    return ::stat(mountPoint.c_str(), &st) != 0 && errno == ENOTCONN;
}

}  // namespace

std::string missingUserSpaceMounts() {
    if (::access("/usr/bin/squashfuse", X_OK) != 0) return "squashfuse is not installed";
    if (::access("/dev/fuse", F_OK) != 0) return "this machine has no /dev/fuse";
    return "";
}

std::vector<pid_t> squashfuseProcessesUnder(const std::string& folder) {
    return squashfuseProcesses([&](const std::string& argument) { return under(argument, folder); });
}

bool waitForNoSquashfuseUnder(const std::string& folder, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!squashfuseProcessesUnder(folder).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool killSquashfuseAt(const std::string& mountPoint) {
    const auto servers = squashfuseProcesses([&](const std::string& argument) { return argument == mountPoint; });
    if (servers.empty()) return false;
    for (const pid_t pid : servers) ::kill(pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!answersNotConnected(mountPoint)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void detachEverythingUnder(const std::string& folder) {
    std::vector<std::string> points;
    for (const platform::MountEntry& entry : platform::currentMounts())
        if (under(entry.mountPoint, folder)) points.push_back(entry.mountPoint);
    // Mount order: the last is on top, and below it what it covers.
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        if (::umount2(it->c_str(), MNT_DETACH) == 0) continue;
        for (const char* helper : {"/usr/bin/fusermount3", "/usr/bin/fusermount", "/bin/fusermount"}) {
            if (::access(helper, X_OK) == 0) {
                runProgram({helper, "-u", "-z", *it});
                break;
            }
        }
    }
    for (const pid_t pid : squashfuseProcessesUnder(folder)) ::kill(pid, SIGKILL);
    waitForNoSquashfuseUnder(folder);
}

}  // namespace test_support
