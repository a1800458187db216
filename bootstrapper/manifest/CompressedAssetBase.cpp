// CompressedAssetBase: the downloaded file goes with the asset.
#include "bootstrapper/manifest/CompressedAssetBase.h"

#include "foundation/logging/Logger.h"
#include "foundation/utils/FileUtils.h"

CompressedAssetBase::CompressedAssetBase(uint32_t assetType, const char* component)
    : AssetBase(assetType, component) {}

CompressedAssetBase::~CompressedAssetBase() {
    // The extracted folder is the derived class's to remove: only it knows whether it is still in use.
    const std::string& path = localPath_;
    if (!path.empty() && !ZEZUUtils::FileUtils::DeleteFileAtPath(path, false))
        logger_->warn("", "The downloaded file %s could not be deleted", path.c_str());
}
