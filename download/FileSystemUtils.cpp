// File-system helpers of the download engine.
#include "download/FileSystemUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "download/EngineLogger.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/UserFolders.h"

namespace FileSystemUtils {

namespace {

// The path itself when it exists, else its nearest existing ancestor ("." for a bare name).
std::string nearestExisting(const std::string& path) {
    std::filesystem::path current = path.empty() ? std::filesystem::path(".") : std::filesystem::path(path);
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat info {};
        if (::stat(current.c_str(), &info) == 0) {
            return current.string();
        }
        if (!current.has_relative_path() || current == current.parent_path()) {
            break;
        }
        std::filesystem::path parent = current.parent_path();
        current = parent.empty() ? std::filesystem::path(".") : parent;
    }
    return current.string();
}

}  // namespace

int nativeCodeForErrno(int errorNumber) {
    switch (errorNumber) {
        case EACCES: return kCodeAccessDenied;
        case EPERM:
        case EROFS: return kCodeNoPermission;
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP: return kCodeInvalidPath;
        case ENOSPC:
        case EDQUOT: return kCodeDiskFull;
        default: return errorNumber;
    }
}

bool createFile(const std::string& path, int& code) {
    // A file already there may be someone else's, or held open by someone: it is removed, never
    // reused, so that no byte of ours lands in it. A symbolic link is refused, not followed.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int error = errno;
        DLE_ERROR("Error replacing local file. Error code: %d - message: %s", error, std::strerror(error));
        code = nativeCodeForErrno(error);
        return false;
    }
    const platform::FileDescriptor fd =
        platform::FileDescriptor::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (!fd.valid()) {
        const int opened = errno;
        // A link that appeared at the name is named as one, not as a file in the way.
        const int error =
            opened == EEXIST && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) ? ELOOP : opened;
        DLE_ERROR("Error creating local file. Error code: %d - message: %s", error, std::strerror(error));
        code = nativeCodeForErrno(error);
        return false;
    }
    return true;
}

bool setFileSize(const std::string& path, uint64_t size, int& code) {
    int error = 0;
    {
        const platform::FileDescriptor fd = platform::FileDescriptor::open(path.c_str(), O_WRONLY | O_NOFOLLOW);
        struct stat info {};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
            error = errno;
        } else if (size > static_cast<uint64_t>(LLONG_MAX)) {
            error = EFBIG;
        } else if (size < static_cast<uint64_t>(info.st_size)) {
            if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
                error = errno;
            }
        } else if (size > static_cast<uint64_t>(info.st_size)) {
            error = platform::growFileReserving(fd.get(), size);
        }
    }
    if (error == 0) {
        return true;
    }
    code = (error == ENOSPC || error == EDQUOT) ? kCodeDiskFull : getFileSystemErrorCode(path, size);
    DLE_ERROR("setFileSize failed for %s: %s", path.c_str(), std::strerror(error));
    int ignored = 0;
    deleteFile(path, ignored);
    return false;
}

bool deleteFile(const std::string& path, int& code) {
    if (path.empty()) {
        DLE_WARN("deleteFile : invalid filePath to delete");
        code = kCodeMissingPath;
        return true;
    }
    DLE_TRACE("deleteFile : going to delete filePath - %s", path.c_str());
    if (::unlink(path.c_str()) == 0) {
        return true;
    }
    const int error = errno;
    if (error == ENOENT) {
        DLE_TRACE("File does not exist!");
        return true;
    }
    code = nativeCodeForErrno(error);
    DLE_ERROR("deleteFile : failed to delete %s: %s", path.c_str(), std::strerror(error));
    return false;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    if (!path.empty() && ::lstat(path.c_str(), &info) == 0) {
        return true;
    }
    DLE_TRACE("File does not exist at %s", path.c_str());
    return false;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isOwnFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

bool isOwnFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0 && isOwnFile(info);
}

bool createDirectory(const std::string& path, int& code) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error && !std::filesystem::is_directory(path)) {
        code = nativeCodeForErrno(error.value());
        return false;
    }
    return true;
}

bool deleteDirectory(const std::string& path, int& code) {
    std::error_code error;
    // remove_all never follows symbolic links: a link inside is removed, not its target.
    std::filesystem::remove_all(path, error);
    if (error) {
        code = nativeCodeForErrno(error.value());
        DLE_ERROR("deleteDirectory failed for %s. Error is %d and error domain is %s - %s", path.c_str(), code, "POSIX",
                  error.message().c_str());
        return false;
    }
    return true;
}

bool directoryExists(const std::string& path) {
    struct stat info {};
    if (!path.empty() && ::stat(path.c_str(), &info) == 0) {
        return true;
    }
    DLE_TRACE("Unable to detect directory existence for %s", path.c_str());
    return false;
}

bool renameFile(const std::string& destination, const std::string& source, int& code) {
    if (destination.empty() || source.empty()) {
        DLE_WARN("invalid params for renameFile");
        return false;
    }
    const int error = platform::renameWithoutReplacing(source, destination);
    if (error == 0) {
        return true;
    }
    code = nativeCodeForErrno(error);
    DLE_ERROR("Failed to rename the file from %s to %s. Error is %d and error domain is %s", source.c_str(),
              destination.c_str(), code, "POSIX");
    return false;
}

namespace {

// The bytes in a new temporary file beside path, synced; "" when that fails (nothing is left behind).
std::string writeTemporaryBeside(const std::string& path, const std::string& bytes) {
    if (path.empty()) {
        return "";
    }
    std::string temporary = path + ".XXXXXX";
    platform::FileDescriptor descriptor(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!descriptor.valid()) {
        return "";
    }
    const int fd = descriptor.get();
    bool written = true;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            written = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        written = false;
    }
    if (!descriptor.close()) {
        written = false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return "";
    }
    return temporary;
}

}  // namespace

bool writeDataToFile(const std::string& path, const std::string& bytes) {
    const std::string temporary = writeTemporaryBeside(path, bytes);
    if (temporary.empty()) {
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool writeDataToNewFile(const std::string& path, const std::string& bytes, int& code) {
    const std::string temporary = writeTemporaryBeside(path, bytes);
    if (temporary.empty()) {
        code = kCodeOtherFailure;
        return false;
    }
    if (!renameFile(path, temporary, code)) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool getHomeFolderPath(std::string& path) {
    path = platform::processHomeFolder().value_or("");
    if (!path.empty()) {
        int ignored = 0;
        createDirectory(path, ignored);
    }
    return true;
}

bool getConsoleUserHomeFolderPath(std::string& path) {
    // The console user's home comes from its password entry; the effective uid never changes.
    const auto user = platform::consoleUser();
    if (user && !user->home.empty()) {
        path = user->home;
        return true;
    }
    return getHomeFolderPath(path);
}

int quotaFromLimits(uint64_t softLimitBytes, uint64_t hardLimitBytes, uint64_t usedBytes, uint64_t& available) {
    available = 0;
    const uint64_t limit = softLimitBytes != 0 ? softLimitBytes : hardLimitBytes;
    if (limit == 0) {
        DLE_TRACE(
            "Note there is Quota on system and not configured or zero quotaLimit specified for this user. Treating as "
            "quota not enabled.");
        return 0;
    }
    if (limit > usedBytes) {
        available = limit - usedBytes;
    }
    DLE_TRACE("outAvailableQuotaSize (%llu) ?", static_cast<unsigned long long>(available));
    return 1;
}

int util_GetQuotaSize(const std::string& path, uint64_t& available) {
    available = 0;
    if (::geteuid() == 0 || ::getuid() == 0) {
        return 0;
    }
    const platform::UserQuota quota = platform::userQuota(nearestExisting(path));
    if (quota.state == platform::QuotaState::None) {
        return 0;
    }
    if (quota.state == platform::QuotaState::Failed) {
        if (quota.failedQuery == platform::QuotaQuery::Enabled) {
            DLE_ERROR("Error util_GetQuotaSize got (%d) while querying isQutoaEnabled. Errorno (%d). error msg -- %s",
                      -1, quota.osErrno, std::strerror(quota.osErrno));
        } else {
            DLE_ERROR(
                "Error util_GetQuotaSize got error (%d) while querying quota information. Errorno (%d). error msg -- %s",
                -1, quota.osErrno, std::strerror(quota.osErrno));
        }
        return -1;
    }
    DLE_TRACE("isQutoaEnabled %d userID %d ", 1, static_cast<int>(::geteuid()));
    DLE_TRACE("dqb_bsoftlimit (%llu) ?", static_cast<unsigned long long>(quota.softLimitBytes));
    DLE_TRACE("dqb_bhardlimit (%llu) ?", static_cast<unsigned long long>(quota.hardLimitBytes));
    DLE_TRACE("dqb_curbytes (%llu) ?", static_cast<unsigned long long>(quota.usedBytes));
    return quotaFromLimits(quota.softLimitBytes, quota.hardLimitBytes, quota.usedBytes, available);
}

bool hasEnoughDiskSpace(const std::string& path, uint64_t required) {
    uint64_t quota = 0;
    const int quotaResult = util_GetQuotaSize(path, quota);
    if (quotaResult == 1) {
        DLE_TRACE("availableQuotaSize ... %llu", static_cast<unsigned long long>(quota));
        if (required >= quota) {
            return false;
        }
    } else if (quotaResult == -1) {
        DLE_ERROR("Error util_GetQuotaSize got error.");
        return false;
    }
    uint64_t freeBytes = 0;
    struct statvfs volume {};
    if (::statvfs(nearestExisting(path).c_str(), &volume) == 0) {
        freeBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    }
    DLE_TRACE("freeDiskSpace ... %llu", static_cast<unsigned long long>(freeBytes));
    return freeBytes > required;
}

int getFileSystemErrorCode(const std::string& path, uint64_t required) {
    if (hasEnoughDiskSpace(path, required)) {
        DLE_TRACE("some exception has come");
        return kCodeOtherFailure;
    }
    return kCodeDiskFull;
}

bool stringToInt(const std::string& text, int32_t& value) {
    long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    // Out-of-range numbers saturate instead of wrapping into the other sign.
    if (parsed > INT32_MAX) {
        parsed = INT32_MAX;
    } else if (parsed < INT32_MIN) {
        parsed = INT32_MIN;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

bool stringToUInt64(const char* characters, size_t count, uint64_t& value) {
    value = 0;
    uint64_t result = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = characters[i];
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return false;  // would wrap
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool uint64ToString(uint64_t value, std::string& text) {
    text = std::to_string(value);
    return true;
}

bool copyStringValue(const std::string& in, std::string& out) {
    out = in;
    return true;
}

size_t utilStrlen(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

}  // namespace FileSystemUtils
