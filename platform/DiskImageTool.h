// Where the disk-image tool (attach, info -plist, detach) lives.
#pragma once

#include <string>

namespace platform {

// The environment variable that names the tool, for tests and demos.
inline constexpr const char* kDiskImageToolVariable = "BOOTSTRAP_DISK_IMAGE_TOOL";

// Installed location used when neither the variable nor a tool beside the executable exists.
inline constexpr const char* kInstalledDiskImageTool = "/usr/local/libexec/bootstrapper/diskimage";

// $BOOTSTRAP_DISK_IMAGE_TOOL when set and non-empty; else "diskimage" in the running
// executable's folder (Contents/MacOS of its bundle) when a file is there; else
// kInstalledDiskImageTool.
std::string diskImageToolPath();

}  // namespace platform
