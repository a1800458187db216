// The engine's handle on a partial output or meta file: positioned reads and writes under a lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "download/ErrorRecord.h"
#include "download/Mutex.h"

class FileHandler {
public:
    FileHandler();
    ~FileHandler();
    FileHandler(const FileHandler&) = delete;
    FileHandler& operator=(const FileHandler&) = delete;

    // Opens an existing regular file for reading and writing, never through a symbolic link.
    bool open(const std::string& path) EXCLUDES(mutex_);
    // Whether path names, without following a link, the file this handler last opened (also
    // after it was closed): what lies there may have been swapped since.
    bool isFileAt(const std::string& path) EXCLUDES(mutex_);
    bool close() EXCLUDES(mutex_);
    bool writeSegment(uint64_t offset, const void* bytes, uint32_t length) EXCLUDES(mutex_);
    // Reads exactly length bytes; a file that ends sooner is a failure and the buffer's
    // unread tail is zeroed, so a short file never passes for data.
    bool readAt(uint64_t offset, void* buffer, uint32_t length) EXCLUDES(mutex_);
    // From offset to the end, into a new buffer of length + 1 bytes whose last byte is 0.
    bool readToEnd(std::unique_ptr<char[]>& buffer, uint64_t& length, uint64_t offset) EXCLUDES(mutex_);
    void getLastError(ErrorRecord& record) EXCLUDES(mutex_);
    bool isOpen() EXCLUDES(mutex_);

private:
    void recordFailure(int errorNumber, const std::string& message) REQUIRES(mutex_);

    Mutex mutex_;
    int fd_ GUARDED_BY(mutex_) = -1;
    ErrorRecord lastError_ GUARDED_BY(mutex_);
    std::string path_ GUARDED_BY(mutex_);
    bool opened_ GUARDED_BY(mutex_) = false;
    dev_t device_ GUARDED_BY(mutex_) = 0;
    ino_t inode_ GUARDED_BY(mutex_) = 0;
};
