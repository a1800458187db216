// File-system services on Linux: quotactl_fd, fallocate and renameat2.
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <linux/quota.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

// glibc has no wrapper for quotactl_fd (Linux 5.14); older headers lack the number too.
#ifndef SYS_quotactl_fd
#define SYS_quotactl_fd 443
#endif

// Errors of the quota calls that only say "no quota here".
bool meansNoQuota(int errorNumber) {
    switch (errorNumber) {
        case ESRCH:
        case ENOSYS:
        case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
        case EOPNOTSUPP:
#endif
        case ENOTBLK:
        case ENODEV:
        case ENOENT:
        case EINVAL: return true;
        default: return false;
    }
}

UserQuota failedQuota(QuotaQuery query, int errorNumber) {
    UserQuota quota;
    if (!meansNoQuota(errorNumber)) {
        quota.state = QuotaState::Failed;
        quota.failedQuery = query;
        quota.osErrno = errorNumber;
    }
    return quota;
}

UserQuota queryQuota(int fd) {
    std::uint32_t format = 0;
    if (::syscall(SYS_quotactl_fd, fd, QCMD(Q_GETFMT, USRQUOTA), 0, &format) != 0) {
        return failedQuota(QuotaQuery::Enabled, errno);
    }
    struct if_dqblk record {};
    if (::syscall(SYS_quotactl_fd, fd, QCMD(Q_GETQUOTA, USRQUOTA), static_cast<int>(::geteuid()), &record) != 0) {
        return failedQuota(QuotaQuery::Limits, errno);
    }
    UserQuota quota;
    quota.state = QuotaState::Limits;
    // Block limits are in 1024-byte quota blocks; the space in use is in bytes.
    quota.softLimitBytes = static_cast<std::uint64_t>(record.dqb_bsoftlimit) * 1024;
    quota.hardLimitBytes = static_cast<std::uint64_t>(record.dqb_bhardlimit) * 1024;
    quota.usedBytes = record.dqb_curspace;
    return quota;
}

}  // namespace

UserQuota userQuota(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const UserQuota quota = queryQuota(fd);
    ::close(fd);
    return quota;
}

int growFileReserving(int fd, std::uint64_t size) {
    // Mode 0 reserves real blocks without writing them (posix_fallocate would write).
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0) {
        return 0;
    }
    const int error = errno;
    if (error == EOPNOTSUPP && ::ftruncate(fd, static_cast<off_t>(size)) == 0) {
        return 0;
    }
    return error;
}

int renameWithoutReplacing(const std::string& source, const std::string& destination) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int error = errno;
    if (error != EINVAL && error != ENOSYS) {
        return error;
    }
    // A file system without RENAME_NOREPLACE: link refuses an existing name as well.
    if (::link(source.c_str(), destination.c_str()) != 0) {
        return errno;
    }
    ::unlink(source.c_str());
    return 0;
}

}  // namespace platform
