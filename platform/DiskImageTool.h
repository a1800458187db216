// Where the disk-image tool (attach, info -plist, detach) lives, and where images are attached.
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

// The environment variable that moves the mount root, so parallel tests never share one.
inline constexpr const char* kMountRootVariable = "BOOTSTRAP_MOUNT_ROOT";
inline constexpr const char* kDefaultMountRoot = "/tmp/ZSU";

// Where a disk image is attached: $BOOTSTRAP_MOUNT_ROOT when set and non-empty, else
// kDefaultMountRoot.
std::string mountRoot();

}  // namespace platform
