// Reading the program's log, MSP_ZOR.log, in tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

namespace test_support {

inline std::string programLogPath(const std::string& home) {
    return home + "/Library/Logs/ZarvoDownload/MSP_ZOR.log";
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Index of the first line from `from` on that holds text, or lines.size().
inline std::size_t findLine(const std::vector<std::string>& lines, const std::string& text, std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return i;
        }
    }
    return lines.size();
}

inline std::size_t countLines(const std::vector<std::string>& lines, const std::string& text) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

// True when every text appears, each on a later line than the one before.
inline bool linesInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts) {
    std::size_t at = 0;
    for (const std::string& text : texts) {
        at = findLine(lines, text, at);
        if (at == lines.size()) {
            return false;
        }
        ++at;
    }
    return true;
}

inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) {
        all += line + "\n";
    }
    return all;
}

// Waits, bounded, for a file another process writes whole (it renames it into place).
inline bool waitForFile(const std::string& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace test_support
