// The zezu free helpers. Nothing here logs: log writes and registration call these.
#include "foundation/logging/LogFunctions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>

#include "platform/FileDescriptor.h"
#include "platform/OperatingSystemVersion.h"
#include "platform/UserFolders.h"

namespace zezu {
namespace {

// Start of the last component, and its end (trailing slashes excluded).
struct LastComponent {
    size_t begin;
    size_t end;
};

LastComponent lastComponent(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end == 1 && path[0] == '/') begin = 0;
    return {begin, end};
}

// Position of the extension's "." in the last component, npos when there is none. A
// leading dot names a hidden file, not an extension.
size_t extensionDot(const std::string& path) {
    const LastComponent last = lastComponent(path);
    if (last.end <= last.begin) return std::string::npos;
    const size_t dot = path.rfind('.', last.end - 1);
    if (dot == std::string::npos || dot <= last.begin) {
        return std::string::npos;
    }
    return dot;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool getCurrentTime(timeval& now) { return ::gettimeofday(&now, nullptr) == 0; }

bool getDatetime(std::string& text) {
    const time_t now = ::time(nullptr);
    tm local{};
    if (!::localtime_r(&now, &local)) return false;
    char buffer[64];
    const size_t length = std::strftime(buffer, sizeof buffer, "%m-%d-%Y %H-%M-%S", &local);
    if (length == 0) return false;
    text.assign(buffer, length);
    return true;
}

int getLogMessage(char* buffer, size_t size, const char* format, va_list* arguments) {
    if (!arguments || !buffer || size < 2 || !format) return 0;
    const int length = std::vsnprintf(buffer, size - 1, format, *arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

bool getUserFolder(std::string& path) {
    const std::optional<platform::UserAccount> user = platform::consoleUser();
    if (!user || user->home.empty()) return false;
    path = user->home;
    return true;
}

bool getUserFolderPath(std::string& path) {
    const std::optional<std::string> home = platform::processHomeFolder();
    if (!home || home->empty() || home->size() > 1024) return false;
    path = *home;
    return true;
}

bool getTempPath(std::string& path) {
    std::string home;
    if (!getUserFolder(home)) return false;
    std::string library = home;
    appendPath(library, "Library");
    if (!platform::makeFolderForConsoleUser(library, 0700)) return false;
    std::string logs = library;
    appendPath(logs, "Logs");
    if (!platform::makeFolderForConsoleUser(logs, 0700)) return false;
    path = logs;
    return true;
}

bool changeFileExtension(std::string& path, const std::string& extension) {
    removeFileExtension(path);
    return addFileExtension(path, extension);
}

bool appendPath(std::string& path, const std::string& component) {
    size_t first = 0;
    while (first < component.size() && component[first] == '/') ++first;
    std::string rest = component.substr(first);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (path.empty()) {
        path = rest;
        return true;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (rest.empty()) return true;
    if (path.back() != '/') path.push_back('/');
    path += rest;
    return true;
}

bool removeLastPathComponent(std::string& path) {
    const LastComponent last = lastComponent(path);
    if (last.begin == 0) {
        path = (!path.empty() && path[0] == '/') ? "/" : "";
        return true;
    }
    size_t end = last.begin;
    while (end > 1 && path[end - 1] == '/') --end;
    path.resize(end);
    return true;
}

bool createDirectoryPath(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && std::filesystem::is_directory(path, error);
}

bool fileExistsAtPath(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

bool folderExitsAtPath(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isFileName(const std::string& text) {
    std::string name;
    return getFilePathBaseName(text, name) && name == text;
}

bool getFileSize(const std::string& path, int64_t& size) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    size = static_cast<int64_t>(status.st_size);
    return true;
}

bool addFileExtension(std::string& path, const std::string& extension) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    path += ".";
    path += extension;
    return true;
}

bool getFileExtension(const std::string& path, std::string& extension) {
    const size_t dot = extensionDot(path);
    if (dot == std::string::npos) return false;
    extension = path.substr(dot + 1, lastComponent(path).end - dot - 1);
    return true;
}

bool removeFileExtension(std::string& path) {
    const size_t dot = extensionDot(path);
    if (dot == std::string::npos) return true;
    path.resize(dot);
    return true;
}

bool utilGetCurrentOSVersion(long& major, long& minor, long& patch) {
    const std::optional<platform::OperatingSystemVersion> version = platform::operatingSystemVersion();
    if (!version) return false;
    major = version->major;
    minor = version->minor;
    patch = version->patch;
    return true;
}

bool getFilePathBaseName(const std::string& path, std::string& name) {
    name.clear();
    const LastComponent last = lastComponent(path);
    if (last.end <= last.begin) return false;
    name = path.substr(last.begin, last.end - last.begin);
    return true;
}

bool copyContentOfFileToFile(const std::string& source, const std::string& target) {
    const platform::FileDescriptor in = platform::FileDescriptor::open(source.c_str(), O_RDONLY | O_NOFOLLOW);
    if (!in.valid()) return false;
    // Unlinking first keeps "overwrite" while never writing through a planted link.
    if (::unlink(target.c_str()) != 0 && errno != ENOENT) return false;
    const platform::FileDescriptor out =
        platform::FileDescriptor::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (!out.valid()) return false;
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(in.get(), block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (!writeAll(out.get(), block, static_cast<size_t>(got))) return false;
    }
}

bool appendTimeStampToFile(std::string& path) {
    std::string stamp;
    if (!getDatetime(stamp)) return false;
    std::string extension;
    const bool hasExtension = getFileExtension(path, extension);
    std::string result = path;
    removeFileExtension(result);
    result += " " + stamp;
    if (hasExtension) addFileExtension(result, extension);
    path = result;
    return true;
}

}  // namespace zezu
