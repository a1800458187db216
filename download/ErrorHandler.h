// The engine's error policy: classifies one ErrorRecord into the client's error and the next action.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "download/DownloadErrorInfo.h"
#include "download/EngineResults.h"
#include "download/ErrorRecord.h"

class ErrorHandler {
public:
    // The flat spellings of the actions, for callers that hold them as integers.
    static constexpr int32_t kActionUserActionable = flat(EngineErrorAction::UserActionable);
    static constexpr int32_t kActionRetry = flat(EngineErrorAction::Retry);
    static constexpr int32_t kActionFatal = flat(EngineErrorAction::Fatal);
    static constexpr int32_t kActionBackOff = flat(EngineErrorAction::RetryLater);
    static constexpr int32_t kActionNone = flat(EngineErrorAction::None);

    ErrorHandler();

    // The next action, flat (an EngineErrorAction), as the controller and DownloadErrorInfo read it.
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
    EngineErrorAction limitedRetry(int32_t type, int32_t count, bool restartSeries, const char* name, bool errorLevel);
    EngineErrorAction backOff(const ErrorRecord& record, int32_t count);

    std::vector<EngineErrorType> intermittentTypes_;
    DownloadErrorInfo lastResult_;
    std::map<int32_t, int32_t> retryCounts_;
    std::map<uint32_t, int32_t> validationFailures_;
    std::minstd_rand random_;
};
