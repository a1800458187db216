// The mounted file systems, and the image file behind a file-backed block device.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct MountEntry {
    std::string mountPoint;
    std::string fileSystemType;
    std::string source;  // the device or the name a user-space file system gave
    // The user of a user-space (FUSE) mount: user_id= of its super options; nothing when absent.
    std::optional<uid_t> userId;
};

// This process's view of the mounted file systems; empty when it cannot be read.
std::vector<MountEntry> currentMounts();

// The image file a loop (file-backed block) device such as "/dev/loop3" reads; nothing for
// any other name or a device with no file attached.
std::optional<std::string> loopBackingFile(const std::string& device);

}  // namespace platform
