// libFuzzer target: any bytes as the bundle's systemCheck.xml, as text and as a file, then the check against it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bootstrapper/support/SystemCheck.h"
#include "tests/support/FuzzEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = test_support::writeFuzzInput("systemCheck.xml", data, size);
    SystemCheck fromText;
    const bool loaded = fromText.loadRequirements(text, false);
    if (!loaded) test_support::fuzzCheck(fromText.getRequiredVersionString().empty(), "a failed load sets nothing");
    fromText.checkOSVersion();
    SystemCheck fromFile;
    const bool loadedFile = fromFile.loadRequirements(path, true);
    if (loaded && loadedFile)
        test_support::fuzzCheck(fromFile.getRequiredVersionString() == fromText.getRequiredVersionString(),
                                "the file and its text give one requirement");
    return 0;
}
