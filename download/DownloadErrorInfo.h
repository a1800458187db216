// The last-error record a client of the download engine reads.
#pragma once

#include <cstdint>
#include <string>

struct DownloadErrorInfo {
    int32_t errorType = 0;          // engine error code, negative when set
    int32_t extendedErrorCode = 0;  // HTTP status, errno or file-system code
    std::string message;
    int32_t retryDelaySeconds = 0;  // meaningful for action 5
    uint8_t retryable = 1;
    int32_t action = 0;  // 0 user-actionable, 1 retry, 2 fatal, 3 fatal+clean, 4 changed, 5 retry later, 6 limit
};
