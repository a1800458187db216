// File-system services beyond plain POSIX: the user's disk quota, reserved blocks, a rename that never replaces.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class QuotaState {
    None,    // no quota binds the user there (quotas off or unsupported, the path unreadable)
    Limits,  // the limits below hold
    Failed,  // the file system could not answer (osErrno tells why)
};

// Which question to the file system failed: whether quotas are on, or the user's own record.
enum class QuotaQuery { Enabled, Limits };

// The effective user's block quota, in bytes. A limit of 0 means that limit is not set.
struct UserQuota {
    QuotaState state = QuotaState::None;
    std::uint64_t softLimitBytes = 0;
    std::uint64_t hardLimitBytes = 0;
    std::uint64_t usedBytes = 0;
    QuotaQuery failedQuery = QuotaQuery::Enabled;  // Failed only
    int osErrno = 0;                               // Failed only
};

// The effective user's quota on the file system that holds path, an existing file or folder.
UserQuota userQuota(const std::string& path);

// Grows the open file to size bytes with real blocks, not written, so that a full disk shows
// now rather than in the middle of a write; where the file system cannot reserve blocks, the
// file grows without them. 0, else an errno value.
int growFileReserving(int fd, std::uint64_t size);

// Renames source to destination, never replacing an existing destination (EEXIST then), on
// every file system. 0, else an errno value.
int renameWithoutReplacing(const std::string& source, const std::string& destination);

}  // namespace platform
