// Starting programs with an argument vector (never through a shell) and waiting for them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The child gets argv = {path, arguments...} verbatim, the parent's environment, no
// descriptor above 2, an empty signal mask and default signal handling.
// Every result that is a status is the child's exit code, or 128 + the signal number when a
// signal ended it, so that a killed child never reads as success.

// How the child starts, beyond the defaults above.
struct ProcessOptions {
    // The child's working folder; empty keeps the parent's. The child changes to it before
    // exec, so a relative path names a file relative to this folder: pass absolute paths.
    std::string workingFolder;
    // Standard output and standard error on the null device.
    bool discardOutput = false;
};

// Starts the program. False when it cannot be started, an exec failure (missing or
// non-executable file) and a working folder it cannot change to included. A given startError
// gets why, as an errno value (strerror gives its text), or 0 when the program started.
bool startProcess(const std::string& path, const std::vector<std::string>& arguments, pid_t& pid,
                  const ProcessOptions& options = {}, int* startError = nullptr);

// Waits for a child started here (retrying on EINTR) and gives its status; nullopt when
// there is no such child.
std::optional<int> waitForProcess(pid_t pid);

// Reaps a child started here from a detached thread, for callers that do not wait for it.
void reapInBackground(pid_t pid);

// Starts the program and waits for it. False when it could not be started (startError as for
// startProcess) or could not be waited for.
bool runProcess(const std::string& path, const std::vector<std::string>& arguments, int& exitStatus,
                const ProcessOptions& options = {}, int* startError = nullptr);

// As runProcess, with the child's standard output read to its end into output (at most
// maxOutput bytes are kept; the rest is read and dropped so the child never blocks).
bool runProcessCapturingOutput(const std::string& path, const std::vector<std::string>& arguments, std::string& output,
                               int& exitStatus, size_t maxOutput = 16u << 20);

// As runProcessCapturingOutput for the child's standard error, with its standard output on the
// null device: what a helper says when it fails, kept from our own streams.
bool runProcessCapturingErrors(const std::string& path, const std::vector<std::string>& arguments,
                               std::string& errorOutput, int& exitStatus, size_t maxOutput = 64u << 10);

// Starts the program in a session of its own and returns at once. A detached thread reaps
// it, so no zombie is left and SIGCHLD is left alone.
bool launchDetachedProcess(const std::string& path, const std::vector<std::string>& arguments, pid_t* pid = nullptr);

}  // namespace platform
