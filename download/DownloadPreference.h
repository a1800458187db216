// The client's download preference and the engine's validated session copy of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct DownloadPreference {
    uint32_t newAdaptiveAlgorithm = 0;
    std::string proxyUser;
    std::string proxyPassword;
    std::string serverUser;
    std::string serverPassword;
    uint32_t segmentSize = 0x200000;
    uint32_t threadCount = 0;
    uint64_t startAddress = 0;
    uint64_t bytesToDownload = 0;
    uint8_t singleStream = 0;
    uint8_t acceptGzip = 1;
    std::map<std::string, std::string> customHeaders;
    uint8_t noRetrialOnSpecificHttpErrors = 0;
    uint32_t retryAfterMaximum = 60;
    uint8_t replaceHeaders = 0;
};

// Bounds the engine enforces on a preference.
inline constexpr uint32_t kMinimumSegmentSize = 65536;
inline constexpr uint32_t kMaximumSegmentSize = 4194304;
inline constexpr uint32_t kClassicMaximumThreads = 15;
inline constexpr uint32_t kAdaptiveMaximumThreads = 50;
inline constexpr uint32_t kAdaptiveDefaultThreads = 40;
inline constexpr uint32_t kSessionDefaultThreads = 12;

// One request header (name, value) as the transport sends it, in order.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct DownloadSessionPreference : DownloadPreference {
    DownloadSessionPreference() { threadCount = kSessionDefaultThreads; }

    std::string targetFolder;  // with a trailing "/", or empty
    std::string partialFileName;
    std::string targetFileName;
    std::string serverPath;
    std::string host;
    std::string path;
    std::string userAgent;
    std::string referer;
    uint32_t port = 0;
    uint32_t isHttps = 0;
    uint8_t useMetaFile = 1;
    uint8_t adaptiveThreadControl = 1;
    uint8_t unusedFlag = 0;
    uint8_t singleStreamInEffect = 0;
    uint8_t freshStart = 1;
    uint8_t noRetrialInEffect = 0;
    uint32_t retryAfterMaximumInEffect = 60;
    HeaderList customHeaderArray;
};
