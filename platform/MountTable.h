// The mounted file systems, as the kernel lists them, and loop devices' backing files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct MountEntry {
    std::string mountPoint;
    std::string fileSystemType;
    std::string source;  // the device or the name a user-space file system gave
};

// This process's mount table (/proc/self/mountinfo); empty when it cannot be read.
std::vector<MountEntry> currentMounts();

// Parses mountinfo text; lines that do not fit the format are skipped.
std::vector<MountEntry> parseMountInfo(const std::string& text);

// The file behind a loop device ("/dev/loop3"), from /sys/block/loop3/loop/backing_file.
std::optional<std::string> loopBackingFile(const std::string& device);

}  // namespace platform
