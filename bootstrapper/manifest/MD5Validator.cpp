// MD5Validator: segment signatures from libcrypto's MD5 through the EVP digest interface.
#include "bootstrapper/manifest/MD5Validator.h"

#include <openssl/evp.h>

static_assert(ValidatorBase::kDigestCapacity >= EVP_MAX_MD_SIZE);

MD5Validator::MD5Validator() {
    kind_ = 1;
    algorithm_ = "TYPE1";
}

MD5Validator::~MD5Validator() = default;

bool MD5Validator::digest(const uint8_t* bytes, size_t size, uint8_t* buffer, uint32_t& length) const {
    unsigned int written = 0;
    if (buffer == nullptr || EVP_Digest(bytes, size, buffer, &written, EVP_md5(), nullptr) != 1) return false;
    length = written;
    return true;
}

bool MD5Validator::computeSignature(const uint8_t* bytes, size_t size, std::string& text) const {
    uint8_t buffer[kDigestCapacity];
    uint32_t length = 0;
    if (!digest(bytes, size, buffer, length)) return false;
    char hex[33];
    if (!toHex(buffer, length, hex, sizeof hex)) return false;
    text = hex;
    return true;
}
