// platform::FileDescriptor, the one owner of a POSIX file descriptor.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

// Move-only; closes its descriptor exactly once. Header-only so that every layer, the lowest
// included, may hold one. Thread contract: one owner at a time, like the descriptor itself.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // open(2) with O_CLOEXEC always added, so that a process we launch inherits nothing.
    // Invalid on failure, errno telling why.
    static FileDescriptor open(const char* path, int flags, mode_t mode = 0) {
        return FileDescriptor(::open(path, flags | O_CLOEXEC, mode));
    }

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

    // Gives up ownership: the caller closes what comes back.
    int release() { return std::exchange(fd_, -1); }

    // Closes the held descriptor (if any) and holds fd instead. errno is kept, so a caller
    // can drop a descriptor on a failure path and still report the failure's cause.
    void reset(int fd = -1) {
        const int previous = std::exchange(fd_, fd);
        if (previous >= 0) {
            const int saved = errno;
            ::close(previous);
            errno = saved;
        }
    }

    // Closes now and says whether close(2) succeeded: a write's last error can surface only
    // here. Never retried on EINTR, since Linux has released the descriptor either way.
    bool close() {
        const int previous = std::exchange(fd_, -1);
        return previous < 0 || ::close(previous) == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace platform
