// libFuzzer target: any bytes as SystemVersion.plist under the local root, and as a version text.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/OperatingSystemVersion.h"
#include "tests/support/FuzzEnvironment.h"

namespace {

std::string folderUnderLocalRoot() {
    std::string folder = test_support::fuzzEnvironment().localRoot();
    for (const char* part : {"/System", "/Library", "/CoreServices"}) {
        folder += part;
        ::mkdir(folder.c_str(), 0700);
    }
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = folderUnderLocalRoot();
    const std::string relative = folder.substr(test_support::fuzzEnvironment().base().size() + 1);
    test_support::writeFuzzInput(relative + "/SystemVersion.plist", data, size);
    platform::operatingSystemVersion();

    // What the parser takes prints back to a text it reads the same.
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto version = platform::parseOperatingSystemVersion(text)) {
        const auto again = platform::parseOperatingSystemVersion(std::to_string(version->major) + "." +
                                                                 std::to_string(version->minor) + "." +
                                                                 std::to_string(version->patch));
        test_support::fuzzCheck(
            again && again->major == version->major && again->minor == version->minor && again->patch == version->patch,
            "a parsed version reads back the same");
    }
    return 0;
}
