// Whole-file reads and writes for tests: bytes as they are, no text-mode translation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// The file's bytes; nothing when it cannot be opened.
std::optional<std::string> readFileIfAny(const std::string& path);
// The file's bytes; "" when it cannot be opened.
std::string readFile(const std::string& path);
// The file's lines without their line ends; none when it cannot be opened.
std::vector<std::string> readLines(const std::string& path);

// The names of the folder's entries, sorted; none when it cannot be read.
std::vector<std::string> namesIn(const std::string& folder);

// Replaces the file's content with bytes (creating it, not its folder); false when that fails.
bool writeFile(const std::string& path, std::string_view bytes);

}  // namespace test_support
