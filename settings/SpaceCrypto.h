// String-in, string-out wrappers over the Crypto++ block cipher and hash objects.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <string>

#include "settings/HexCodec.h"

namespace SpaceCrypto {

// One character repeated: the IV of every cipher operation of the store (its stored format).
inline constexpr char kIvCharacter = 'Q';

// CBC encryption and decryption of one text; once a step fails, later steps do nothing
// and the result is the error text.
template <typename BlockCipher>
class Crypt {
public:
    Crypt() { reset(); }

    void reset() {
        error_ = false;
        key_.clear();
        plain_.clear();
        encrypted_.clear();
        iv_.clear();
        errorText_.clear();
        complete_ = false;
        ivGiven_ = false;
        outputRaw_ = false;
        inputRaw_ = true;
    }

    void setOutputRaw(bool raw) { outputRaw_ = raw; }
    void setInputRaw(bool raw) { inputRaw_ = raw; }
    bool isError() const { return error_; }
    const std::string& errorText() const { return errorText_; }

    bool setPlainString(const std::string& plain) {
        if (error_) return false;
        if (plain.empty()) return fail("No valid Plain String Length");
        plain_ = plain;
        return true;
    }

    bool setKey(const std::string& key) {
        if (error_) return false;
        if (key.empty() || key.size() % 8 != 0) return fail("No valid Key Length");
        key_ = key;
        return true;
    }

    bool setEncString(const std::string& encrypted) {
        if (error_) return false;
        if (encrypted.empty()) return fail("No valid Encrypted String Length");
        encrypted_ = encrypted;
        return true;
    }

    // The cipher bytes, or their uppercase hexadecimal text unless output-raw.
    std::string Encrypt() {
        if (error_) return errorText_;
        if (key_.empty() || plain_.empty()) return failText("You need to set key and/or plain text");
        buildIv();
        std::string cipher;
        try {
            encryption_.SetKeyWithIV(bytes(key_), key_.size(), bytes(iv_), iv_.size());
            CryptoPP::StringSource source(plain_, true,
                new CryptoPP::StreamTransformationFilter(encryption_, new CryptoPP::StringSink(cipher)));
        } catch (const CryptoPP::Exception& e) {
            return failText(e.what());
        }
        complete_ = true;
        return outputRaw_ ? cipher : hexTextOf(cipher);
    }

    std::string Decrypt() {
        if (error_) return errorText_;
        if (key_.empty() || encrypted_.empty()) return failText("You need to set key and/or plain text");
        buildIv();
        std::string input = inputRaw_ ? encrypted_ : bytesOfHexText(encrypted_);
        std::string plain;
        try {
            decryption_.SetKeyWithIV(bytes(key_), key_.size(), bytes(iv_), iv_.size());
            CryptoPP::StringSource source(input, true,
                new CryptoPP::StreamTransformationFilter(decryption_, new CryptoPP::StringSink(plain)));
        } catch (const CryptoPP::Exception& e) {
            return failText(e.what());
        }
        complete_ = true;
        return outputRaw_ ? plain : hexTextOf(plain);
    }

private:
    static const CryptoPP::byte* bytes(const std::string& text) {
        return reinterpret_cast<const CryptoPP::byte*>(text.data());
    }

    void buildIv() {
        if (!ivGiven_) {
            iv_.assign(BlockCipher::BLOCKSIZE, kIvCharacter);
        }
    }

    bool fail(const std::string& text) {
        error_ = true;
        errorText_ = text;
        return false;
    }

    std::string failText(const std::string& text) {
        fail(text);
        return errorText_;
    }

    bool error_ = false;
    std::string key_;
    std::string plain_;
    std::string encrypted_;
    std::string iv_;
    std::string errorText_;
    typename CryptoPP::CBC_Mode<BlockCipher>::Encryption encryption_;
    typename CryptoPP::CBC_Mode<BlockCipher>::Decryption decryption_;
    bool complete_ = false;
    bool ivGiven_ = false;
    bool outputRaw_ = false;
    bool inputRaw_ = true;
};

// A digest of the texts fed to it, hexadecimal unless output-raw.
template <typename HashFunction>
class Hash {
public:
    Hash() { reset(); }

    void reset() {
        error_ = false;
        plain_.clear();
        result_.clear();
        errorText_.clear();
        complete_ = false;
        outputRaw_ = false;
        inputRaw_ = true;
        hash_.Restart();
    }

    bool isError() const { return error_; }
    const std::string& errorText() const { return errorText_; }

    bool setPlain(const std::string& plain) {
        if (error_) return false;
        if (plain.empty()) {
            error_ = true;
            errorText_ = "Error during plain text assign";
            return false;
        }
        plain_ = plain;
        return true;
    }

    bool addStr(const std::string& text) {
        if (error_) return false;
        try {
            plain_ += text;
            hash_.Update(reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
        } catch (const CryptoPP::Exception& e) {
            error_ = true;
            errorText_ = e.what();
            return false;
        }
        return true;
    }

    std::string Encrypt() {
        if (error_) return errorText_;
        std::string digest(HashFunction::DIGESTSIZE, '\0');
        try {
            hash_.Final(reinterpret_cast<CryptoPP::byte*>(digest.data()));
        } catch (const CryptoPP::Exception& e) {
            error_ = true;
            errorText_ = e.what();
            return errorText_;
        }
        complete_ = true;
        result_ = outputRaw_ ? digest : hexTextOf(digest);
        return result_;
    }

private:
    bool error_ = false;
    std::string plain_;
    std::string result_;
    std::string errorText_;
    bool complete_ = false;
    bool outputRaw_ = false;
    bool inputRaw_ = true;
    HashFunction hash_;
};

}  // namespace SpaceCrypto
