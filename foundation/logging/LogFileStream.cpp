// LogFileStream: O_APPEND|O_NOFOLLOW log files written one whole line a call.
#include "foundation/logging/LogFileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace zezu {

bool LogFileStream::openAppend(const std::string& path) {
    close();
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
    bool created = true;
    int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(path.c_str(), kFlags);
    }
    if (fd < 0) return false;
    if (created && ::fchmod(fd, 0666) != 0) {
        std::fprintf(stderr, "\n Error Set File permissions. errno = %s", std::strerror(errno));
    }
    fd_ = fd;
    bad_ = false;
    return true;
}

void LogFileStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bad_ = false;
}

bool LogFileStream::writeLine(std::string_view text) {
    if (fd_ < 0) {
        bad_ = true;
        return false;
    }
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            bad_ = true;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace zezu
