// Shared pieces of the utility tests: a scoped working folder, file helpers, and the form of a
// recorded log line they compare against.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/FileContents.h"
#include "tests/support/LogFacadeHome.h"
#include "tests/support/RecordingLogTarget.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"

namespace utilities_test {

// One line as RecordingLogTarget::messagesOf gives it.
inline std::string entry(zezu::Log_Level level, const std::string& message) {
    return std::to_string(level) + " " + message;
}

// Runs a scope in another working folder.
class ScopedWorkingFolder {
public:
    explicit ScopedWorkingFolder(const std::string& folder) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~ScopedWorkingFolder() {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
    }
    ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
    ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

private:
    std::filesystem::path old_;
};

inline std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != separator) continue;
        parts.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

// An executable shell script.
inline void writeScript(const std::string& path, const std::string& body) {
    test_support::writeFile(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
}

}  // namespace utilities_test
