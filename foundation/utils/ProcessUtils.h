// ZEZUUtils::ProcessUtils: starting a program with an argument list, never through a shell.
#pragma once

#include <string>
#include <vector>

namespace ZEZUUtils {

class ProcessUtils {
public:
    // Starts path with arguments as its argv[1..]. False when nothing is at path or it cannot
    // be started. With waitForExit the call waits and exitStatus gets the exit code (128 +
    // the signal number when a signal ended the child). With bringToFront the program is
    // started detached in its own session and not waited for; exitStatus then reads
    // (unsigned long)-1 when a wait was asked for. processId and reference are unused.
    static bool LaunchProcess(const std::string& path, const std::vector<std::string>& arguments,
                              unsigned long& processId, bool waitForExit, unsigned long& exitStatus,
                              bool bringToFront, const int reference, void* logger = nullptr);
};

}  // namespace ZEZUUtils
