// Machine facts for the key derivation, and the machine signature with its MD5 variant.
#include "settings/MachineSignature.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/MachineFacts.h"
#include "settings/SettingsLog.h"

namespace {

constexpr const char* kComponent = "VOR";

inline std::uint32_t rotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// The RFC 1321 transform, except that message words are assembled big-endian. The stored
// keys depend on this digest, so it must not be "corrected" to real MD5.
class Md5Variant {
public:
    void update(const std::uint8_t* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            buffer_[count_ % 64] = data[i];
            ++count_;
            if (count_ % 64 == 0) {
                transform(buffer_);
            }
        }
    }

    void finish(std::uint8_t digest[16]) {
        const std::uint32_t bitsLow = count_ << 3;
        const std::uint32_t bitsHigh = count_ >> 29;
        const std::uint8_t pad = 0x80;
        update(&pad, 1);
        const std::uint8_t zero = 0;
        while (count_ % 64 != 56) {
            update(&zero, 1);
        }
        // Words 14 and 15 take the bit length as numbers; big-endian bytes make
        // the big-endian word assembly read them back as those numbers.
        std::uint8_t lengthBytes[8];
        putBigEndian(bitsLow, lengthBytes);
        putBigEndian(bitsHigh, lengthBytes + 4);
        update(lengthBytes, 8);
        putBigEndian(state_[0], digest);
        putBigEndian(state_[1], digest + 4);
        putBigEndian(state_[2], digest + 8);
        putBigEndian(state_[3], digest + 12);
    }

private:
    static void putBigEndian(std::uint32_t value, std::uint8_t* out) {
        out[0] = static_cast<std::uint8_t>(value >> 24);
        out[1] = static_cast<std::uint8_t>(value >> 16);
        out[2] = static_cast<std::uint8_t>(value >> 8);
        out[3] = static_cast<std::uint8_t>(value);
    }

    void transform(const std::uint8_t block[64]) {
        static constexpr std::uint32_t kSine[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static constexpr int kShift[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22,
                                           5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20,
                                           4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                                           6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
        std::uint32_t words[16];
        for (int i = 0; i < 16; ++i) {
            words[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
                       (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
        }
        std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            std::uint32_t rotated = rotateLeft(a + f + kSine[i] + words[g], kShift[i]);
            a = d;
            d = c;
            c = b;
            b = b + rotated;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint32_t count_ = 0;
    std::uint8_t buffer_[64] = {};
};

void copyFirst14(const std::string& text, char* out) {
    std::memcpy(out, text.data(), text.size() < 14 ? text.size() : 14);
}

}  // namespace

bool utilGetUserName(std::string& outName) {
    auto name = platform::machineFacts().loginUserName();
    if (!name) {
        VOR_WARN(kComponent, "failed in getting logon user name");
        return false;
    }
    outName = *name;
    return true;
}

bool utilGetHardDiskSerialNumber(std::vector<std::string>& outSerials, bool) {
    auto serial = platform::machineFacts().platformSerial();
    if (!serial) {
        return false;
    }
    outSerials.push_back(*serial);
    return true;
}

bool getPrimaryMACAddressString(char outMac[13]) {
    std::memset(outMac, 0, 13);
    auto address = platform::machineFacts().primaryEthernetAddress();
    if (!address) {
        return false;
    }
    const auto& a = *address;
    std::snprintf(outMac, 13, "%02x%02x%02x%02x%02x%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    return true;
}

bool getPlatformSerialNumber(char outSerial[24]) {
    std::memset(outSerial, 0, 24);
    auto serial = platform::machineFacts().platformSerial();
    if (!serial || serial->empty() || serial->size() > 23) {
        return false;
    }
    std::memcpy(outSerial, serial->data(), serial->size());
    return true;
}

char hexDigitChar(int value) {
    if (value >= 0 && value <= 9) {
        return static_cast<char>('0' + value);
    }
    if (value >= 10 && value <= 15) {
        return static_cast<char>('A' + value - 10);
    }
    return 'U';
}

void md5VariantDigest(const std::uint8_t* data, std::size_t length, std::uint8_t outDigest[16]) {
    Md5Variant md5;
    md5.update(data, length);
    md5.finish(outDigest);
}

std::string base64Text(const std::uint8_t* data, std::size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (std::size_t i = 0; i < length; i += 3) {
        std::uint32_t group = std::uint32_t{data[i]} << 16;
        if (i + 1 < length) group |= std::uint32_t{data[i + 1]} << 8;
        if (i + 2 < length) group |= data[i + 2];
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < length ? kAlphabet[group & 63] : '=';
    }
    return out;
}

void md5Base64String(const std::uint8_t* data, std::size_t length, std::string& outText) {
    std::uint8_t digest[16];
    md5VariantDigest(data, length, digest);
    outText = base64Text(digest, sizeof digest);
}

void makeRandomMachineId(char outSignature[33]) {
    outSignature[0] = 'F';
    outSignature[1] = outSignature[2] = outSignature[3] = '0';
    // A generator of our own: seeding the shared rand() would disturb its other users.
    std::mt19937 generator(static_cast<std::mt19937::result_type>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<std::uint32_t> draw(1, 0x7fffffff);
    int position = 4;
    while (position < 32) {
        for (std::uint32_t value = draw(generator); value > 0 && position < 32; value /= 10) {
            outSignature[position++] = static_cast<char>('0' + value % 10);
        }
    }
    outSignature[32] = '\0';
}

bool GenerateMachineSignature(char outSignature[33]) {
    std::memset(outSignature, 0, 33);
    char mac[13];
    std::string macText = getPrimaryMACAddressString(mac) ? std::string(mac) : std::string(kMissingFactText);
    char serial[24];
    bool haveSerial = getPlatformSerialNumber(serial);
    if (!haveSerial && macText == kMissingFactText) {
        makeRandomMachineId(outSignature);
        return true;
    }
    std::string serialText = haveSerial ? std::string(serial) : std::string(kMissingFactText);
    outSignature[0] = hexDigitChar(5);
    outSignature[1] = outSignature[2] = outSignature[3] = '0';
    std::string hashed;
    md5Base64String(reinterpret_cast<const std::uint8_t*>(macText.data()), macText.size(), hashed);
    copyFirst14(hashed, outSignature + 4);
    md5Base64String(reinterpret_cast<const std::uint8_t*>(serialText.data()), serialText.size(), hashed);
    copyFirst14(hashed, outSignature + 18);
    outSignature[32] = '\0';
    return true;
}
