// ProductInfo: what the bootstrapper knows of the package it installs, from "productInfo.xml".
#pragma once

#include <string>

#include "foundation/logging/Logger.h"

class ProductInfo {
public:
    ProductInfo();
    virtual ~ProductInfo() = default;
    ProductInfo(const ProductInfo&) = default;
    ProductInfo& operator=(const ProductInfo&) = default;

    // source is a file path when isPath is true, else XML text. Only the manifest URL, not empty, is
    // required; the optional values are read when present.
    bool initWithXMLPath(const std::string& source, bool isPath);

    const std::string& getZameeURL() const { return zameeurl; }
    // Never read from the file, so always empty; senders skip an empty cookie.
    const std::string& getCookie() const { return cookie; }
    const std::string& getSAPCode() const { return SAPCode; }
    const std::string& getLocale() const { return locale; }
    const std::string& getProductName() const { return product_name; }

private:
    std::string zameeurl;
    std::string SAPCode;
    std::string locale;
    std::string cookie;
    std::string product_name;
    zezu::Logger logger_;
};
