// Machine facts on Linux: password database, machine-id and sysfs network interfaces.
// A fixture root holds etc/passwd, etc/machine-id and sys/class/net/<name>/{device,type,address}.
#include "platform/MachineFacts.h"
#include "platform/TestSeams.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

namespace platform {
namespace {

Mutex& rootMutex() {
    static Mutex mutex;
    return mutex;
}

std::string& processRoot() REQUIRES(rootMutex()) {
    static std::string root = "/";
    return root;
}

// Reads a small text file whole; nothing when it cannot be opened.
std::optional<std::string> readSmallFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0 || content.size() > 65536) {
            break;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

std::string trimmed(const std::string& text) {
    static constexpr const char* kSpace = " \t\n\r\f\v";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

std::optional<EthernetAddress> parseAddress(const std::string& text) {
    EthernetAddress address{};
    unsigned int bytes[6];
    char tail = 0;
    std::string line = trimmed(text);
    if (std::sscanf(line.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4],
                    &bytes[5], &tail) != 6 ||
        line.size() != 17) {
        return std::nullopt;
    }
    for (size_t i = 0; i < address.size(); ++i) {
        address[i] = static_cast<std::uint8_t>(bytes[i]);
    }
    return address;
}

std::optional<std::string> passwordDatabaseName(uid_t uid) {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
            return std::nullopt;
        }
        return std::string(found->pw_name);
    }
}

// etc/passwd lines are name:password:uid:...
std::optional<std::string> passwdFileName(const std::string& content, uid_t uid) {
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        size_t first = line.find(':');
        size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        size_t third = second == std::string::npos ? second : line.find(':', second + 1);
        if (third == std::string::npos || first == 0) {
            continue;
        }
        if (line.substr(second + 1, third - second - 1) == std::to_string(uid)) {
            return line.substr(0, first);
        }
    }
    return std::nullopt;
}

}  // namespace

MachineFacts::MachineFacts(std::string root) : root_(std::move(root)) {
    size_t end = root_.find_last_not_of('/');
    root_.resize(end == std::string::npos ? 0 : end + 1);
    if (root_.empty()) {
        root_.push_back('/');
    }
}

std::string MachineFacts::pathUnderRoot(const std::string& absolutePath) const {
    return root_ == "/" ? absolutePath : root_ + absolutePath;
}

// The password database under "/", the fixture's etc/passwd elsewhere.
std::optional<std::string> MachineFacts::loginUserName() const {
    if (root_ == "/") {
        return passwordDatabaseName(::getuid());
    }
    auto content = readSmallFile(pathUnderRoot("/etc/passwd"));
    if (!content) {
        return std::nullopt;
    }
    return passwdFileName(*content, ::getuid());
}

// etc/machine-id, which every user can read.
std::optional<std::string> MachineFacts::platformSerial() const {
    auto content = readSmallFile(pathUnderRoot("/etc/machine-id"));
    if (!content) {
        return std::nullopt;
    }
    std::string serial = trimmed(trimmed(*content).substr(0, 23));
    if (serial.empty() || serial.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return serial;
}

// sys/class/net: a physical interface has a device link; type 1 is ARPHRD_ETHER.
std::optional<EthernetAddress> MachineFacts::primaryEthernetAddress() const {
    const std::string netFolder = pathUnderRoot("/sys/class/net");
    DIR* dir = ::opendir(netFolder.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        const std::string folder = netFolder + "/" + name;
        struct stat linkStatus {};
        // Virtual interfaces (bridges, tunnels, veth) have no device link.
        if (::lstat((folder + "/device").c_str(), &linkStatus) != 0) {
            continue;
        }
        auto type = readSmallFile(folder + "/type");
        if (!type || trimmed(*type) != "1") {
            continue;
        }
        auto text = readSmallFile(folder + "/address");
        if (!text) {
            continue;
        }
        if (auto address = parseAddress(*text)) {
            return address;
        }
    }
    return std::nullopt;
}

MachineFacts machineFacts() {
    MutexLock guard(rootMutex());
    return MachineFacts(processRoot());
}

void testing::setMachineFactsRoot(const std::string& root) {
    MutexLock guard(rootMutex());
    processRoot() = root.empty() ? "/" : root;
}

}  // namespace platform
