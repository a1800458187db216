// DMGAsset: mounting through the disk-image tool, and a careful clean-up of the mount folder.
#include "bootstrapper/manifest/DMGAsset.h"

#include <unistd.h>

#include <filesystem>

#include "bootstrapper/support/ZORUtils.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/FileUtils.h"
#include "platform/DiskImageTool.h"

namespace {

// The tool reports real paths: resolve a path that exists, else normalise its text.
std::string normalised(const std::string& path) {
    std::error_code error;
    std::string text = std::filesystem::canonical(path, error).string();
    if (error) text = std::filesystem::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

DMGAsset::DMGAsset() : CompressedAssetBase(kDiskImageAssetType, "DMGAsset") {}

DMGAsset::~DMGAsset() {
    if (!mounted_) return;
    if (!ZEZUUtils::FileUtils::UnmountDmgAtPath(extractedPath_)) {
        logger_->warn("", "The disk image could not be detached from %s; its mount folder is left",
                      extractedPath_.c_str());
        return;
    }
    // A mount point found already in use belongs to whoever attached the image there.
    if (requestedMountRoot_.empty() || normalised(extractedPath_) != normalised(requestedMountRoot_)) {
        logger_->warn("", "The mount folder %s was not made for this asset and is left", extractedPath_.c_str());
        return;
    }
    // rmdir only: should anything be left in it, it is not ours to delete.
    if (::rmdir(extractedPath_.c_str()) != 0)
        logger_->warn("", "The mount folder %s could not be removed", extractedPath_.c_str());
}

int DMGAsset::extract() {
    if (mounted_) return kActionDone;
    requestedMountRoot_ = platform::mountRoot();
    std::string mountPoint;
    mounted_ = ZORUtils::mountDmg(localPath_, requestedMountRoot_, mountPoint);
    if (!mounted_) return kActionFailed;
    extractedPath_ = mountPoint;
    return kActionDone;
}
