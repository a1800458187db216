// The engine's error policy: per-type retry limits, back-off delays and per-segment rejection limits.
#include "download/ErrorHandler.h"

#include <chrono>

#include "download/EngineLogger.h"
#include "download/EngineTimings.h"
#include "download/FileSystemUtils.h"

namespace {

// A type's 13th error in a row is no longer retried at once.
constexpr int32_t kRetryLimit = 13;
constexpr int32_t kBackOffLimit = 3;
constexpr int32_t kRejectionLimit = 11;

struct TypeRow {
    int32_t engineCode;
    uint8_t retryable;
    int32_t action;
};

// The fixed rows; the limited types (7, 8, 9, 12, 13, 14, 18) refine their action afterwards.
TypeRow rowFor(int32_t type) {
    switch (type) {
        case 0: return {0, 1, ErrorHandler::kActionNone};
        case 2: return {-20, 1, ErrorHandler::kActionUserActionable};
        case 3: return {-30, 1, ErrorHandler::kActionUserActionable};
        case 4:
        case 5: return {-40, 0, ErrorHandler::kActionFatal};
        case 6: return {-4, 0, ErrorHandler::kActionFatal};
        case 7: return {-50, 1, ErrorHandler::kActionRetry};
        case 8:
        case 9: return {-45, 1, ErrorHandler::kActionRetry};
        case 10: return {-7, 0, ErrorHandler::kActionFatal};
        case 11: return {-8, 1, ErrorHandler::kActionUserActionable};
        case 12:
        case 14: return {-40, 1, ErrorHandler::kActionRetry};
        case 13: return {-40, 1, ErrorHandler::kActionBackOff};
        case 15:
        case 17: return {-40, 0, ErrorHandler::kActionFatal};
        case 16: return {-45, 1, ErrorHandler::kActionUserActionable};
        case 18: return {-60, 1, ErrorHandler::kActionRetry};
        default: return {-40, 0, ErrorHandler::kActionFatal};
    }
}

}  // namespace

ErrorHandler::ErrorHandler()
    : intermittentTypes_{9, 14, 12, 8},
      random_(static_cast<std::minstd_rand::result_type>(
          std::chrono::steady_clock::now().time_since_epoch().count() | 1)) {}

int32_t ErrorHandler::retryCountFor(int32_t type) const {
    const auto found = retryCounts_.find(type);
    return found == retryCounts_.end() ? 0 : found->second;
}

void ErrorHandler::resetIntermittentErrors() {
    for (const int32_t type : intermittentTypes_) {
        const auto found = retryCounts_.find(type);
        if (found != retryCounts_.end()) {
            DLE_INFO("resetting intermitent error %d from to %d to 0", type, found->second);
            retryCounts_.erase(found);
        }
    }
}

bool ErrorHandler::isFatalErrorType(int32_t type) { return type == 4 || type == 5 || type == 6 || type == 10; }

void ErrorHandler::mapFileSystemError(int32_t nativeCode, DownloadErrorInfo& result, const std::string& path) {
    result.extendedErrorCode = nativeCode;
    result.action = kActionUserActionable;
    switch (nativeCode) {
        case FileSystemUtils::kCodeAccessDenied:
        case FileSystemUtils::kCodeNoPermission:
            result.errorType = -20;
            result.message =
                "Access is denied to read or write the file (or directory) at the given location: " + path;
            result.retryable = 1;
            break;
        case FileSystemUtils::kCodeInvalidPath:
            result.errorType = -80;
            result.message =
                "The path used is invalid or unavailable and hence operation is not permitted at this path:" + path;
            result.retryable = 1;
            break;
        case FileSystemUtils::kCodeDiskFull:
            result.errorType = -30;
            result.message = "The disk is full to create file at:" + path;
            result.retryable = 1;
            break;
        default:
            result.errorType = -70;
            result.message = "There is some error in handling the file system.";
            result.retryable = 0;
            break;
    }
}

int32_t ErrorHandler::getFileSystemErrorCode(const std::string& path, uint64_t required) {
    return FileSystemUtils::getFileSystemErrorCode(path, required);
}

int32_t ErrorHandler::limitedRetry(int32_t type, int32_t count, bool restartSeries, const char* name,
                                   bool errorLevel) {
    if (count < kRetryLimit) {
        return kActionRetry;
    }
    if (errorLevel) {
        DLE_ERROR("Retry count overshoot for %s - %d", name, count);
    } else {
        DLE_INFO("Retry count overshoot for %s - %d", name, count);
    }
    if (restartSeries) {
        retryCounts_[type] = 0;
    }
    return kActionUserActionable;
}

int32_t ErrorHandler::backOff(const ErrorRecord& record, int32_t count) {
    if (count >= kBackOffLimit) {
        retryCounts_[13] = 0;
        DLE_INFO("Retry count overshoot for http_backoff_error - %d", count);
        return kActionUserActionable;
    }
    const EngineTimings& timings = engineTimings();
    const bool first = count == 1;
    const uint32_t base = first ? timings.backoffFirstBaseSeconds : timings.backoffLaterBaseSeconds;
    const uint32_t spread = first ? timings.backoffFirstSpreadSeconds : timings.backoffLaterSpreadSeconds;
    const uint32_t delay = base + (spread == 0 ? 0 : static_cast<uint32_t>(random_() % spread));
    const uint32_t serverDelay = static_cast<uint32_t>(record.retryAfterSeconds);
    lastResult_.retryDelaySeconds = static_cast<int32_t>(serverDelay > delay ? serverDelay : delay);
    DLE_INFO("Retrying in http_backoff_error. Retry Count- %d, Retry Val- %d", count, lastResult_.retryDelaySeconds);
    return kActionBackOff;
}

int32_t ErrorHandler::handleError(const ErrorRecord& record) {
    lastResult_.extendedErrorCode = record.nativeCode;
    lastResult_.message = record.message;
    lastResult_.retryable = 1;
    lastResult_.action = kActionUserActionable;

    const int32_t type = record.errorType;
    const int32_t count = ++retryCounts_[type];
    const TypeRow row = rowFor(type);
    lastResult_.errorType = row.engineCode;
    lastResult_.retryable = row.retryable;
    int32_t action = row.action;

    switch (type) {
        case 1: {
            mapFileSystemError(record.nativeCode, lastResult_, "");
            action = kActionUserActionable;
            break;
        }
        case 7:
            action = limitedRetry(type, count, false, "ERROR_HTTP_SERVER_UNREACHABLE", true);
            break;
        case 8:
            action = limitedRetry(type, count, true, "ERROR_HTTP_CONNECTION_ERR", false);
            break;
        case 9:
            action = limitedRetry(type, count, true, "http_timeout_error", false);
            break;
        case 12:
        case 14:
            action = limitedRetry(type, count, true, "ERROR_HTTP_INTERMITTENT", false);
            break;
        case 13:
            action = backOff(record, count);
            break;
        case 10:
            DLE_INFO("Setting Fatal error for status code 401");
            break;
        case 18: {
            const int32_t rejections = ++validationFailures_[record.segmentIndex];
            if (rejections >= kRejectionLimit) {
                validationFailures_[record.segmentIndex] = 0;
                DLE_INFO("Retry count overshoot for ERROR_SEGMENT_VALIDATION_FAILURE - %d", rejections);
                action = kActionFatal;
            }
            break;
        }
        default:
            break;
    }
    lastResult_.action = action;
    return action;
}
