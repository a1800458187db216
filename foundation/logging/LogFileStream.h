// An append-only log file descriptor with a stream-like good/bad state.
#pragma once

#include <string>
#include <string_view>

namespace zezu {

// Opened with O_APPEND (other processes truncate the file during rotation, so every write
// must go to the current end), O_NOFOLLOW (the Logs folder may belong to another user) and
// O_CLOEXEC. Each line goes out in one write(), so concurrent appenders never tear it.
class LogFileStream {
public:
    LogFileStream() = default;
    ~LogFileStream() { close(); }
    LogFileStream(const LogFileStream&) = delete;
    LogFileStream& operator=(const LogFileStream&) = delete;

    // Closes any open file and opens path for appending, creating it when missing. A file
    // this call created is made 0666 through its descriptor; a failure of that is printed
    // to standard error and otherwise ignored.
    bool openAppend(const std::string& path);
    void close();

    bool isOpen() const { return fd_ >= 0; }
    // Open and no write has failed since the open.
    bool good() const { return fd_ >= 0 && !bad_; }
    void setBad() { bad_ = true; }

    // Writes text and a line feed in one call; a failure marks the stream bad.
    bool writeLine(std::string_view text);

private:
    int fd_ = -1;
    bool bad_ = false;
};

}  // namespace zezu
