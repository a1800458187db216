// DMGAsset: a disk image, attached at the mount root to extract it and detached when it goes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "bootstrapper/manifest/CompressedAssetBase.h"

class DMGAsset : public CompressedAssetBase {
public:
    DMGAsset();
    // Detaches the image; the mount folder goes only when it is the mount root this asset asked
    // for and the detach succeeded.
    ~DMGAsset() override;

    // Attaches the downloaded image at platform::mountRoot(), or finds where it is attached already.
    // Earlier copies of the same file beside it go first (see removeEarlierCopies).
    int extract() override;

    bool isMounted() const { return mounted_; }

private:
    // Copies of this asset's file an earlier run left beside ours (one killed while attached;
    // the name then moved on to "name(1).ext"): the files of the names uniqueFileName makes of
    // the asset's name, regular files of ours that are not attached, or attached only at the
    // mount root (every mount of the file, known by its device and inode, counts). The tool's
    // listing answers for each; without it nothing goes. A file this run attached is never one.
    void removeEarlierCopies();

    bool mounted_ = false;
    std::string requestedMountRoot_;
    // The attached file's device and inode while this asset holds it in the run's set.
    std::optional<std::pair<dev_t, ino_t>> inUse_;
};
