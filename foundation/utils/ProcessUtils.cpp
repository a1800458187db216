// ZEZUUtils::ProcessUtils on the platform's process launcher.
#include "foundation/utils/ProcessUtils.h"

#include "foundation/utils/UtilsLogging.h"
#include "platform/ProcessLauncher.h"

#include <sys/stat.h>

namespace ZEZUUtils {
namespace {
const char* const kClassName = "ProcessUtils";
const unsigned long kNoExitStatus = static_cast<unsigned long>(-1);
}  // namespace

bool ProcessUtils::LaunchProcess(const std::string& path, const std::vector<std::string>& arguments,
                                 unsigned long& processId, bool waitForExit, unsigned long& exitStatus,
                                 bool bringToFront, const int reference, void* logger) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return false;
    logMessage(logger, zezu::DEBUG, kClassName, "Launch Process at path %s", path.c_str());
    for (size_t i = 0; i < arguments.size(); ++i)
        logMessage(logger, zezu::DEBUG, kClassName, "Launch Process With Arg %d : %s", static_cast<int>(i),
                   arguments[i].c_str());

    if (bringToFront) {
        // There is no window-system activation to wait for here: the program is started in a
        // session of its own and comes up the way its window manager puts it.
        pid_t pid = -1;
        const bool started = platform::launchDetachedProcess(path, arguments, &pid);
        if (started) logMessage(logger, zezu::INFO, kClassName, "Launching process .... %d", static_cast<int>(pid));
        if (waitForExit) exitStatus = kNoExitStatus;
        return started;
    }

    logMessage(logger, zezu::INFO, kClassName, "Launch Process With Task ");
    pid_t pid = -1;
    if (!platform::startProcess(path, arguments, pid)) return false;
    if (waitForExit) {
        auto status = platform::waitForProcess(pid);
        exitStatus = status ? static_cast<unsigned long>(*status) : kNoExitStatus;
    } else {
        platform::reapInBackground(pid);
    }
    return true;
}

}  // namespace ZEZUUtils
