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

using Type = EngineErrorType;
using Code = EngineErrorCode;
using Action = EngineErrorAction;

struct TypeRow {
    Code engineCode;
    uint8_t retryable;
    Action action;
};

// A type the table does not know is fatal.
constexpr TypeRow kUnknownTypeRow = {Code::Fatal, 0, Action::Fatal};

// The fixed rows; the limited types (unreachable, connection, timeout, busy, back-off,
// intermittent, segment validation) refine their action afterwards.
TypeRow rowFor(int32_t flatType) {
    const std::optional<Type> type = engineErrorTypeFromFlat(flatType);
    if (!type) return kUnknownTypeRow;
    switch (*type) {
        case Type::None: return {Code::None, 1, Action::None};
        case Type::AccessDenied: return {Code::AccessDenied, 1, Action::UserActionable};
        case Type::DiskFull: return {Code::DiskFull, 1, Action::UserActionable};
        case Type::FileChanged:
        case Type::Fatal: return {Code::Fatal, 0, Action::Fatal};
        case Type::BadUrl: return {Code::BadUrl, 0, Action::Fatal};
        case Type::ServerUnreachable: return {Code::ServerUnreachable, 1, Action::Retry};
        case Type::ConnectionError:
        case Type::Timeout: return {Code::ConnectionError, 1, Action::Retry};
        case Type::Authentication: return {Code::Authentication, 0, Action::Fatal};
        case Type::ProxyAuthentication: return {Code::ProxyAuthentication, 1, Action::UserActionable};
        case Type::ServerBusy:
        case Type::Intermittent: return {Code::Fatal, 1, Action::Retry};
        case Type::BackOff: return {Code::Fatal, 1, Action::RetryLater};
        case Type::RedirectLoop:
        case Type::Unknown: return {Code::Fatal, 0, Action::Fatal};
        case Type::DeadConnections: return {Code::ConnectionError, 1, Action::UserActionable};
        case Type::SegmentValidation: return {Code::SegmentValidation, 1, Action::Retry};
        // The file-system type takes its code from the native code afterwards.
        case Type::FileSystem:
        case Type::NotInitialized: return kUnknownTypeRow;
    }
    return kUnknownTypeRow;
}

}  // namespace

ErrorHandler::ErrorHandler()
    : intermittentTypes_{Type::Timeout, Type::Intermittent, Type::ServerBusy, Type::ConnectionError},
      random_(static_cast<std::minstd_rand::result_type>(std::chrono::steady_clock::now().time_since_epoch().count() |
                                                         1)) {}

int32_t ErrorHandler::retryCountFor(int32_t type) const {
    const auto found = retryCounts_.find(type);
    return found == retryCounts_.end() ? 0 : found->second;
}

void ErrorHandler::resetIntermittentErrors() {
    for (const Type type : intermittentTypes_) {
        const auto found = retryCounts_.find(flat(type));
        if (found != retryCounts_.end()) {
            DLE_INFO("resetting intermitent error %d from to %d to 0", flat(type), found->second);
            retryCounts_.erase(found);
        }
    }
}

bool ErrorHandler::isFatalErrorType(int32_t flatType) {
    const std::optional<Type> type = engineErrorTypeFromFlat(flatType);
    return type == Type::FileChanged || type == Type::Fatal || type == Type::BadUrl || type == Type::Authentication;
}

void ErrorHandler::mapFileSystemError(int32_t nativeCode, DownloadErrorInfo& result, const std::string& path) {
    result.extendedErrorCode = nativeCode;
    result.action = flat(Action::UserActionable);
    switch (nativeCode) {
        case FileSystemUtils::kCodeAccessDenied:
        case FileSystemUtils::kCodeNoPermission:
            result.errorType = flat(Code::AccessDenied);
            result.message = "Access is denied to read or write the file (or directory) at the given location: " + path;
            result.retryable = 1;
            break;
        case FileSystemUtils::kCodeInvalidPath:
            result.errorType = flat(Code::InvalidPath);
            result.message =
                "The path used is invalid or unavailable and hence operation is not permitted at this path:" + path;
            result.retryable = 1;
            break;
        case FileSystemUtils::kCodeDiskFull:
            result.errorType = flat(Code::DiskFull);
            result.message = "The disk is full to create file at:" + path;
            result.retryable = 1;
            break;
        default:
            result.errorType = flat(Code::FileSystem);
            result.message = "There is some error in handling the file system.";
            result.retryable = 0;
            break;
    }
}

int32_t ErrorHandler::getFileSystemErrorCode(const std::string& path, uint64_t required) {
    return FileSystemUtils::getFileSystemErrorCode(path, required);
}

EngineErrorAction ErrorHandler::limitedRetry(int32_t type, int32_t count, bool restartSeries, const char* name,
                                             bool errorLevel) {
    if (count < kRetryLimit) {
        return Action::Retry;
    }
    if (errorLevel) {
        DLE_ERROR("Retry count overshoot for %s - %d", name, count);
    } else {
        DLE_INFO("Retry count overshoot for %s - %d", name, count);
    }
    if (restartSeries) {
        retryCounts_[type] = 0;
    }
    return Action::UserActionable;
}

EngineErrorAction ErrorHandler::backOff(const ErrorRecord& record, int32_t count) {
    if (count >= kBackOffLimit) {
        retryCounts_[flat(Type::BackOff)] = 0;
        DLE_INFO("Retry count overshoot for http_backoff_error - %d", count);
        return Action::UserActionable;
    }
    const EngineTimings& timings = engineTimings();
    const bool first = count == 1;
    const uint32_t base = first ? timings.backoffFirstBaseSeconds : timings.backoffLaterBaseSeconds;
    const uint32_t spread = first ? timings.backoffFirstSpreadSeconds : timings.backoffLaterSpreadSeconds;
    const uint32_t delay = base + (spread == 0 ? 0 : static_cast<uint32_t>(random_() % spread));
    const uint32_t serverDelay = static_cast<uint32_t>(record.retryAfterSeconds);
    lastResult_.retryDelaySeconds = static_cast<int32_t>(serverDelay > delay ? serverDelay : delay);
    DLE_INFO("Retrying in http_backoff_error. Retry Count- %d, Retry Val- %d", count, lastResult_.retryDelaySeconds);
    return Action::RetryLater;
}

int32_t ErrorHandler::handleError(const ErrorRecord& record) {
    lastResult_.extendedErrorCode = record.nativeCode;
    lastResult_.message = record.message;
    lastResult_.retryable = 1;
    lastResult_.action = flat(Action::UserActionable);

    const int32_t type = record.errorType;
    const int32_t count = ++retryCounts_[type];
    const TypeRow row = rowFor(type);
    lastResult_.errorType = flat(row.engineCode);
    lastResult_.retryable = row.retryable;
    Action action = row.action;

    switch (engineErrorTypeFromFlat(type).value_or(Type::None)) {
        case Type::FileSystem: {
            mapFileSystemError(record.nativeCode, lastResult_, "");
            action = Action::UserActionable;
            break;
        }
        case Type::ServerUnreachable:
            action = limitedRetry(type, count, false, "ERROR_HTTP_SERVER_UNREACHABLE", true);
            break;
        case Type::ConnectionError: action = limitedRetry(type, count, true, "ERROR_HTTP_CONNECTION_ERR", false); break;
        case Type::Timeout: action = limitedRetry(type, count, true, "http_timeout_error", false); break;
        case Type::ServerBusy:
        case Type::Intermittent: action = limitedRetry(type, count, true, "ERROR_HTTP_INTERMITTENT", false); break;
        case Type::BackOff: action = backOff(record, count); break;
        case Type::Authentication: DLE_INFO("Setting Fatal error for status code 401"); break;
        case Type::SegmentValidation: {
            const int32_t rejections = ++validationFailures_[record.segmentIndex];
            if (rejections >= kRejectionLimit) {
                validationFailures_[record.segmentIndex] = 0;
                DLE_INFO("Retry count overshoot for ERROR_SEGMENT_VALIDATION_FAILURE - %d", rejections);
                action = Action::Fatal;
            }
            break;
        }
        default: break;
    }
    lastResult_.action = flat(action);
    return flat(action);
}
