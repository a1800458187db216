// libFuzzer target: any bytes as a downloaded manifest, read the way the step after its download reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bootstrapper/manifest/DownloadManifest.h"
#include "tests/support/FuzzEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = test_support::writeFuzzInput("manifest.xml", data, size);
    // One manifest object for the run, as a session keeps one across retries.
    static DownloadManifest* manifest = new DownloadManifest();
    const bool read = manifest->readManifestFile(path);
    const size_t assets = manifest->getAssetCount();
    const uint64_t total = manifest->getTotalBytes();
    if (read) {
        test_support::fuzzCheck(assets > 0 && !manifest->getManifestVersion().empty(),
                                "an accepted manifest has a version and an asset");
    } else {
        test_support::fuzzCheck(assets == 0 && total == 0, "a refused manifest leaves no asset behind");
    }
    // Reading the same file again gives the same answer.
    test_support::fuzzCheck(manifest->readManifestFile(path) == read && manifest->getAssetCount() == assets &&
                                manifest->getTotalBytes() == total,
                            "a second read of one manifest agrees with the first");
    test_support::fuzzCheck(manifest->getCurrentAsset() == nullptr, "reading a manifest starts no asset");
    return 0;
}
