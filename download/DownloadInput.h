// What a client hands to the download engine's init.
#pragma once

#include <cstdint>
#include <string>

#include "download/DownloadPreference.h"

struct DownloadInput {
    std::string serverPath;
    std::string targetFolder;
    std::string targetFileName;
    std::string unusedText1;
    std::string unusedText2;
    std::string userAgent;
    std::string referer;
    uint8_t unusedFlag = 0;
    DownloadPreference preference;
    uint8_t adaptiveThreadControl = 0;
    uint8_t useMetaFile = 1;
};
