// FileDownloader: the bootstrapper's client of the download engine, one file at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "download/DownloadEngine.h"

class ValidatorBase;

namespace zezu {
class Logger;
}

// Status codes the owner polls.
enum FileDownloaderStatus : int32_t {
    kDownloaderIdle = 0,
    kDownloaderCreated = 1,
    kDownloaderInitialized = 2,
    kDownloaderCookieSet = 3,
    kDownloaderReady = 4,
    kDownloaderDownloading = 5,
    kDownloaderPaused = 6,
    kDownloaderStopped = 7,
    kDownloaderUserActionableError = 8,
    kDownloaderFatalError = 9,
    kDownloaderComplete = 10,
};

// The engine's answer to a resume when the server's file changed while the download was paused.
constexpr int32_t kResumeRefusedFileChanged = -999;

// Owned and driven by one thread; the engine's threads reach it only through intercept, and
// everything they write is atomic. The error fields are stored before the status and read
// after it, so an owner that sees 8 or 9 also sees the error that caused it.
class FileDownloader : public IDleIntercept {
public:
    FileDownloader();
    ~FileDownloader() override;
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;

    // Also forgets the previous file's error. False only when no library reference can be made.
    bool setFileInfo(const std::string& url, const std::string& folder, const std::string& fileName);
    void setDownloadPreference(uint32_t segmentSize, const std::string& user, const std::string& password);
    // The size the file must have, 0 when unknown: the engine takes a stream that ends before it
    // for a dropped one, even when the server gives no length.
    void setExpectedFileSize(uint64_t size);
    // Kept for the next download; handed to a live handle at once.
    void setProxyCredentials(const std::string& user, const std::string& password);
    void setCookie(const std::string& cookie);
    // Not owned. Gives back the previous validator when it differs, for the caller to delete.
    ValidatorBase* setValidator(ValidatorBase* validator);
    // Every segment the validator has a signature for passed its check since the last start.
    bool allSegmentsValidated() const;

    bool prepare();
    // A failed engine start releases the handle and keeps its error; the next prepare makes a new one.
    bool start();
    // Blocks until the engine ends the download (polling every 100 ms).
    bool downloadFileSync(const std::string& url, const std::string& folder, const std::string& fileName);
    bool pause();
    bool resume();
    bool close();

    bool isStarted() const { return started_; }
    int32_t getStatus() const { return status_.load(); }
    bool isUserActionableError() const { return userActionable_.load(); }
    int32_t getErrorType() const { return errorType_.load(); }
    int32_t getExtendedErrorCode() const { return extendedErrorCode_.load(); }
    uint64_t getRemoteFileSize() const { return remoteFileSize_; }
    uint64_t getBytesDownloaded() const { return bytesDownloaded_.load(); }

    int intercept(int eventType, void* data, int length) override;

private:
    bool ensureLibRef();
    // 0 is success; otherwise the handle's last error is kept and false returned.
    bool record(int32_t result);
    // Closes and frees the handle without touching the recorded error.
    void releaseHandle();
    void resetError();

    DownloadLibRef* libRef_ = nullptr;
    FileDownloaderHandle* handle_ = nullptr;
    DownloadInput input_;
    uint64_t remoteFileSize_ = 0;
    std::atomic<uint64_t> bytesDownloaded_{0};
    bool started_ = false;
    std::atomic<int32_t> status_{kDownloaderIdle};
    std::unique_ptr<DownloadPreference> preference_;
    std::atomic<ValidatorBase*> validator_{nullptr};
    // One mark per segment of the validator, set by the engine's serializer thread; made only
    // between downloads, with the validator.
    std::unique_ptr<std::atomic<bool>[]> validated_;
    uint32_t segmentCount_ = 0;
    bool hasCookie_ = false;
    std::string cookie_;
    std::atomic<int32_t> errorType_{0};
    std::atomic<int32_t> extendedErrorCode_{0};
    std::atomic<bool> userActionable_{false};
    std::unique_ptr<zezu::Logger> logger_;
};
