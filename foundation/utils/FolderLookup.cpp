// Well-known folders: local ones under the local root, user ones under a home folder.
#include "foundation/utils/FolderLookup.h"

#include "platform/FileDescriptor.h"
#include "platform/UserFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace ZEZUUtils::folders {
namespace {

std::vector<std::string> components(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        if (slash > start) parts.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool withinLimit(const std::string& path) { return !path.empty() && path.size() <= kMaxFolderPath; }

constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Whether a user other than root could rename or replace what lies in this folder.
bool othersMayReplaceEntries(const struct stat& st) {
    return st.st_uid != 0 || ((st.st_mode & kWritableByOthers) != 0 && (st.st_mode & S_ISVTX) == 0);
}

// One component of a root-only folder, its parent checked already: made when missing, then
// judged through a descriptor that followed no link. A parent may be shared when it is sticky
// (nobody can replace what others put in it); the last one, where files are made, is root's
// alone. The mode of a folder this run did not make is never changed.
bool rootOnlyComponent(const std::string& path, bool last, std::string& why) {
    const bool made = mkdir(path.c_str(), last ? 0700 : 0755) == 0;
    if (!made && errno != EEXIST) {
        why = path + " cannot be made: " + std::strerror(errno);
        return false;
    }
    const platform::FileDescriptor folder =
        platform::FileDescriptor::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat st {};
    if (!folder.valid()) {
        const int error = errno;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            why = path + " is a symbolic link";
        } else if (error == ENOTDIR) {
            why = path + " is not a folder";
        } else {
            why = path + " cannot be opened: " + std::strerror(error);
        }
        return false;
    }
    if (made && last) fchmod(folder.get(), 0700);  // whatever the umask
    if (fstat(folder.get(), &st) != 0) {
        why = path + " cannot be examined: " + std::strerror(errno);
        return false;
    }
    if (st.st_uid != 0) {
        why = path + " belongs to another user";
        return false;
    }
    if (last ? (st.st_mode & kWritableByOthers) != 0 : othersMayReplaceEntries(st)) {
        why = path + " may be written by other users";
        return false;
    }
    return true;
}

}  // namespace

std::string folderPart(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    std::string folder = trimmed.substr(0, slash);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

bool localFolder(const char* absolutePath, std::string& out) {
    const std::string root = platform::localRoot();
    const std::string path = platform::localPath(absolutePath);
    if (!withinLimit(path)) return false;
    if (!isFolder(path)) {
        std::string current = root == "/" ? std::string() : root;
        if (!isFolder(root)) return false;
        for (const auto& part : components(absolutePath)) {
            current += "/" + part;
            if (mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (!isFolder(path)) return false;
    }
    out = path;
    return true;
}

bool rootOnlyLocalFolder(const char* absolutePath, std::string& out, std::string& why) {
    const std::string root = platform::localRoot();
    const std::string path = platform::localPath(absolutePath);
    if (!withinLimit(path)) {
        why = "the folder's path is too long";
        return false;
    }
    struct stat st {};
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        why = root + " is not a folder";
        return false;
    }
    if (othersMayReplaceEntries(st)) {
        why = root + " may be written by other users";
        return false;
    }
    const std::vector<std::string> parts = components(absolutePath);
    std::string current = root == "/" ? std::string() : root;
    for (size_t i = 0; i < parts.size(); ++i) {
        current += "/" + parts[i];
        if (!rootOnlyComponent(current, i + 1 == parts.size(), why)) return false;
    }
    out = path;
    return true;
}

bool consoleUserFolder(const char* relative, std::string& out) {
    auto user = platform::consoleUser();
    if (!user || user->home.empty() || !isFolder(user->home)) return false;
    // A root process working in another user's home must not be steered by their links.
    const bool guarded = geteuid() == 0 && user->uid != 0;
    std::string current = user->home;
    while (current.size() > 1 && current.back() == '/') current.pop_back();
    for (const auto& part : components(relative)) {
        current += "/" + part;
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            // ~/Library keeps its private mode; folders inside it are readable.
            const mode_t mode = (part == "Library" || part == "Documents") ? 0700 : 0755;
            if (!platform::makeFolderForConsoleUser(current, mode)) return false;
        } else if (S_ISLNK(st.st_mode)) {
            if (guarded || !isFolder(current)) return false;
        } else if (!S_ISDIR(st.st_mode)) {
            return false;
        }
    }
    if (!withinLimit(current)) return false;
    out = current;
    return true;
}

bool processUserFolder(const char* relative, unsigned mode, std::string& out) {
    auto home = platform::processHomeFolder();
    if (!home || !isFolder(*home)) return false;
    std::string current = *home;
    while (current.size() > 1 && current.back() == '/') current.pop_back();
    for (const auto& part : components(relative)) {
        current += "/" + part;
        if (mkdir(current.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
    }
    if (!isFolder(current) || !withinLimit(current)) return false;
    out = current;
    return true;
}

}  // namespace ZEZUUtils::folders
