// One download in a process of its own, for tests that kill it: engine_download_child URL FOLDER
// THREADS SEGMENT_BYTES downloads URL into FOLDER (resuming from the meta file when one is there)
// and exits 0 once the file is complete, 2 when the engine reports an error, 1 on bad use.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "download/DownloadEngine.h"

namespace {

class EndWaiter : public IDleIntercept {
public:
    int intercept(int event, void* data, int) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event == kEventFileComplete) {
            result_ = 0;
        } else if (event == kEventError) {
            const auto& error = *static_cast<const DownloadErrorInfo*>(data);
            std::fprintf(stderr, "download error %d (code %d, action %d): %s\n", error.errorType,
                         error.extendedErrorCode, error.action, error.message.c_str());
            result_ = 2;
        }
        if (result_ >= 0) ended_.notify_all();
        return 0;
    }

    int wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait(lock, [this] { return result_ >= 0; });
        return result_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    int result_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s URL FOLDER THREADS SEGMENT_BYTES\n", argv[0]);
        return 1;
    }
    DownloadInput input;
    input.serverPath = argv[1];
    input.targetFolder = argv[2];
    input.preference.threadCount = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    input.preference.segmentSize = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));

    DownloadLibRef* libRef = nullptr;
    FileDownloaderHandle* handle = nullptr;
    if (createDownloadLibRef(&libRef) != 0 || createFileDownloader(&libRef, &handle) != 0) return 1;
    EndWaiter waiter;
    handle->addDLEIntercept(kEventFileComplete, &waiter);
    handle->addDLEIntercept(kEventError, &waiter);
    int result = 2;
    if (handle->init(&input) == 0 && handle->start() == 0) {
        result = waiter.wait();
    } else {
        DownloadErrorInfo error;
        handle->getLastError(&error);
        std::fprintf(stderr, "the download did not start: %d %s\n", error.errorType, error.message.c_str());
    }
    closeFileDownloader(&handle);
    releaseDownloadLibRef(&libRef);
    return result;
}
