// ProductInfo: reads the manifest URL and the optional product values with the XML parser.
#include "bootstrapper/app/ProductInfo.h"

#include "foundation/utils/XMLParser.h"

ProductInfo::ProductInfo() : logger_("ZOR", "", "Download", "ZOR", "ProductInfo") {}

bool ProductInfo::initWithXMLPath(const std::string& source, bool isPath) {
    ZEZUUtils::XMLParser parser;
    if (!(isPath ? parser.initWithXMLPath(source) : parser.initWithXMLString(source))) {
        logger_.log(zezu::FATAL, "", "", "Could not initialize the product information file");
        return false;
    }
    // An empty URL names no manifest: as good as none.
    std::string url;
    if (!parser.stringValueForXQuery("//product_info/zameeurl", url) || url.empty()) {
        logger_.log(zezu::FATAL, "", "", "MSP Url not specified in the product information file");
        return false;
    }
    zameeurl = url;
    const struct {
        const char* query;
        std::string* value;
        const char* missing;
    } optional[] = {
        {"//product_info/SAPCode", &SAPCode, "Product Sap Code not specified in the product information file"},
        {"//product_info/locale", &locale, "Product locale not specified in the product information file"},
        {"//product_info/product_name", &product_name, "Product name not specified in the product information file"},
    };
    for (const auto& field : optional) {
        if (!parser.stringValueForXQuery(field.query, *field.value))
            logger_.log(zezu::INFO, "", "", "%s", field.missing);
    }
    return true;
}
