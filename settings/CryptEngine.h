// The value cipher of the settings store and the derivation of its three keys.
#pragma once

#include <cryptopp/rijndael.h>
#include <cryptopp/sha.h>
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <string>
#include <vector>

#include "settings/SpaceCrypto.h"

enum CE_EncryptionType { CE_Unspecified = 0, CE_AES = 1 };
enum CE_HashType { CE_SHA256 = 1, CE_MD5 = 3 };

// Results of encrypt, decrypt and getHashStringForType.
enum CE_Status {
    CE_OK = 0,
    CE_NotReady = 1,      // not initialised, or the wrapper refused an input
    CE_NoKey = 2,
    CE_BadArguments = 3,
    CE_CipherFailed = 4,
    CE_DecryptFailed = 5, // wrong key or damaged text: the padding did not check out
    CE_PassedThrough = 6, // a type other than AES: the text is handed back unchanged
};

class CryptEngine {
public:
    CryptEngine(int type, const std::string& key);
    CryptEngine(const CryptEngine&) = delete;
    CryptEngine& operator=(const CryptEngine&) = delete;

    // Type 0 becomes AES; an empty key (given and stored) is replaced by the default key.
    bool initialize(int type, const std::string& key);

    int encrypt(const std::string& plain, std::string& outHex);
    int decrypt(const std::string& hex, std::string& outPlain);
    int getHashStringForType(int type, const std::string& input, std::string& outHex);

    // 32 raw bytes bound to the seed, the login user and the program's fixed material.
    bool generateKeyInternal(const std::string& seed, std::string& outKey);
    bool generateKey(std::string& outKey);
    bool generateKey1(std::string& outKey);
    bool generateKey2(std::string& outKey);

    // Fills _hddSerialNumList once per process; the caller holds the store's key lock.
    static bool GenerateHDSerialList();
    static std::vector<std::string> _hddSerialNumList;

private:
    int type_;
    std::string key_;
    SpaceCrypto::Crypt<CryptoPP::Rijndael> crypt_;
    SpaceCrypto::Hash<CryptoPP::SHA256> sha256_;
    SpaceCrypto::Hash<CryptoPP::Weak1::MD5> md5_;
    bool initialized_ = false;
};

// Swaps each adjacent pair of bytes in place; a last odd byte stays.
bool jumbleStr(std::string& text);

// Appends the first half of a, the first half of b, the second half of a, the second of b.
bool mergeArrays(const std::string& a, const std::string& b, std::string& out);

// The decimal text of the default key's seed constant.
std::string defaultKeySeedText();
