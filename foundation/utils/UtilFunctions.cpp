// The util free functions, logging through the process-wide facade under "Native-Utils".
#include "foundation/utils/UtilFunctions.h"

#include "foundation/logging/LogFacade.h"
#include "foundation/utils/FolderLookup.h"
#include "platform/UserFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char* const kComponent = "Native-Utils";

bool pathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Sets owner, group and then the mode on a folder without following a link there.
bool applyOwnerAndMode(const char* path, uid_t owner, gid_t group, mode_t mode) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchown(fd, owner, group) == 0 && fchmod(fd, mode) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool utilGetStringFromNativeString(const char* text, std::string& out) {
    if (!text) return false;
    out = text;
    return true;
}

bool utilGetNativeStringFromString(const std::string& text, std::string& out) {
    out = text;
    return true;
}

bool utilGetNativeStringFromArray(const char* text, std::string& out) {
    return utilGetStringFromNativeString(text, out);
}

bool utilGetNativeStringFromInt(int value, std::string& out) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d", value);
    out = buffer;
    return true;
}

bool utilCreateDirectoryPath(const std::string& path, bool ignored) {
    return utilCreateDirectoryPathWithAttributes(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0775);
}

bool utilCreateDirectoryPathWithAttributes(const char* path, uid_t owner, gid_t group, unsigned short mode) {
    if (!path || !*path) return false;
    const std::string folder = path;
    const std::string parent = ZEZUUtils::folders::folderPart(folder);
    // The recursion ends at the top of the path: "" and "." (relative) or "/".
    if (!parent.empty() && parent != "." && parent != "/" && !pathExists(parent)) {
        if (!utilCreateDirectoryPathWithAttributes(parent.c_str(), owner, group, mode)) return false;
    }
    if (!pathExists(folder) && mkdir(path, static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
    if (owner != static_cast<uid_t>(-1) && group != static_cast<gid_t>(-1))
        return applyOwnerAndMode(path, owner, group, static_cast<mode_t>(mode));
    return true;
}

bool utilFileExitsAtPath(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool utilDeleteFileIfExitsAtPath(const std::string& path, bool ignored) {
    if (!utilFileExitsAtPath(path)) return true;
    if (std::remove(path.c_str()) == 0) return true;
    const int error = errno;
    Logger::getInstance()->logFatal(kComponent, "Error in utilDeleteFileIfExitsAtPath %s. error %s", path.c_str(),
                                    std::strerror(error));
    return false;
}

bool utilEncodeDataInBase64(const void* data, int length, std::string& out) {
    if (!data || length <= 0) {
        Logger::getInstance()->logInfo(kComponent, "Invalid arguments to utilEncodeDataInBase64.");
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    Base64Encode(bytes, bytes + length, std::back_inserter(out));
    return true;
}

bool util_getUserFolderPath(std::string& out) {
    auto home = platform::processHomeFolder();
    if (!home) return false;
    out = *home;
    return true;
}

bool utilGetUserFolderPath(std::string& out) {
    auto user = platform::consoleUser();
    if (!user || user->home.empty()) return false;
    out = user->home;
    return true;
}

bool utilGetUserAppDataFolder(std::string& out) {
    std::string folder;
    // ~/Library stays private where we make it; Application Support inside it is readable.
    if (!ZEZUUtils::folders::processUserFolder("Library", 0700, folder) ||
        !ZEZUUtils::folders::processUserFolder("Library/Application Support", 0755, folder)) {
        Logger::getInstance()->logWarn(kComponent,
                                       "Failed in finding location information  in utilGetUserAppDataFolder error:%d",
                                       errno);
        return false;
    }
    out = folder;
    return true;
}

bool utilGetZCFPath(std::string& out) {
    std::string folder;
    if (!ZEZUUtils::folders::localFolder("/Library/Application Support", folder)) return false;
    out = folder + "/Zarvo";
    return true;
}

bool utilRemoveFileSpec(std::string& path) {
    std::string folder = ZEZUUtils::folders::folderPart(path);
    if (folder.empty()) return false;
    path = folder;
    return true;
}
