// libFuzzer target: any bytes as the installed packager's version file, then compared both ways.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bootstrapper/support/MSPVersionComparator.h"
#include "tests/support/FuzzEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = test_support::fuzzEnvironment().base() + "/installed";
    ::mkdir(folder.c_str(), 0700);
    test_support::writeFuzzInput(std::string("installed/") + MSPVersionComparator::kVersionFileName, data, size);
    static MSPVersionComparator* comparator = new MSPVersionComparator();
    const std::string untouched = "untouched";
    std::string version = untouched;
    if (!comparator->getInstalledVersion(folder, version)) {
        test_support::fuzzCheck(version == untouched, "a refused version file leaves the version as it was");
        return 0;
    }
    const bool newer = comparator->compare(version, "1.0.0.1");
    const bool older = comparator->compare("1.0.0.1", version);
    test_support::fuzzCheck(!(newer && older), "one version is not both newer and older than another");
    test_support::fuzzCheck(!comparator->compare(version, version), "no version is newer than itself");
    return 0;
}
