// DMGAsset: mounting through the disk-image tool, and a careful clean-up of the mount folder.
#include "bootstrapper/manifest/DMGAsset.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <vector>

#include "bootstrapper/support/ZORUtils.h"
#include "foundation/logging/Logger.h"
#include "platform/DiskImageTool.h"
#include "platform/Mutex.h"
#include "platform/ProcessLauncher.h"

namespace {

// The tool reports real paths: resolve a path that exists, else normalise its text.
std::string normalised(const std::string& path) {
    std::error_code error;
    std::string text = std::filesystem::canonical(path, error).string();
    if (error) text = std::filesystem::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The files this run's assets attached (or use where they were attached already), by device
// and inode: another asset's clean-up never takes one for an earlier run's copy. Assets live
// until their run shuts down, so the set holds the current run's files only.
struct ImagesInUse {
    platform::Mutex lock;
    std::multiset<std::pair<dev_t, ino_t>> files GUARDED_BY(lock);
};

ImagesInUse& imagesInUse() {
    static ImagesInUse images;
    return images;
}

bool inUseByThisRun(const std::pair<dev_t, ino_t>& file) {
    ImagesInUse& images = imagesInUse();
    platform::MutexLock hold(images.lock);
    return images.files.count(file) > 0;
}

}  // namespace

DMGAsset::DMGAsset() : CompressedAssetBase(kDiskImageAssetType, "DMGAsset") {}

DMGAsset::~DMGAsset() {
    if (inUse_) {
        ImagesInUse& images = imagesInUse();
        platform::MutexLock hold(images.lock);
        const auto it = images.files.find(*inUse_);
        if (it != images.files.end()) images.files.erase(it);
    }
    if (!mounted_) return;
    std::string reason;
    if (!ZORUtils::detachDmg(extractedPath_, reason)) {
        logger_->warn("", "The disk image could not be detached from %s (%s); its mount folder is left",
                      extractedPath_.c_str(), reason.c_str());
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
    removeEarlierCopies();
    std::string mountPoint;
    std::string reason;
    mounted_ = ZORUtils::mountDmg(localPath_, requestedMountRoot_, mountPoint, &reason);
    if (!mounted_) {
        logger_->warn("", "The disk image %s could not be attached: %s", localPath_.c_str(), reason.c_str());
        return kActionFailed;
    }
    extractedPath_ = mountPoint;
    struct stat st {};
    if (::stat(localPath_.c_str(), &st) == 0) {
        inUse_ = std::make_pair(st.st_dev, st.st_ino);
        ImagesInUse& images = imagesInUse();
        platform::MutexLock hold(images.lock);
        images.files.insert(*inUse_);
    }
    return kActionDone;
}

void DMGAsset::removeEarlierCopies() {
    const size_t slash = localPath_.find_last_of('/');
    const std::string name = assetPath_.substr(assetPath_.find_last_of('/') + 1);
    if (slash == std::string::npos || name.empty()) return;
    const std::string folder = localPath_.substr(0, slash);
    std::string listing;
    int status = -1;
    // Without the tool's listing no copy is known to be free.
    if (!platform::runProcessCapturingOutput(platform::diskImageToolPath(), {"info", "-plist"}, listing, status) ||
        status != 0)
        return;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string fileName = entry.path().filename().string();
        const std::string path = folder + "/" + fileName;
        if (path == localPath_ || !ZORUtils::isUniqueFileNameOf(name, fileName)) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
        if (inUseByThisRun({st.st_dev, st.st_ino})) continue;
        // Attached at the mount root, it is an earlier run's (a run attaches one image there),
        // and its mount goes with its file: the tool detaches a mount of a deleted image first.
        std::vector<std::string> attachedAt;
        if (!ZORUtils::mountPointsFromInfo(listing, path, st.st_dev, st.st_ino, attachedAt)) continue;
        const std::string mountRoot = normalised(requestedMountRoot_);
        if (std::any_of(attachedAt.begin(), attachedAt.end(),
                        [&](const std::string& point) { return normalised(point) != mountRoot; }))
            continue;
        if (::unlink(path.c_str()) == 0)
            logger_->info("Removed %s, left by an earlier run", path.c_str());
        else
            logger_->warn("", "%s, left by an earlier run, could not be removed", path.c_str());
    }
}
