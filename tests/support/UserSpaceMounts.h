// The squashfuse processes and mounts a test made under its folder: found, killed, detached.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

// Why this machine has no user-space mounts (no squashfuse, no /dev/fuse); "" when it has.
std::string missingUserSpaceMounts();

// The live squashfuse processes with an argument under folder (their image or mount point).
std::vector<pid_t> squashfuseProcessesUnder(const std::string& folder);

// True once no squashfuse process under folder is left; false when one still is after wait.
bool waitForNoSquashfuseUnder(const std::string& folder, std::chrono::milliseconds wait = std::chrono::seconds(30));

// Kills the squashfuse process serving mountPoint and waits until the mount point answers
// ENOTCONN, as after a crash; false when there was none or it never did.
bool killSquashfuseAt(const std::string& mountPoint);

// Everything a test left under folder goes, whatever it failed at: every mount (lazily, the
// deepest first; by fusermount for a user who may not unmount), then the squashfuse processes.
void detachEverythingUnder(const std::string& folder);

// Detaches everything under folder when it goes.
struct UserSpaceMountCleanup {
    std::string folder;
    ~UserSpaceMountCleanup() { detachEverythingUnder(folder); }
};

}  // namespace test_support
