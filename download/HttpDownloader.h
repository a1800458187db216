// The engine's HTTP transport: HEAD probes, ranged or whole GETs streamed into the caller's buffer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "download/DownloadPreference.h"
#include "download/ErrorRecord.h"
#include "download/Mutex.h"
#include "download/ProxySettingsHolder.h"
#include "platform/HttpTransfer.h"

// "Range: bytes=start-end".
std::pair<std::string, std::string> makeRangeHeader(uint64_t start, uint64_t end);

// One object per job or probe, used by one thread; only cancel() comes from another thread.
// The hand-shake: the user marks itself inside (reading_) and then checks cancelled_; cancel()
// marks cancelled_, wakes the exchange, waits until the user has left, and only then frees it.
class HttpDownloader {
public:
    // readData results.
    static constexpr int kReadFailed = 0;  // failed or cancelled
    static constexpr int kReadData = 1;    // data, or nothing yet: length tells
    static constexpr int kReadEnd = 2;     // the end of the body, length bytes still delivered
    static constexpr int kReadNotInitialized = 3;

    HttpDownloader(ProxySettingsHolder* holder, const DownloadSessionPreference* preference);
    ~HttpDownloader();
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    bool init(ProxySettingsHolder* holder, const DownloadSessionPreference* preference);
    std::string buildUrl(const std::string& host, const std::string& path, bool withPort) const;
    std::string getUrl() const { return buildUrl("", "", true); }

    // HEAD requests; they follow redirects and store the cookies of every answer.
    bool setCookieFromURL(const std::string& host, const std::string& path);
    bool createAndSendRequest(const std::string& path);
    bool getRemoteFileSize(uint64_t& size);
    bool checkByteRangeSupport(uint64_t size, bool forceHead);
    // Requests started from now on end (as timed out) at `at`, so a series of probe tries that
    // gives up after a time cannot overrun it by one try's own stall limit. The default: none.
    void setDeadline(std::chrono::steady_clock::time_point at) { deadline_ = at; }

    // The value of a header of the last final answer (any case); "" when absent. Always true.
    bool getResponseHeaderValue(const std::string& name, std::string& value) EXCLUDES(responseMutex_);
    long getStatusCode() EXCLUDES(responseMutex_);

    bool openRangeRequest(uint64_t start, uint64_t end);
    bool openRequest();
    // One of the read results above; never more than maximum bytes.
    int readData(void* destination, uint32_t& length, uint32_t maximum);
    bool cancel();

    void getLastError(ErrorRecord& record) const { record = lastError_; }
    // A new run starts with no error from an earlier one.
    void clearLastError() { lastError_ = ErrorRecord{}; }
    void setError(int32_t type, int32_t code, const std::string& message);

    // Classifiers; each records its error and the type it chose.
    void handleStreamError(platform::HttpErrorDomain domain, int code);
    void handleErrorDomainHttp(int code);
    void handleErrorDomainPosixError(int errorNumber);
    void handleNetDBError(int code);
    // True when the status is an error (and records it).
    bool checkHttpStatus(long status);
    std::string getCookieHeaderValue() const;

private:
    class Inside;
    bool beginUse();
    void startTransfer(const std::string& url, platform::HttpMethod method, bool withCustomHeaders);
    void releaseTransfer() EXCLUDES(transferMutex_);
    bool sendHead(const std::string& url, bool withCustomHeaders);
    bool openGet(bool ranged, uint64_t start, uint64_t end);
    bool onHeader(const platform::HttpHeaderEvent& event) EXCLUDES(responseMutex_);
    bool onBody(const char* data, size_t size);
    // Checks the final answer's status and range; false when it is refused (error recorded).
    bool acceptResponse() EXCLUDES(responseMutex_);
    void classifyFailure(const platform::HttpOutcome& outcome);
    // After the exchange ended: follows a redirect (true when a new exchange started).
    bool followRedirect();
    bool isAtEnd() const;

    Mutex cancelMutex_;
    Mutex transferMutex_;  // guards replacing and freeing transfer_ against cancel()
    Mutex responseMutex_;

    ProxySettingsHolder* holder_ = nullptr;
    const DownloadSessionPreference* preference_ = nullptr;
    std::atomic<bool> initialized_{false};
    std::atomic<bool> requestOpen_{false};
    bool ranged_ = false;
    uint64_t start_ = 0;
    uint64_t end_ = 0;
    ErrorRecord lastError_;
    std::string host_;
    std::string path_;

    platform::HttpHeaderFields headers_ GUARDED_BY(responseMutex_);
    long status_ GUARDED_BY(responseMutex_) = 0;
    bool haveResponse_ GUARDED_BY(responseMutex_) = false;
    // Filled by the header callback, published into headers_ when a header block ends.
    platform::HttpHeaderFields pendingHeaders_;
    long pendingStatus_ = 0;

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> reading_{false};

    // The current exchange; read without transferMutex_ only while reading_ is set.
    std::unique_ptr<platform::HttpTransfer> transfer_;
    std::string currentUrl_;
    platform::HttpMethod currentMethod_ = platform::HttpMethod::Get;
    bool currentWithCustomHeaders_ = false;
    bool throughProxy_ = false;  // the current exchange connects to a proxy, not to the server
    int redirects_ = 0;
    std::string redirectTo_;
    bool responseChecked_ = false;
    bool responseRefused_ = false;
    bool stopAfterHeaders_ = false;  // the range probe only needs the answer's head
    bool probing_ = false;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();

    // Where the body callback copies to, and what did not fit.
    char* destination_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    std::string spill_;
    size_t spillOffset_ = 0;
    // How long this exchange has been silent while a reader waited for it.
    std::chrono::steady_clock::duration silentFor_{};
};
