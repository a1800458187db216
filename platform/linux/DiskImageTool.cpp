// Where the disk-image tool lives: the variable, beside the executable, or installed.
#include "platform/DiskImageTool.h"

#include "platform/Bundle.h"

#include <sys/stat.h>

#include <cstdlib>

namespace platform {

std::string diskImageToolPath() {
    const char* variable = std::getenv(kDiskImageToolVariable);
    if (variable && *variable) return variable;
    if (auto executable = executablePath()) {
        auto slash = executable->find_last_of('/');
        if (slash != std::string::npos) {
            std::string beside = executable->substr(0, slash + 1) + "diskimage";
            struct stat st {};
            if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return beside;
        }
    }
    return kInstalledDiskImageTool;
}

std::string mountRoot() {
    const char* variable = std::getenv(kMountRootVariable);
    if (variable && *variable) return variable;
    return kDefaultMountRoot;
}

}  // namespace platform
