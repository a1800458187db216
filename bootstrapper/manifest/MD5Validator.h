// MD5Validator: the "TYPE1" validator, each segment signed by its MD5 digest in lowercase hex.
#pragma once

#include "bootstrapper/manifest/ValidatorBase.h"

class MD5Validator : public ValidatorBase {
public:
    MD5Validator();
    ~MD5Validator() override;

    bool computeSignature(const uint8_t* bytes, size_t size, std::string& text) const override;
    bool digest(const uint8_t* bytes, size_t size, uint8_t* buffer, uint32_t& length) const override;
};
