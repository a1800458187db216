// Well-known folders: local ones under the local root, user ones under a home folder.
#include "foundation/utils/FolderLookup.h"

#include "platform/UserFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
