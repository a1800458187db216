// The engine's named integer results: error types, client error codes, error actions and manager results.
#pragma once

#include <cstdint>
#include <optional>

// What went wrong, as the transport, the files, the jobs and the controller record it
// (ErrorRecord::errorType); ErrorHandler classifies it.
enum class EngineErrorType : int32_t {
    None = 0,
    FileSystem = 1,
    AccessDenied = 2,
    DiskFull = 3,
    FileChanged = 4,
    Fatal = 5,
    BadUrl = 6,
    ServerUnreachable = 7,
    ConnectionError = 8,
    Timeout = 9,
    Authentication = 10,
    ProxyAuthentication = 11,
    ServerBusy = 12,
    BackOff = 13,
    Intermittent = 14,
    RedirectLoop = 15,
    DeadConnections = 16,
    Unknown = 17,
    SegmentValidation = 18,
    NotInitialized = 19,
};

// The error code a client reads (DownloadErrorInfo::errorType); negative when set.
enum class EngineErrorCode : int32_t {
    None = 0,
    BadUrl = -4,
    Authentication = -7,
    ProxyAuthentication = -8,
    JobCreationFailed = -9,
    InvalidInput = -10,
    RangesUnsupported = -15,
    AccessDenied = -20,
    DiskFull = -30,
    Fatal = -40,
    ConnectionError = -45,
    ServerUnreachable = -50,
    FileChanged = -55,
    SegmentValidation = -60,
    FileSystem = -70,
    InvalidPath = -80,
    TargetExists = -100,
};

// What the controller does next (DownloadErrorInfo::action and ErrorHandler::handleError).
enum class EngineErrorAction : int32_t {
    UserActionable = 0,
    Retry = 1,
    Fatal = 2,
    FatalClean = 3,  // fatal, and the partial download is cleaned away
    FileChanged = 4,
    RetryLater = 5,  // after DownloadErrorInfo::retryDelaySeconds
    RetryLimit = 6,
    None = 7,
};

// The results of the manager's operations, as the flat handle returns them.
enum class ManagerResult : int32_t {
    Ok = 0,
    Failed = -1,
    OperationFailed = -2,
    InvalidArgument = -3,
    NotInitialized = -4,
    FileChanged = -999,
    NothingToDo = 10,  // not running, or already stopped
    Running = 20,
    AlreadyInitialized = 30,
};

// The one mapping of each family onto its flat integer, and back (nullopt for a number the
// family does not name).
constexpr int32_t flat(EngineErrorType value) { return static_cast<int32_t>(value); }
constexpr int32_t flat(EngineErrorCode value) { return static_cast<int32_t>(value); }
constexpr int32_t flat(EngineErrorAction value) { return static_cast<int32_t>(value); }
constexpr int32_t flat(ManagerResult value) { return static_cast<int32_t>(value); }

std::optional<EngineErrorType> engineErrorTypeFromFlat(int32_t value);
std::optional<EngineErrorCode> engineErrorCodeFromFlat(int32_t value);
std::optional<EngineErrorAction> engineErrorActionFromFlat(int32_t value);
std::optional<ManagerResult> managerResultFromFlat(int32_t value);
