// Starting programs with posix_spawn and reaping them with waitpid.
#include "platform/ProcessLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/FileDescriptor.h"

extern char** environ;

namespace platform {
namespace {

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        // Signals ignored here (SIGPIPE by curl users) must not stay ignored in the child.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGCHLD);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        flags_ = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void newSession() { flags_ |= POSIX_SPAWN_SETSID; }
    void streamTo(int fd, int stream) { posix_spawn_file_actions_adddup2(&actions_, fd, stream); }
    void streamToNull(int stream) { posix_spawn_file_actions_addopen(&actions_, stream, "/dev/null", O_WRONLY, 0); }

    // The actions run in order in the child and any failure fails the spawn, so a folder it
    // cannot enter or a /dev/null it cannot open is a failed start, not a child exit status.
    void apply(const ProcessOptions& options) {
        if (options.discardOutput) {
            posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        }
        if (!options.workingFolder.empty()) {
            // The action keeps its own copy of the text.
            posix_spawn_file_actions_addchdir_np(&actions_, options.workingFolder.c_str());
        }
    }

    // 0, or the errno-style reason the program could not be started.
    int spawn(const std::string& path, const std::vector<std::string>& arguments, pid_t& pid) {
        if (path.empty()) return ENOENT;
        // Whatever was opened without O_CLOEXEC must still not reach the child.
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        posix_spawnattr_setflags(&attributes_, static_cast<short>(flags_));
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 2);
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_t child = -1;
        // glibc reports a failed exec as the return value, so a missing or non-executable
        // file is an error here and not an exit status of 127.
        const int error = posix_spawn(&child, path.c_str(), &actions_, &attributes_, argv.data(), environ);
        if (error != 0) return error;
        pid = child;
        return 0;
    }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
    int flags_ = 0;
};

}  // namespace

bool startProcess(const std::string& path, const std::vector<std::string>& arguments, pid_t& pid,
                  const ProcessOptions& options, int* startError) {
    SpawnSetup setup;
    setup.apply(options);
    const int error = setup.spawn(path, arguments, pid);
    if (startError) *startError = error;
    return error == 0;
}

std::optional<int> waitForProcess(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t rc = waitpid(pid, &status, 0);
        if (rc == pid) break;
        if (rc < 0 && errno == EINTR) continue;
        return std::nullopt;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 128;
}

void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] { waitForProcess(pid); }).detach();
    } catch (...) {
        // Without a thread the child stays a zombie until we exit; it still runs.
    }
}

bool runProcess(const std::string& path, const std::vector<std::string>& arguments, int& exitStatus,
                const ProcessOptions& options, int* startError) {
    pid_t pid = -1;
    if (!startProcess(path, arguments, pid, options, startError)) return false;
    auto status = waitForProcess(pid);
    if (!status) return false;
    exitStatus = *status;
    return true;
}

namespace {

// Starts the program with one of its output streams on a pipe, reads the pipe to its end and waits.
bool runCapturing(const std::string& path, const std::vector<std::string>& arguments, int stream, std::string& output,
                  int& exitStatus, size_t maxOutput) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    platform::FileDescriptor readEnd(fds[0]);
    platform::FileDescriptor writeEnd(fds[1]);
    pid_t pid = -1;
    {
        SpawnSetup setup;
        if (stream == STDERR_FILENO) setup.streamToNull(STDOUT_FILENO);
        setup.streamTo(writeEnd.get(), stream);
        if (setup.spawn(path, arguments, pid) != 0) return false;
    }
    writeEnd.reset();
    std::string captured;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t room = maxOutput > captured.size() ? maxOutput - captured.size() : 0;
        captured.append(buffer, std::min(room, static_cast<size_t>(n)));
    }
    auto status = waitForProcess(pid);
    if (!status) return false;
    output = std::move(captured);
    exitStatus = *status;
    return true;
}

}  // namespace

bool runProcessCapturingOutput(const std::string& path, const std::vector<std::string>& arguments, std::string& output,
                               int& exitStatus, size_t maxOutput) {
    return runCapturing(path, arguments, STDOUT_FILENO, output, exitStatus, maxOutput);
}

bool runProcessCapturingErrors(const std::string& path, const std::vector<std::string>& arguments,
                               std::string& errorOutput, int& exitStatus, size_t maxOutput) {
    return runCapturing(path, arguments, STDERR_FILENO, errorOutput, exitStatus, maxOutput);
}

bool launchDetachedProcess(const std::string& path, const std::vector<std::string>& arguments, pid_t* pid) {
    SpawnSetup setup;
    setup.newSession();
    pid_t child = -1;
    if (setup.spawn(path, arguments, child) != 0) return false;
    reapInBackground(child);
    if (pid) *pid = child;
    return true;
}

}  // namespace platform
