// The engine's error policy: classifies one ErrorRecord into the client's error and the next action.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "download/DownloadErrorInfo.h"
#include "download/ErrorRecord.h"

class ErrorHandler {
public:
    // Actions read by the controller.
    static constexpr int32_t kActionUserActionable = 0;
    static constexpr int32_t kActionRetry = 1;
    static constexpr int32_t kActionFatal = 2;
    static constexpr int32_t kActionBackOff = 5;
    static constexpr int32_t kActionNone = 7;

    ErrorHandler();

    int32_t handleError(const ErrorRecord& record);
    void getErrorInfo(DownloadErrorInfo& info) const { info = lastResult_; }
    void clearRetryCounts() { retryCounts_.clear(); }
    void resetIntermittentErrors();
    static bool isFatalErrorType(int32_t type);
    static void mapFileSystemError(int32_t nativeCode, DownloadErrorInfo& result, const std::string& path);
    // Forwards to the file-system utilities: 10030 when path has room for required bytes, else 10020.
    static int32_t getFileSystemErrorCode(const std::string& path, uint64_t required);

    // Tests: the current count of one error type (0 when none).
    int32_t retryCountFor(int32_t type) const;

private:
    int32_t limitedRetry(int32_t type, int32_t count, bool restartSeries, const char* name, bool errorLevel);
    int32_t backOff(const ErrorRecord& record, int32_t count);

    std::vector<int32_t> intermittentTypes_;
    DownloadErrorInfo lastResult_;
    std::map<int32_t, int32_t> retryCounts_;
    std::map<uint32_t, int32_t> validationFailures_;
    std::minstd_rand random_;
};
