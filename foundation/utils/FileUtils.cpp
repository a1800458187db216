// ZEZUUtils::FileUtils on Linux: folders by PathType, paths, folders, files, detach.
#include "foundation/utils/FileUtils.h"

#include "foundation/utils/FolderLookup.h"
#include "foundation/utils/TextEncoding.h"
#include "foundation/utils/UtilsLogging.h"
#include "platform/Bundle.h"
#include "platform/DiskImageTool.h"
#include "platform/ProcessLauncher.h"
#include "platform/UserFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace ZEZUUtils {
namespace {

const char* const kClassName = "FileUtils";

enum class Base {
    None,
    LocalApplications,
    LocalApplicationSupport,
    LocalSharedUserData,
    LocalUtilities,
    LocalPreferences,
    ConsoleDocuments,
    ConsoleApplicationSupport,
    ProcessHome,
    Temporary,
    LaunchedItem,
    LaunchedItemFolder,
    ProcessLogs,
};

struct Row {
    Base base;
    const char* suffix;
};

// Indexed by PathType.
const Row kTable[] = {
    {Base::LocalApplications, nullptr},                                        // 0
    {Base::None, nullptr},                                                     // 1
    {Base::LocalApplicationSupport, nullptr},                                  // 2
    {Base::LocalApplicationSupport, nullptr},                                  // 3
    {Base::None, nullptr},                                                     // 4
    {Base::None, nullptr},                                                     // 5
    {Base::None, nullptr},                                                     // 6
    {Base::None, nullptr},                                                     // 7
    {Base::None, nullptr},                                                     // 8
    {Base::ProcessHome, nullptr},                                              // 9
    {Base::ConsoleDocuments, nullptr},                                         // 10
    {Base::None, nullptr},                                                     // 11
    {Base::ConsoleApplicationSupport, nullptr},                                // 12
    {Base::LocalSharedUserData, nullptr},                                      // 13
    {Base::None, nullptr},                                                     // 14
    {Base::Temporary, nullptr},                                                // 15
    {Base::LaunchedItem, nullptr},                                             // 16
    {Base::LaunchedItemFolder, nullptr},                                       // 17
    {Base::LocalApplicationSupport, "/Zarvo"},                                 // 18
    {Base::ConsoleApplicationSupport, "/Zarvo"},                               // 19
    {Base::LocalSharedUserData, "/Zarvo"},                                     // 20
    {Base::LocalApplicationSupport, "/Zarvo/ZEZU"},                            // 21
    {Base::ConsoleApplicationSupport, "/Zarvo/ZEZU"},                          // 22
    {Base::LocalSharedUserData, "/Zarvo/ZEZU"},                                // 23
    {Base::LocalUtilities, "/Zarvo Application Manager/"},                     // 24
    {Base::LocalApplicationSupport, "/Zarvo/ZEZU/VexApp"},                     // 25
    {Base::ConsoleApplicationSupport, "/Zarvo/ZEZU/VexApp"},                   // 26
    {Base::LocalApplicationSupport, "/Zarvo/ZarvoApplicationManager/ZAMRefs"}, // 27
    {Base::LocalApplicationSupport, "/Zarvo/ZDCRefs"},                         // 28
    {Base::LocalApplicationSupport, "/Zarvo/Zarvo Desktop Common"},            // 29
    {Base::LocalUtilities, "/Zarvo Morvane Studio/"},                          // 30
    {Base::LocalPreferences, nullptr},                                         // 31
    {Base::ProcessLogs, nullptr},                                              // 32
};

bool sharedUserDataFolder(std::string& out) {
    struct stat st {};
    const bool existed = stat(platform::localPath("/Users/Shared").c_str(), &st) == 0;
    if (!folders::localFolder("/Users/Shared", out)) return false;
    // Every user writes here, each keeping their own files.
    if (!existed) chmod(out.c_str(), 01777);
    return true;
}

bool lookUp(Base base, std::string& out) {
    switch (base) {
    case Base::None:
        return false;
    case Base::LocalApplications:
        return folders::localFolder("/Applications", out);
    case Base::LocalApplicationSupport:
        return folders::localFolder("/Library/Application Support", out);
    case Base::LocalSharedUserData:
        return sharedUserDataFolder(out);
    case Base::LocalUtilities:
        return folders::localFolder("/Applications/Utilities", out);
    case Base::LocalPreferences:
        return folders::localFolder("/Library/Preferences", out);
    case Base::ConsoleDocuments:
        return folders::consoleUserFolder("Documents", out);
    case Base::ConsoleApplicationSupport:
        return folders::consoleUserFolder("Library/Application Support", out);
    case Base::ProcessHome: {
        auto home = platform::processHomeFolder();
        if (!home || home->size() > folders::kMaxFolderPath) return false;
        out = *home;
        return true;
    }
    case Base::Temporary:
        out = "/tmp";
        return true;
    case Base::LaunchedItem: {
        auto item = platform::launchedItemPath();
        if (!item || item->size() > folders::kMaxFolderPath) return false;
        out = *item;
        return true;
    }
    case Base::LaunchedItemFolder: {
        auto item = platform::launchedItemPath();
        if (!item) return false;
        std::string folder = folders::folderPart(*item);
        if (folder.empty()) return false;
        out = folder;
        return true;
    }
    case Base::ProcessLogs:
        return folders::processUserFolder("Library/Logs", 0700, out);
    }
    return false;
}

bool exists(const std::string& path, struct stat* st = nullptr) {
    struct stat local {};
    return stat(path.c_str(), st ? st : &local) == 0;
}

// Removes one entry below parent (a descriptor, or AT_FDCWD) without following links.
bool removeTree(int parent, const char* name, int& error) {
    struct stat st {};
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent, name, 0) == 0) return true;
        error = errno;
        return false;
    }
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        error = errno;
        close(fd);
        return false;
    }
    // Names first: removing entries while reading the listing may skip some.
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    bool ok = true;
    for (const auto& child : names) ok = removeTree(dirfd(dir), child.c_str(), error) && ok;
    closedir(dir);
    if (!ok) return false;
    if (unlinkat(parent, name, AT_REMOVEDIR) == 0) return true;
    error = errno;
    return false;
}

bool folderIsEmpty(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return true;
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        empty = false;
        break;
    }
    closedir(dir);
    return empty;
}

// Makes one folder with the mode exactly and, when owner is given, that owner and group.
bool makeOneFolder(const std::string& path, mode_t mode, std::optional<std::pair<uid_t, gid_t>> owner) {
    if (mkdir(path.c_str(), mode) != 0) {
        if (errno != EEXIST) return false;
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0;
    if (ok && owner) ok = fchown(fd, owner->first, owner->second) == 0;
    close(fd);
    return ok;
}

std::string temporaryNameBeside(const std::string& folder, const std::string& name) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(generator()));
    return folder + "/." + name.substr(0, 100) + suffix;
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readAll(const std::string& path, std::string& bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    bytes = std::move(data);
    return true;
}

}  // namespace

bool FileUtils::GetDirectoryPath(PathType type, std::string& path, void* logger) {
    if (type < 0 || static_cast<size_t>(type) >= sizeof kTable / sizeof kTable[0]) return false;
    const Row& row = kTable[type];
    std::string found;
    if (!lookUp(row.base, found)) return false;
    if (row.suffix) found += row.suffix;
    path = found;
    return true;
}

bool FileUtils::AppendPath(std::string& path, const std::string& component, void* logger) {
    if (path.empty() || component.empty()) return false;
    size_t start = component.find_first_not_of('/');
    if (path.back() != '/') path += '/';
    if (start != std::string::npos) path.append(component, start, std::string::npos);
    return true;
}

bool FileUtils::PathExists(const std::string& path, void* logger) {
    return !path.empty() && exists(path);
}

bool FileUtils::PathExists(const std::string& path, bool& isDirectory, void* logger) {
    struct stat st {};
    const bool found = !path.empty() && exists(path, &st);
    isDirectory = found && S_ISDIR(st.st_mode);
    return found;
}

bool FileUtils::CreateDirectoryAtPath(const std::string& path, bool setPermission, void* logger) {
    return CreateDirectoryAtPathEx(path, logger, setPermission);
}

bool FileUtils::CreateDirectoryAtPathEx(const std::string& path, void* logger, bool setPermission) {
    std::optional<std::pair<uid_t, gid_t>> owner;
    mode_t mode = 0777;  // less the umask, as for any new folder
    const std::string ancestor = GetExistentParentDirectory(path);
    if (setPermission) {
        logMessage(logger, zezu::INFO, kClassName, " shouldSetPermission is true, parent folder found  =  %s ",
                   ancestor.c_str());
        struct stat st {};
        if (!ancestor.empty() && lstat(ancestor.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            logMessage(logger, zezu::INFO, kClassName, "shouldSetPermission is true,owner =%d,group =%d",
                       static_cast<int>(st.st_uid), static_cast<int>(st.st_gid));
            // Only root can give a folder away; anyone else keeps their own.
            if (geteuid() == 0) owner = std::make_pair(st.st_uid, st.st_gid);
        }
        mode = 0775;
    }
    bool ok = !path.empty();
    if (ok) {
        // Each missing component below the ancestor, top down.
        std::vector<std::string> missing;
        for (std::string current = path; !current.empty() && current != ancestor && current != "/" &&
                                          current != ".";
             current = folders::folderPart(current))
            missing.push_back(current);
        for (auto it = missing.rbegin(); ok && it != missing.rend(); ++it) {
            if (setPermission) {
                ok = makeOneFolder(*it, mode, owner);
            } else {
                ok = mkdir(it->c_str(), mode) == 0 || errno == EEXIST;
            }
        }
        bool isDirectory = false;
        ok = ok && PathExists(path, isDirectory) && isDirectory;
    }
    if (!ok) {
        logMessage(logger, zezu::ERROR, kClassName, "Failed to create directory at path ex %s ", path.c_str());
        return false;
    }
    return true;
}

std::string FileUtils::GetExistentParentDirectory(const std::string& path) {
    std::string current = path;
    while (!current.empty()) {
        if (exists(current)) return current;
        if (current == "/" || current == ".") return std::string();
        current = folders::folderPart(current);
        // A relative path runs out at its first component; its folder is the working one.
        if (current.empty()) current = ".";
    }
    return std::string();
}

bool FileUtils::DeleteDirectoryAtPath(const std::string& path, std::string& errorText, bool recursive,
                                      bool ignored, void* logger, bool logSuccess) {
    return DeleteDirectoryAtPath(path, recursive, ignored, logger, logSuccess);
}

bool FileUtils::DeleteDirectoryAtPath(const std::string& path, bool recursive, bool ignored, void* logger,
                                      bool logSuccess) {
    if (path.empty()) return false;
    if (!recursive && !folderIsEmpty(path)) return false;
    int error = 0;
    if (!removeTree(AT_FDCWD, path.c_str(), error)) {
        logMessage(logger, zezu::WARN, kClassName, "Failed to remove file. Error: %s", std::strerror(error));
        return false;
    }
    if (logSuccess)
        logMessage(logger, zezu::INFO, kClassName, "Successfully deleted directory from path: %s. Recursive: %d",
                   path.c_str(), recursive ? 1 : 0);
    return true;
}

bool FileUtils::CreateFileWithContentAtPath(const std::string& path, const std::string& content, void* logger) {
    if (path.empty() || path.back() == '/') return false;
    std::string folder = folders::folderPart(path);
    if (folder.empty()) folder = ".";
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    struct stat target {};
    const bool replacing = stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryNameBeside(folder, name);
        // 0666 lets the umask decide the mode of a new file, as for any other.
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return false;

    bool ok = true;
    if (replacing) ok = fchmod(fd, target.st_mode & 07777) == 0;
    if (ok && geteuid() == 0) {
        if (replacing) {
            ok = fchown(fd, target.st_uid, target.st_gid) == 0;
        } else if (auto user = platform::consoleUser(); user && user->uid != 0) {
            // A new file in the console user's own folder is theirs, as the folders are.
            struct stat parent {};
            if (stat(folder.c_str(), &parent) == 0 && parent.st_uid == user->uid)
                ok = fchown(fd, user->uid, user->gid) == 0;
        }
    }
    ok = ok && writeAll(fd, content) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

bool FileUtils::LoadContentOfFileAtPath(const std::string& path, std::string& content, void* logger) {
    if (path.empty() || !exists(path)) return false;
    std::string bytes;
    if (!readAll(path, bytes)) return false;
    if (text::isValidUtf8(bytes)) {
        content = std::move(bytes);
        return true;
    }
    std::string decoded;
    if (!text::utf16ToUtf8(bytes, decoded)) return false;
    content = std::move(decoded);
    return true;
}

bool FileUtils::DeleteFileAtPath(const std::string& path, bool ignored, void* logger) {
    struct stat st {};
    if (path.empty()) return false;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return std::remove(path.c_str()) == 0;
}

bool FileUtils::UnmountDmgAtPath(const std::string& mountPoint, void* logger) {
    int status = -1;
    if (!mountPoint.empty() &&
        platform::runProcess(platform::diskImageToolPath(), {"detach", mountPoint, "-quiet"}, status) &&
        status == 0)
        return true;
    logMessage(logger, zezu::ERROR, kClassName, "Error Failed to unmount");
    return false;
}

}  // namespace ZEZUUtils
