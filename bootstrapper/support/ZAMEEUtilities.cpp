// The per-run temporary folder, the synchronous process launch and the OS version.
#include "bootstrapper/support/ZAMEEUtilities.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "bootstrapper/support/TestSeams.h"
#include "foundation/logging/LogFacade.h"
#include "foundation/utils/NativeCriticalSection.h"
#include "foundation/utils/StringUtils.h"
#include "platform/OperatingSystemVersion.h"
#include "platform/ProcessLauncher.h"

namespace ZAMEEUtilities {
namespace {

constexpr const char* kComponent = "ZAMEEUtilities";
constexpr const char* kDefaultTempBase = "/tmp";
// A clash of random GUIDs means someone is guessing names; a few fresh ones are enough.
constexpr int kTempFolderAttempts = 8;

struct TempBase {
    ZEZUUtils::NativeCriticalSection lock;
    std::string folder GUARDED_BY(lock) = kDefaultTempBase;
};

TempBase& tempBase() {
    static TempBase base;
    return base;
}

std::string currentTempBase() {
    TempBase& base = tempBase();
    ZEZUUtils::ScopedCriticalSection hold(base.lock);
    return base.folder;
}

// The folder part of path as given: "." without a "/", "/" for a file at the root.
std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The child changes folder before exec, so a relative path must be resolved here first.
bool absolutePath(const std::string& path, std::string& absolute) {
    if (!path.empty() && path.front() == '/') {
        absolute = path;
        return true;
    }
    std::string buffer(PATH_MAX, '\0');
    if (!getcwd(buffer.data(), buffer.size())) return false;
    buffer.resize(buffer.find('\0'));
    absolute = buffer + (buffer == "/" ? "" : "/") + path;
    return true;
}

int clampToInt(long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

bool createTempFolder(std::string& path) {
    const std::string base = currentTempBase();
    for (int attempt = 0; attempt < kTempFolderAttempts; ++attempt) {
        std::string guid;
        if (!StringUtils::GUIDString(guid)) return false;
        std::string candidate = base + "/" + guid;
        // Exclusive creation: a folder that already exists was made by someone else.
        if (mkdir(candidate.c_str(), 0700) == 0) {
            path = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void testing::setTempFolderBase(const std::string& base) {
    TempBase& holder = tempBase();
    ZEZUUtils::ScopedCriticalSection hold(holder.lock);
    holder.folder = base.empty() ? kDefaultTempBase : base;
}

int launchProcess(const std::string& path, const std::vector<std::string>& arguments, int& exitStatus,
                  const std::string& workingFolder) {
    Logger* log = Logger::getInstance();
    if (path.empty()) {
        log->logError(kComponent, "CreateProcess failed. PathToProcess does not exist.\n");
        return 1;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 1;

    platform::ProcessOptions options;
    options.workingFolder = workingFolder.empty() ? folderOf(path) : workingFolder;
    options.discardOutput = true;
    std::string executable;
    if (!absolutePath(path, executable)) return 2;

    log->logInfo(kComponent, "Launch Process at path %s", path.c_str());
    for (size_t index = 0; index < arguments.size(); ++index) {
        log->logInfo(kComponent, "Launch Process With Arg %d : %s", static_cast<int>(index), arguments[index].c_str());
    }
    log->logInfo(kComponent, "Launch Process With Task ");

    int status = 0;
    int startError = 0;
    if (!platform::runProcess(executable, arguments, status, options, &startError)) {
        // A start that failed says why; a child that could not be waited for has no reason to give.
        if (startError != 0) {
            log->logError(kComponent, "Launch Process failed for %s: %s", path.c_str(), std::strerror(startError));
        } else {
            log->logError(kComponent, "Launch Process could not wait for %s", path.c_str());
        }
        return 2;
    }
    exitStatus = status;
    return 0;
}

bool getOSVersion(int version[3]) {
    auto found = platform::operatingSystemVersion();
    if (!found) {
        Logger::getInstance()->logWarn(kComponent,
                                       "Failed to read the OS X version from the SystemVersion.plist file.");
        return false;
    }
    version[0] = clampToInt(found->major);
    version[1] = clampToInt(found->minor);
    version[2] = clampToInt(found->patch);
    const std::string text =
        std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
    Logger::getInstance()->logDebug(kComponent, "The OS X version from the SystemVersion.plist file (%s).",
                                    text.c_str());
    return true;
}

}  // namespace ZAMEEUtilities
