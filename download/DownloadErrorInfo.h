// The last-error record a client of the download engine reads (its values named in EngineResults.h).
#pragma once

#include <cstdint>
#include <string>

struct DownloadErrorInfo {
    int32_t errorType = 0;          // an EngineErrorCode, negative when set
    int32_t extendedErrorCode = 0;  // HTTP status, errno or file-system code
    std::string message;
    int32_t retryDelaySeconds = 0;  // meaningful for EngineErrorAction::RetryLater
    uint8_t retryable = 1;
    int32_t action = 0;  // an EngineErrorAction
};
