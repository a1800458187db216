// The support library's process-wide test seams.
#pragma once

#include <string>

namespace ZAMEEUtilities::testing {

// Points createTempFolder at another base folder; an empty text restores "/tmp".
void setTempFolderBase(const std::string& base);

}  // namespace ZAMEEUtilities::testing
