// The mount table from /proc/self/mountinfo and loop devices' backing files from /sys.
#include "platform/MountTable.h"
#include "platform/linux/MountInfo.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace platform {
namespace {

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// user_id=N of a comma-separated option list, as the kernel's FUSE driver writes it.
std::optional<uid_t> userIdOption(const std::string& options) {
    constexpr std::string_view kKey = "user_id=";
    for (size_t at = 0; at <= options.size();) {
        size_t end = options.find(',', at);
        if (end == std::string::npos) end = options.size();
        const std::string_view option(options.data() + at, end - at);
        if (option.substr(0, kKey.size()) == kKey) {
            const std::string_view digits = option.substr(kKey.size());
            uid_t value = 0;
            const auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            if (digits.empty() || error != std::errc() || rest != digits.data() + digits.size()) return std::nullopt;
            return value;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<MountEntry> parseMountInfo(const std::string& text) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::vector<MountEntry> entries;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string field; fields >> field;) parts.push_back(field);
        size_t separator = 6;
        while (separator < parts.size() && parts[separator] != "-") ++separator;
        if (parts.size() < 5 || separator + 2 >= parts.size()) continue;
        MountEntry entry{unescape(parts[4]), unescape(parts[separator + 1]), unescape(parts[separator + 2]), {}};
        if (separator + 3 < parts.size()) entry.userId = userIdOption(unescape(parts[separator + 3]));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<MountEntry> currentMounts() { return parseMountInfo(readWhole("/proc/self/mountinfo")); }

// sysfs names the file of an attached loop device in block/loopN/loop/backing_file.
std::optional<std::string> loopBackingFile(const std::string& device) {
    const std::string prefix = "/dev/loop";
    if (device.compare(0, prefix.size(), prefix) != 0 || device.size() == prefix.size() ||
        device.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
        return std::nullopt;
    std::string file = readWhole("/sys/block/" + device.substr(5) + "/loop/backing_file");
    while (!file.empty() && file.back() == '\n') file.pop_back();
    if (file.empty()) return std::nullopt;
    return file;
}

}  // namespace platform
