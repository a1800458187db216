// The default browser on Linux: xdg-open, found in the absolute folders of PATH.
#include "platform/DefaultBrowser.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/ProcessLauncher.h"

namespace platform {
namespace {

// A relative entry of PATH would depend on the working folder, so only absolute ones count.
std::string findOnPath(const std::string& program) {
    const char* variable = std::getenv("PATH");
    if (!variable) return std::string();
    const std::string path(variable);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string folder = path.substr(start, end - start);
        if (!folder.empty() && folder.front() == '/') {
            const std::string candidate = folder + "/" + program;
            struct stat st {};
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

}  // namespace

bool openInDefaultBrowser(const std::string& url) {
    if (url.empty() || url.front() == '-') return false;
    const std::string opener = findOnPath("xdg-open");
    if (opener.empty()) return false;
    return launchDetachedProcess(opener, {url});
}

}  // namespace platform
