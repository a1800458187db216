// Forked test children and their exit statuses.
#include "tests/support/ChildProcesses.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace test_support {
namespace {

bool reap(pid_t pid, int& status) {
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return reaped == pid;
}

}  // namespace

int waitForExitStatus(pid_t pid) {
    int status = 0;
    if (!reap(pid, status)) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int runProgram(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return -1;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (!reap(pid, status) || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int runInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    return waitForExitStatus(pid);
}

ChildGroup::ChildGroup(int count, const std::function<int(int index)>& body) {
    if (::pipe2(startPipe_, O_CLOEXEC) != 0) {
        forked_ = false;
        return;
    }
    for (int index = 0; index < count; ++index) {
        const pid_t pid = ::fork();
        if (pid < 0) {
            forked_ = false;
            return;
        }
        if (pid == 0) {
            ::close(startPipe_[1]);
            char go;
            // End of file once the parent closes its end; a byte would mean a stray writer.
            if (::read(startPipe_[0], &go, 1) != 0) ::_exit(125);
            ::_exit(body(index));
        }
        children_.push_back(pid);
    }
}

void ChildGroup::start() {
    for (int& end : startPipe_) {
        if (end >= 0) ::close(end);
        end = -1;
    }
}

std::vector<int> ChildGroup::wait() {
    start();
    std::vector<int> statuses;
    for (const pid_t pid : children_) statuses.push_back(waitForExitStatus(pid));
    children_.clear();
    return statuses;
}

ChildGroup::~ChildGroup() {
    start();
    for (const pid_t pid : children_) {
        ::kill(pid, SIGKILL);
        waitForExitStatus(pid);
    }
}

}  // namespace test_support
