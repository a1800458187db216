// The download engine's flat interface: library reference, download handles and their operations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/DownloadErrorInfo.h"
#include "download/DownloadInput.h"
#include "download/DownloadPreference.h"
#include "download/IDleIntercept.h"

class FileDownloadManager;

// Two words the engine never reads; its life keeps the engine logger alive.
struct DownloadLibRef {
    uint32_t reserved[2] = {0, 0};
};

// One download: forwards every operation to its manager.
class FileDownloaderHandle {
public:
    FileDownloaderHandle();
    ~FileDownloaderHandle();
    FileDownloaderHandle(const FileDownloaderHandle&) = delete;
    FileDownloaderHandle& operator=(const FileDownloaderHandle&) = delete;

    int32_t init(const DownloadInput* input);
    int32_t setCookie(const std::string& url);
    int32_t getFileInfo(uint64_t* size, uint8_t* segmentable);
    int32_t start();
    int32_t pause();
    int32_t resume();
    int32_t stop();
    int32_t close();
    int32_t setPreference(const DownloadPreference* preference);
    int32_t getLastError(DownloadErrorInfo* info);
    int32_t addDLEIntercept(int eventType, IDleIntercept* intercept);

    FileDownloadManager& manager() { return *manager_; }
    bool hasManager() const { return manager_ != nullptr; }

private:
    std::unique_ptr<FileDownloadManager> manager_;
};

int32_t createDownloadLibRef(DownloadLibRef** libRef);
int32_t createFileDownloader(DownloadLibRef** libRef, FileDownloaderHandle** handle);
int32_t closeFileDownloader(FileDownloaderHandle** handle);
int32_t releaseDownloadLibRef(DownloadLibRef** libRef);
