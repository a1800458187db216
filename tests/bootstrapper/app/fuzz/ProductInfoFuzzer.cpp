// libFuzzer target: any bytes as the bundle's productInfo.xml, as text and as a file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bootstrapper/app/ProductInfo.h"
#include "tests/support/FuzzEnvironment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = test_support::writeFuzzInput("productInfo.xml", data, size);
    ProductInfo fromText;
    const bool read = fromText.initWithXMLPath(text, false);
    if (read)
        test_support::fuzzCheck(!fromText.getZameeURL().empty(), "accepted product information has a manifest URL");
    test_support::fuzzCheck(fromText.getCookie().empty(), "the cookie never comes from the file");
    ProductInfo fromFile;
    if (fromFile.initWithXMLPath(path, true) && read)
        test_support::fuzzCheck(
            fromFile.getZameeURL() == fromText.getZameeURL() && fromFile.getSAPCode() == fromText.getSAPCode() &&
                fromFile.getLocale() == fromText.getLocale() && fromFile.getProductName() == fromText.getProductName(),
            "the file and its text give the same product");
    return 0;
}
