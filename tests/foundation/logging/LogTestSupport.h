// Shared pieces of the logging tests: a temporary home, file reading and line splitting.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/logging/BinaryLock.h"
#include "tests/support/FileContents.h"
#include "tests/support/TemporaryEnvironment.h"

namespace log_test {

using test_support::readFile;
using test_support::readLines;
using test_support::writeFile;

// The pieces of a line between its " | " separators.
inline std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t at; (at = line.find(" | ", start)) != std::string::npos; start = at + 3) {
        pieces.push_back(line.substr(start, at - start));
    }
    pieces.push_back(line.substr(start));
    return pieces;
}

// A temporary home whose Logs folder exists, and removal of the log-file lock sets a test
// made under its own temporary paths.
class LogEnvironment {
public:
    LogEnvironment() : logs_(environment_.home() + "/Library/Logs") {}
    ~LogEnvironment() {
        for (const std::string& path : lockedFiles_) {
            foundation::SystemVSemaphoreSet::removeKey(path, zezu::BinaryLock::kLogFileProjectId);
        }
    }
    LogEnvironment(const LogEnvironment&) = delete;
    LogEnvironment& operator=(const LogEnvironment&) = delete;

    const std::string& home() const { return environment_.home(); }
    const std::string& logs() const { return logs_; }
    // The path of a log file in the Logs folder, whose lock set is removed at the end.
    std::string logPath(const std::string& name) {
        const std::string path = logs_ + "/" + name;
        lockedFiles_.push_back(path);
        return path;
    }
    // The same, with the file made now (empty) and any stale set under its key removed.
    std::string preparedLogPath(const std::string& name) {
        const std::string path = logPath(name);
        std::filesystem::create_directories(logs_);
        writeFile(path, "");
        foundation::SystemVSemaphoreSet::removeKey(path, zezu::BinaryLock::kLogFileProjectId);
        return path;
    }

private:
    test_support::TemporaryEnvironment environment_;
    std::string logs_;
    std::vector<std::string> lockedFiles_;
};

}  // namespace log_test
