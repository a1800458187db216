// A private X server for window tests: Xvfb on a display number it picks itself, and the
// environment GTK needs to behave the same on every machine.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <vector>

#include "tests/support/ChildProcesses.h"

extern char** environ;

namespace gtk_test {

// A program found on PATH, or empty.
inline std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

using test_support::runProgram;

// Starts Xvfb with -displayfd, so parallel tests never race for a display number.
class XvfbDisplay {
public:
    XvfbDisplay() {
        const std::string xvfb = findOnPath("Xvfb");
        if (xvfb.empty()) {
            skipReason_ = "Xvfb is not installed";
            return;
        }
        if (findOnPath("xdotool").empty()) {
            skipReason_ = "xdotool is not installed";
            return;
        }
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            skipReason_ = "no pipe for Xvfb";
            return;
        }
        std::vector<std::string> argv = {xvfb, "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"};
        std::vector<char*> args;
        for (std::string& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // The server goes with the test process, even when a test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int devNull = ::open("/dev/null", O_RDWR);
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            ::dup2(devNull, 2);
            ::dup2(pipeFds[1], 3);
            ::execv(xvfb.c_str(), args.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        if (pid_ < 0) {
            ::close(pipeFds[0]);
            skipReason_ = "Xvfb cannot be started";
            return;
        }
        // Xvfb writes the display number once it accepts connections; it ends the line with \n.
        std::string number;
        char c = 0;
        pollfd waitFor{pipeFds[0], POLLIN, 0};
        while (::poll(&waitFor, 1, 30000) > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
        ::close(pipeFds[0]);
        if (number.empty()) {
            skipReason_ = "Xvfb cannot start here (no display number reported)";
            stop();
            return;
        }
        display_ = ":" + number;
    }
    ~XvfbDisplay() { stop(); }
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool running() const { return !display_.empty(); }
    const std::string& skipReason() const { return skipReason_; }
    const std::string& display() const { return display_; }

    // The environment a GTK test runs in: this display, X11, a fixed theme, no input methods,
    // no accessibility bus, settings in memory.
    void applyEnvironment() const {
        ::setenv("DISPLAY", display_.c_str(), 1);
        ::setenv("GDK_BACKEND", "x11", 1);
        ::setenv("GTK_THEME", "Adwaita", 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
        ::unsetenv("GTK_IM_MODULE");
        ::unsetenv("XMODIFIERS");
    }

private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::string display_;
    std::string skipReason_;
};

}  // namespace gtk_test
