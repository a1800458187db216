// libFuzzer target: any bytes as the disk-image tool's "info -plist" listing, as mountDmg and the image asset read it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bootstrapper/support/ZORUtils.h"
#include "tests/bootstrapper/support/fuzz/DiskImageListing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string listing(reinterpret_cast<const char*>(data), size);
    for (const char* image : {disk_image_listing::kImagePath, disk_image_listing::kOtherImagePath, "", "/"}) {
        std::string mountPoint;
        ZORUtils::mountPointFromInfo(listing, image, mountPoint);
        std::vector<std::string> mountPoints;
        ZORUtils::mountPointsFromInfo(listing, image, disk_image_listing::kImageDevice, disk_image_listing::kImageInode,
                                      mountPoints);
    }
    return 0;
}
