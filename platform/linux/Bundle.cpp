// The application bundle the running executable sits in, found from /proc/self/exe.
#include "platform/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {
namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "<Name>.app" when the executable sits at <Name>.app/Contents/MacOS/<executable>.
std::optional<std::string> bundleOf(const std::string& executable) {
    const std::string macos = folderOf(executable);
    if (lastComponent(macos) != "MacOS") return std::nullopt;
    const std::string contents = folderOf(macos);
    if (lastComponent(contents) != "Contents") return std::nullopt;
    const std::string bundle = folderOf(contents);
    const std::string name = lastComponent(bundle);
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".app") != 0) return std::nullopt;
    return bundle;
}

}  // namespace

// The kernel's link to the running image: already absolute and free of symbolic links.
std::optional<std::string> executablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() >= (1u << 16)) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::string> launchedItemPath() {
    auto executable = executablePath();
    if (!executable) return std::nullopt;
    if (auto bundle = bundleOf(*executable)) return bundle;
    return executable;
}

std::optional<std::string> bundleResourcesFolder() {
    const char* variable = std::getenv(kResourcesFolderVariable);
    if (variable && *variable) return std::string(variable);
    auto executable = executablePath();
    if (!executable) return std::nullopt;
    auto bundle = bundleOf(*executable);
    if (!bundle) return std::nullopt;
    return *bundle + "/Contents/Resources";
}

std::optional<std::string> bundleResourcePath(const std::string& name, const std::string& type) {
    auto resources = bundleResourcesFolder();
    if (!resources || name.empty()) return std::nullopt;
    std::string path = *resources + "/" + name;
    if (!type.empty()) path += (type.front() == '.' ? "" : ".") + type;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return path;
}

}  // namespace platform
