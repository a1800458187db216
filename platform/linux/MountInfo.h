// The text of /proc/self/mountinfo parsed into mount entries (exposed for its tests).
#pragma once

#include <string>
#include <vector>

#include "platform/MountTable.h"

namespace platform {

// Lines that do not fit the format are skipped.
std::vector<MountEntry> parseMountInfo(const std::string& text);

}  // namespace platform
