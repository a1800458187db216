// Positioned reads and writes of the partial output file and the meta file.
#include "download/FileHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "download/EngineLogger.h"
#include "download/FileSystemUtils.h"
#include "download/TestSeams.h"

namespace {

std::atomic<int> injectedWriteErrno{0};
std::atomic<int> injectedWriteCount{0};

bool takeInjectedWriteFailure(int& errorNumber) {
    int remaining = injectedWriteCount.load();
    while (remaining > 0) {
        if (injectedWriteCount.compare_exchange_weak(remaining, remaining - 1)) {
            errorNumber = injectedWriteErrno.load();
            return true;
        }
    }
    return false;
}

constexpr int kFileSystemFailure = 1;

}  // namespace

void engine::testing::injectWriteFailures(int errorNumber, int count) {
    injectedWriteErrno.store(errorNumber);
    injectedWriteCount.store(count);
}

FileHandler::FileHandler() = default;

FileHandler::~FileHandler() { close(); }

bool FileHandler::open(const std::string& path) {
    MutexLock hold(mutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    opened_ = false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !FileSystemUtils::isOwnFile(info))) {
        // Something other than a plain file of ours at our name is not ours to write.
        ::close(fd);
        DLE_ERROR("not a regular file of ours at %s", path.c_str());
        lastError_.errorType = kFileSystemFailure;
        lastError_.nativeCode = FileSystemUtils::kCodeInvalidPath;
        return false;
    }
    if (fd < 0) {
        const int error = errno;
        DLE_ERROR("file does't exist at %s", path.c_str());
        lastError_.errorType = kFileSystemFailure;
        lastError_.nativeCode = (error == ENOSPC || error == EDQUOT) ? FileSystemUtils::kCodeDiskFull
                                                                     : FileSystemUtils::getFileSystemErrorCode(path, 0);
        return false;
    }
    fd_ = fd;
    path_ = path;
    opened_ = true;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return true;
}

bool FileHandler::isFileAt(const std::string& path) {
    MutexLock hold(mutex_);
    struct stat info {};
    return opened_ && ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == device_ &&
           info.st_ino == inode_;
}

bool FileHandler::close() {
    MutexLock hold(mutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return true;
}

bool FileHandler::isOpen() {
    MutexLock hold(mutex_);
    return fd_ >= 0;
}

void FileHandler::recordFailure(int errorNumber, const std::string& message) {
    lastError_.errorType = kFileSystemFailure;
    // errno names a full disk or quota directly; anything else asks the volume.
    lastError_.nativeCode = (errorNumber == ENOSPC || errorNumber == EDQUOT)
                                ? FileSystemUtils::kCodeDiskFull
                                : FileSystemUtils::getFileSystemErrorCode(path_, 0);
    lastError_.message = message;
    lastError_.reserved = 0;
    lastError_.segmentIndex = 0;
}

bool FileHandler::writeSegment(uint64_t offset, const void* bytes, uint32_t length) {
    MutexLock hold(mutex_);
    if (fd_ < 0) {
        DLE_WARN("file handler not initialized");
        return false;
    }
    const auto* data = static_cast<const char*>(bytes);
    uint32_t done = 0;
    while (done < length) {
        int error = 0;
        ssize_t n = -1;
        if (!takeInjectedWriteFailure(error)) {
            n = ::pwrite(fd_, data + done, length - done, static_cast<off_t>(offset + done));
            error = n < 0 ? errno : (n == 0 ? EIO : 0);
        }
        if (n < 0 && error == EINTR) {
            continue;
        }
        if (n <= 0) {
            recordFailure(error, "Failed to write the segment in the file which is to be downloaded");
            DLE_ERROR("write at %llu failed: %s", static_cast<unsigned long long>(offset + done), std::strerror(error));
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileHandler::readAt(uint64_t offset, void* buffer, uint32_t length) {
    MutexLock hold(mutex_);
    if (fd_ < 0) {
        DLE_WARN("file handler not initialized");
        return false;
    }
    auto* data = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            std::memset(data + done, 0, length - done);
            recordFailure(error, n < 0 ? std::strerror(error) : "the file ends before the bytes asked for");
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileHandler::readToEnd(std::unique_ptr<char[]>& buffer, uint64_t& length, uint64_t offset) {
    MutexLock hold(mutex_);
    if (fd_ < 0) {
        DLE_WARN("file handler not initialized");
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        const int error = errno;
        recordFailure(error, std::strerror(error));
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const uint64_t wanted = offset < size ? size - offset : 0;
    std::unique_ptr<char[]> data(new (std::nothrow) char[wanted + 1]);
    if (!data) {
        recordFailure(ENOMEM, std::strerror(ENOMEM));
        return false;
    }
    uint64_t done = 0;
    while (done < wanted) {
        const ssize_t n =
            ::pread(fd_, data.get() + done, static_cast<size_t>(wanted - done), static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            recordFailure(error, std::strerror(error));
            return false;
        }
        if (n == 0) {
            break;  // the file shrank meanwhile: deliver what is there
        }
        done += static_cast<uint64_t>(n);
    }
    data[done] = 0;
    length = done;
    buffer = std::move(data);
    return true;
}

void FileHandler::getLastError(ErrorRecord& record) {
    MutexLock hold(mutex_);
    record = lastError_;
}
