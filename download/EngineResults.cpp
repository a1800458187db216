// The mappings of the engine's named results from their flat integers.
#include "download/EngineResults.h"

// Each switch names every enumerator, so a new one fails the build (-Wswitch) until it is listed.

std::optional<EngineErrorType> engineErrorTypeFromFlat(int32_t value) {
    const auto candidate = static_cast<EngineErrorType>(value);
    switch (candidate) {
        case EngineErrorType::None:
        case EngineErrorType::FileSystem:
        case EngineErrorType::AccessDenied:
        case EngineErrorType::DiskFull:
        case EngineErrorType::FileChanged:
        case EngineErrorType::Fatal:
        case EngineErrorType::BadUrl:
        case EngineErrorType::ServerUnreachable:
        case EngineErrorType::ConnectionError:
        case EngineErrorType::Timeout:
        case EngineErrorType::Authentication:
        case EngineErrorType::ProxyAuthentication:
        case EngineErrorType::ServerBusy:
        case EngineErrorType::BackOff:
        case EngineErrorType::Intermittent:
        case EngineErrorType::RedirectLoop:
        case EngineErrorType::DeadConnections:
        case EngineErrorType::Unknown:
        case EngineErrorType::SegmentValidation:
        case EngineErrorType::NotInitialized: return candidate;
    }
    return std::nullopt;
}

std::optional<EngineErrorCode> engineErrorCodeFromFlat(int32_t value) {
    const auto candidate = static_cast<EngineErrorCode>(value);
    switch (candidate) {
        case EngineErrorCode::None:
        case EngineErrorCode::BadUrl:
        case EngineErrorCode::Authentication:
        case EngineErrorCode::ProxyAuthentication:
        case EngineErrorCode::JobCreationFailed:
        case EngineErrorCode::InvalidInput:
        case EngineErrorCode::RangesUnsupported:
        case EngineErrorCode::AccessDenied:
        case EngineErrorCode::DiskFull:
        case EngineErrorCode::Fatal:
        case EngineErrorCode::ConnectionError:
        case EngineErrorCode::ServerUnreachable:
        case EngineErrorCode::FileChanged:
        case EngineErrorCode::SegmentValidation:
        case EngineErrorCode::FileSystem:
        case EngineErrorCode::InvalidPath:
        case EngineErrorCode::TargetExists: return candidate;
    }
    return std::nullopt;
}

std::optional<EngineErrorAction> engineErrorActionFromFlat(int32_t value) {
    const auto candidate = static_cast<EngineErrorAction>(value);
    switch (candidate) {
        case EngineErrorAction::UserActionable:
        case EngineErrorAction::Retry:
        case EngineErrorAction::Fatal:
        case EngineErrorAction::FatalClean:
        case EngineErrorAction::FileChanged:
        case EngineErrorAction::RetryLater:
        case EngineErrorAction::RetryLimit:
        case EngineErrorAction::None: return candidate;
    }
    return std::nullopt;
}

std::optional<ManagerResult> managerResultFromFlat(int32_t value) {
    const auto candidate = static_cast<ManagerResult>(value);
    switch (candidate) {
        case ManagerResult::Ok:
        case ManagerResult::Failed:
        case ManagerResult::OperationFailed:
        case ManagerResult::InvalidArgument:
        case ManagerResult::NotInitialized:
        case ManagerResult::FileChanged:
        case ManagerResult::NothingToDo:
        case ManagerResult::Running:
        case ManagerResult::AlreadyInitialized: return candidate;
    }
    return std::nullopt;
}
