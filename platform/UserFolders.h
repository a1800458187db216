// Home folders, the console user and the local-domain root.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

// The environment variable that moves the local domain ("/" by default) for tests and demos.
inline constexpr const char* kLocalRootVariable = "BOOTSTRAP_LOCAL_ROOT";

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
};

// The running process's home: $HOME when set and non-empty, else its password entry.
std::optional<std::string> processHomeFolder();

// The user at the screen: the owner of the active session on the machine's first seat, else
// the process's own user. When that is the process's user, its home is processHomeFolder().
std::optional<UserAccount> consoleUser();

// The local domain's root, without a trailing "/" except for "/" itself.
std::string localRoot();

// Joins the local root and an absolute path: localPath("/Library") is "<root>/Library".
std::string localPath(const std::string& absolutePath);

// Creates one folder with the mode; when this process is root and the console user is
// another user, gives the new folder to that user. Refuses to work through a symbolic link.
// An existing folder is success (and left as it is).
bool makeFolderForConsoleUser(const std::string& path, mode_t mode);

// The password entry of a user, without touching the effective uid.
std::optional<UserAccount> userAccount(uid_t uid);

}  // namespace platform
