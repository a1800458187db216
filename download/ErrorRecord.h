// The engine's internal failure record, made by the transport, the files, the jobs and the controller.
#pragma once

#include <cstdint>
#include <string>

struct ErrorRecord {
    int32_t errorType = 0;          // an EngineErrorType, classified by ErrorHandler
    int32_t nativeCode = 0;         // HTTP status, errno, stream code, file-system code, 417, 503
    int32_t retryAfterSeconds = 0;  // meaningful for EngineErrorType::BackOff only
    std::string message;
    uint32_t reserved = 0;
    uint32_t segmentIndex = 0;  // meaningful for EngineErrorType::SegmentValidation only
};
