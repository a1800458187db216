// Home folders, the console user and the local-domain root on Linux.
#include "platform/UserFolders.h"
#include "platform/TestSeams.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/Mutex.h"

namespace platform {
namespace {

// Nothing here logs: the log targets call into this file while holding their locks.

Mutex sessionFolderMutex;
std::string sessionFolderOverride GUARDED_BY(sessionFolderMutex);

std::string sessionStateFolder() {
    MutexLock lock(sessionFolderMutex);
    return sessionFolderOverride.empty() ? std::string("/run/systemd") : sessionFolderOverride;
}

// Reads KEY=value from logind's environment-style state files.
std::optional<std::string> stateValue(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    const std::string prefix = key + "=";
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            std::string value = line.substr(prefix.size());
            if (value.empty()) return std::nullopt;
            return value;
        }
    }
    return std::nullopt;
}

std::optional<uid_t> parseUid(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value >= static_cast<unsigned long long>(static_cast<uid_t>(-1)))
        return std::nullopt;
    return static_cast<uid_t>(value);
}

// The uid owning the active session on seat0, if logind reports one. Its state lies in
// /run/systemd (seats/seat0, sessions/<id>), or in the folder testing::setSessionStateFolder names.
std::optional<uid_t> activeSeatUid() {
    const std::string folder = sessionStateFolder();
    const std::string seat = folder + "/seats/seat0";
    if (auto uid = stateValue(seat, "ACTIVE_UID")) {
        if (auto parsed = parseUid(*uid)) return parsed;
    }
    auto session = stateValue(seat, "ACTIVE");
    if (!session || session->find('/') != std::string::npos || *session == "." || *session == "..") return std::nullopt;
    if (auto uid = stateValue(folder + "/sessions/" + *session, "UID")) return parseUid(*uid);
    return std::nullopt;
}

}  // namespace

std::optional<UserAccount> userAccount(uid_t uid) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found) return std::nullopt;
        UserAccount account;
        account.uid = entry.pw_uid;
        account.gid = entry.pw_gid;
        account.name = entry.pw_name ? entry.pw_name : "";
        account.home = entry.pw_dir ? entry.pw_dir : "";
        return account;
    }
}

std::optional<std::string> processHomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home);
    auto account = userAccount(geteuid());
    if (!account || account->home.empty()) return std::nullopt;
    return account->home;
}

std::optional<UserAccount> consoleUser() {
    const uid_t self = geteuid();
    const uid_t uid = activeSeatUid().value_or(self);
    auto account = userAccount(uid);
    if (uid != self) {
        if (!account || account->home.empty()) return std::nullopt;
        return account;
    }
    auto home = processHomeFolder();
    if (!home) return std::nullopt;
    if (!account) {
        account = UserAccount{};
        account->uid = self;
        account->gid = getegid();
    }
    account->home = *home;
    return account;
}

std::string localRoot() {
    const char* value = std::getenv(kLocalRootVariable);
    std::string root = value ? value : "";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root.empty()) root = "/";
    return root;
}

std::string localPath(const std::string& absolutePath) {
    const std::string root = localRoot();
    std::string tail = absolutePath;
    if (tail.empty() || tail.front() != '/') tail.insert(tail.begin(), '/');
    if (root == "/") return tail;
    return root + tail;
}

void testing::setSessionStateFolder(const std::string& folder) {
    MutexLock lock(sessionFolderMutex);
    sessionFolderOverride = folder;
}

bool makeFolderForConsoleUser(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st {};
    if (mkdir(path.c_str(), mode) != 0) {
        if (errno != EEXIST) return false;
        if (lstat(path.c_str(), &st) != 0) return false;
        return S_ISDIR(st.st_mode);
    }
    if (geteuid() != 0) return true;
    auto user = consoleUser();
    if (!user || user->uid == 0) return true;
    // Open what we just made without following a link someone may have swapped in, and
    // change the owner through the descriptor so the chown cannot be redirected.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchown(fd, user->uid, user->gid) == 0;
    close(fd);
    return ok;
}

}  // namespace platform
