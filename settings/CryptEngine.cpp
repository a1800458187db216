// The value cipher (AES-256-CBC, uppercase hex) and the key derivation of the settings store.
#include "settings/CryptEngine.h"

#include <cryptopp/sha.h>

#include <cstdio>

#include "settings/MachineSignature.h"
#include "settings/SettingsLog.h"

std::vector<std::string> CryptEngine::_hddSerialNumList;

namespace {

constexpr const char* kComponent = "CryptEngine";
constexpr const char* kStoreComponent = "VOR";

// Fixed material of the stored format: changing any of it makes every stored value unreadable.
constexpr const char kDerivationText[] = "hT4mQz8RkW2vNc6LpX9sDb3J";  // 24 characters: AES-192
// Kept within [1e9, 2^31 - 1] so that "%d" prints it as 10 digits.
constexpr int kDefaultSeed = 1862049573;

static_assert(sizeof kDerivationText - 1 == 24, "the derivation key is 24 bytes");
static_assert(kDefaultSeed >= 1000000000, "the seed prints as 10 digits");

}  // namespace

bool jumbleStr(std::string& text) {
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        std::swap(text[i], text[i + 1]);
    }
    return true;
}

bool mergeArrays(const std::string& a, const std::string& b, std::string& out) {
    const std::size_t halfA = a.size() / 2;
    const std::size_t halfB = b.size() / 2;
    out.append(a, 0, halfA);
    out.append(b, 0, halfB);
    out.append(a, halfA, std::string::npos);
    out.append(b, halfB, std::string::npos);
    return true;
}

std::string defaultKeySeedText() {
    char text[16];
    std::snprintf(text, sizeof text, "%d", kDefaultSeed);
    return text;
}

CryptEngine::CryptEngine(int type, const std::string& key) : type_(type), key_(key) {}

bool CryptEngine::initialize(int type, const std::string& key) {
    type_ = type == CE_Unspecified ? CE_AES : type;
    if (!key.empty()) {
        key_ = key;
    }
    if (key_.empty() && !generateKey(key_)) {
        VOR_WARN(kComponent, "Failed in key generation");
        return false;
    }
    initialized_ = true;
    return true;
}

int CryptEngine::encrypt(const std::string& plain, std::string& outHex) {
    if (plain.empty()) {
        VOR_WARN(kComponent, "invalid arguments to cryptEngine encrypt");
        return CE_BadArguments;
    }
    if (!initialized_) {
        VOR_WARN(kComponent, "CryptEngine is not initialized...");
        return CE_NotReady;
    }
    if (key_.empty()) {
        VOR_WARN(kComponent, "key should be set before proceeding for encryption...");
        return CE_NoKey;
    }
    if (type_ != CE_AES) {
        outHex = plain;
        return CE_PassedThrough;
    }
    crypt_.reset();
    if (!crypt_.setPlainString(plain)) {
        VOR_WARN(kComponent, "While encrypting ...failed to set plain string  error: %s", crypt_.errorText().c_str());
        return CE_NotReady;
    }
    if (!crypt_.setKey(key_)) {
        VOR_WARN(kComponent, "While encrypting ...failed to set key  error: %s", crypt_.errorText().c_str());
        return CE_NotReady;
    }
    std::string result = crypt_.Encrypt();
    if (crypt_.isError()) {
        VOR_WARN(kComponent, "Failed to encrypt data  error: %s", crypt_.errorText().c_str());
        return CE_CipherFailed;
    }
    outHex = result;
    return CE_OK;
}

int CryptEngine::decrypt(const std::string& hex, std::string& outPlain) {
    if (hex.empty()) {
        VOR_WARN(kComponent, "invalid arguments to cryptEngine decrypt");
        return CE_BadArguments;
    }
    if (!initialized_) {
        VOR_WARN(kComponent, "CryptEngine is not initialized...");
        return CE_NotReady;
    }
    if (key_.empty()) {
        VOR_WARN(kComponent, "key should be set before proceeding for decryption...");
        return CE_NoKey;
    }
    if (type_ != CE_AES) {
        outPlain = hex;
        return CE_PassedThrough;
    }
    crypt_.reset();
    crypt_.setInputRaw(false);
    crypt_.setOutputRaw(true);
    if (!crypt_.setEncString(hex)) {
        VOR_WARN(kComponent, "While decrypting ...failed to set encrypt key  error: %s", crypt_.errorText().c_str());
        return CE_NotReady;
    }
    if (!crypt_.setKey(key_)) {
        VOR_WARN(kComponent, "While decrypting ...failed to set key  error: %s", crypt_.errorText().c_str());
        return CE_NotReady;
    }
    std::string result = crypt_.Decrypt();
    if (crypt_.isError()) {
        VOR_WARN(kComponent, "Failed in error: %s", crypt_.errorText().c_str());
        return CE_DecryptFailed;
    }
    outPlain = result;
    return CE_OK;
}

int CryptEngine::getHashStringForType(int type, const std::string& input, std::string& outHex) {
    if (input.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to getHashStringForType");
    }
    auto run = [&](auto& hash) {
        hash.reset();
        if (!hash.setPlain(input)) {
            VOR_WARN(kComponent, "While hashing ...failed to set plain string  error: %s", hash.errorText().c_str());
            return static_cast<int>(CE_NotReady);
        }
        if (!hash.addStr(input)) {
            VOR_WARN(kComponent, "While hashing ...failed to update string  error: %s", hash.errorText().c_str());
            return static_cast<int>(CE_NotReady);
        }
        std::string digest = hash.Encrypt();
        if (hash.isError()) {
            VOR_WARN(kComponent, "Failed to hash data  error: %s", hash.errorText().c_str());
            return static_cast<int>(CE_CipherFailed);
        }
        outHex = digest;
        return static_cast<int>(CE_OK);
    };
    if (type == CE_SHA256) {
        return run(sha256_);
    }
    if (type == CE_MD5) {
        return run(md5_);
    }
    VOR_WARN(kComponent, " Unsupported Hash type to getHashStringForType");
    return CE_OK;
}

bool CryptEngine::generateKeyInternal(const std::string& seed, std::string& outKey) {
    std::string userName;
    if (!utilGetUserName(userName)) {
        VOR_WARN(kStoreComponent, " Failed in getting user name while generating key");
        return false;
    }
    std::string merged;
    mergeArrays(seed, userName, merged);
    jumbleStr(merged);
    std::string derivationKey = kDerivationText;
    jumbleStr(derivationKey);

    SpaceCrypto::Crypt<CryptoPP::Rijndael> crypt;
    crypt.reset();
    if (!crypt.setPlainString(merged)) {
        VOR_WARN(kComponent, "While encrypting ...failed to set plain string  error: %s", crypt.errorText().c_str());
        return false;
    }
    if (!crypt.setKey(derivationKey)) {
        VOR_WARN(kComponent, "While encrypting ...failed to set key  error: %s", crypt.errorText().c_str());
        return false;
    }
    std::string cipherHex = crypt.Encrypt();
    if (crypt.isError()) {
        VOR_WARN(kComponent, "Failed to encrypt data  error: %s", crypt.errorText().c_str());
        return false;
    }
    std::string hashHex;
    if (getHashStringForType(CE_SHA256, cipherHex, hashHex) != CE_OK || hashHex.size() != 64) {
        return false;
    }
    std::string folded(32, '\0');
    for (std::size_t j = 0; j < 32; ++j) {
        folded[j] = static_cast<char>(hashHex[j] ^ hashHex[32 + j]);
    }
    jumbleStr(folded);
    outKey = folded;
    return true;
}

bool CryptEngine::generateKey(std::string& outKey) {
    return generateKeyInternal(defaultKeySeedText(), outKey);
}

bool CryptEngine::GenerateHDSerialList() {
    if (_hddSerialNumList.empty() && !utilGetHardDiskSerialNumber(_hddSerialNumList, false)) {
        VOR_WARN(kStoreComponent, "Failed in key1 generation");
        return false;
    }
    return true;
}

bool CryptEngine::generateKey1(std::string& outKey) {
    if (!GenerateHDSerialList() || _hddSerialNumList.empty()) {
        return false;
    }
    return generateKeyInternal(_hddSerialNumList.back(), outKey);
}

bool CryptEngine::generateKey2(std::string& outKey) {
    char signature[33];
    if (!GenerateMachineSignature(signature)) {
        VOR_WARN(kStoreComponent, "Failed in getting GenerateMachineSignature");
        return false;
    }
    return generateKeyInternal(std::string(signature), outKey);
}
