// libFuzzer target: any bytes as the disk-image tool's "info -plist" listing, as mountDmg reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bootstrapper/support/ZORUtils.h"
#include "tests/bootstrapper/support/fuzz/DiskImageListing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string listing(reinterpret_cast<const char*>(data), size);
    for (const char* image : {disk_image_listing::kImagePath, disk_image_listing::kOtherImagePath, "", "/"}) {
        std::string mountPoint;
        ZORUtils::mountPointFromInfo(listing, image, mountPoint);
    }
    return 0;
}
