// DMGAsset: a disk image, attached at the mount root to extract it and detached when it goes.
#pragma once

#include <string>

#include "bootstrapper/manifest/CompressedAssetBase.h"

class DMGAsset : public CompressedAssetBase {
public:
    DMGAsset();
    // Detaches the image; the mount folder goes only when it is the mount root this asset asked
    // for and the detach succeeded.
    ~DMGAsset() override;

    // Attaches the downloaded image at platform::mountRoot(), or finds where it is attached already.
    int extract() override;

    bool isMounted() const { return mounted_; }

private:
    bool mounted_ = false;
    std::string requestedMountRoot_;
};
