// CompressedAssetBase: an asset whose content must be extracted before its actions can use it.
#pragma once

#include <string>

#include "bootstrapper/manifest/AssetBase.h"

class CompressedAssetBase : public AssetBase {
public:
    // Deletes the downloaded file.
    ~CompressedAssetBase() override;

    // 0 done, 1 in progress, 2 failed.
    virtual int extract() = 0;

    // Where the content is available (a disk image's mount point); empty until extracted.
    const std::string& getExtractedPath() const { return extractedPath_; }

protected:
    CompressedAssetBase(uint32_t assetType, const char* component);

    std::string extractedPath_;
};
