// ZString buffers, copies, serialisation and the 8-bit conversions behind them.
#include "localization/ZString.h"

#include <cstring>
#include <ostream>
#include <string>

#include "localization/TextEncoding.h"

namespace quirra_private {
namespace {

bool selectsUtf8(const uint32_t* selector) { return selector != nullptr && *selector == kEncodingUtf8; }

std::u16string decode(const char* bytes, size_t count, const uint32_t* selector) {
    const auto* raw = reinterpret_cast<const uint8_t*>(bytes);
    if (selectsUtf8(selector)) {
        std::u16string out;
        decodeUtf8Strict(raw, count, out);
        return out;
    }
    return decodeMacRoman(raw, count);
}

std::string encode(const char16_t* units, size_t count, const uint32_t* selector) {
    return selectsUtf8(selector) ? encodeUtf8(units, count) : encodeMacRoman(units, count);
}

}  // namespace

void RefCountObj::release() {
    if (refCount > 0 && --refCount == 0) delete this;
}

ByteRunValue::ByteRunValue(const void* bytes, uint32_t byteLength) : length(byteLength) {
    if (byteLength > 0) {
        data = new uint8_t[byteLength];
        std::memcpy(data, bytes, byteLength);
    }
}

ByteRunValue::~ByteRunValue() { delete[] data; }

ByteRunValue* ByteRunValue::empty() {
    static ByteRunValue* const shared = [] {
        auto* value = new ByteRunValue(nullptr, 0);
        value->addRef();
        return value;
    }();
    return shared;
}

ZString::ZString() : buffer_(ByteRunValue::empty()) { buffer_->addRef(); }

ZString::ZString(ByteRunValue* adopted) : buffer_(adopted) { buffer_->addRef(); }

ZString::ZString(const char16_t* units, size_t count)
    : ZString(count == 0 ? ByteRunValue::empty()
                         : new ByteRunValue(units, static_cast<uint32_t>(count * sizeof(char16_t)))) {}

ZString::ZString(const char* text, size_t length, const uint32_t* selector) : ZString() {
    std::u16string units = decode(text, length, selector);
    *this = ZString(units.data(), units.size());
}

ZString ZString::fromBytes(const void* bytes, size_t byteLength) {
    if (byteLength == 0) return ZString();
    return ZString(new ByteRunValue(bytes, static_cast<uint32_t>(byteLength)));
}

ZString::ZString(const ZString& other) : buffer_(other.buffer_) { buffer_->addRef(); }

ZString& ZString::operator=(const ZString& other) {
    if (buffer_ != other.buffer_) {
        other.buffer_->addRef();
        buffer_->release();
        buffer_ = other.buffer_;
    }
    return *this;
}

ZString::~ZString() { buffer_->release(); }

const char16_t* ZString::data() const { return reinterpret_cast<const char16_t*>(buffer_->data); }

void ZString::copyToBuffer(char16_t* buffer, size_t capacity, bool throwIfShort) const {
    if (buffer == nullptr) throw kErrorBUFF;
    const size_t needed = lengthWithTerminator();
    if (capacity > 0) {
        const size_t units = (needed < capacity ? needed : capacity) - 1;
        if (units > 0) std::memcpy(buffer, data(), units * sizeof(char16_t));
        buffer[units] = 0;
    }
    if (needed > capacity && throwIfShort) throw kErrorBUFF;
}

uint32_t ZString::write(std::ostream& out, bool binary, const uint32_t* selector) const {
    if (!binary) {
        for (char16_t unit : view()) {
            if (unit == u'\n' || unit == u'"' || unit == u'\r') {
                writeUnitLittleEndian(out, u'\\');
                writeUnitLittleEndian(out, unit == u'\n' ? u'n' : unit == u'\r' ? u'r' : u'"');
            } else {
                writeUnitLittleEndian(out, unit);
            }
        }
        writeUnitLittleEndian(out, u'"');
        writeUnitLittleEndian(out, u'\n');
        return 0;
    }
    if (selector == nullptr) {
        out.write(reinterpret_cast<const char*>(buffer_->data), buffer_->length);
        return buffer_->length;
    }
    std::string bytes = encode(data(), length(), selector);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<uint32_t>(bytes.size());
}

size_t unitsNeededFor8BitText(const char* bytes, size_t count, const uint32_t* selector) {
    return decode(bytes, count, selector).size();
}

void convert8BitTextToUtf16(const char* bytes, size_t count, GrowableUnitBuffer& out, const uint32_t* selector) {
    std::u16string units = decode(bytes, count, selector);
    out.reserve(units.size());
    if (units.size() > out.capacity()) throw kErrorPARM;
    for (size_t i = 0; i < units.size(); ++i) out.data()[i] = units[i];
    out.setLength(units.size());
}

size_t bytesNeededForUtf16(const char16_t* units, size_t count, const uint32_t* selector) {
    return encode(units, count, selector).size() + 1;
}

size_t convertUtf16To8BitText(const char16_t* units, size_t count, char* buffer, size_t capacity,
                              const uint32_t* selector) {
    if (buffer == nullptr) throw kErrorBUFF;
    if (capacity == 0) return 0;
    std::string bytes = encode(units, count, selector);
    size_t written = bytes.size() < capacity - 1 ? bytes.size() : capacity - 1;
    // A short buffer never ends inside a UTF-8 sequence.
    if (selectsUtf8(selector) && written < bytes.size()) {
        while (written > 0 && (static_cast<uint8_t>(bytes[written]) & 0xC0) == 0x80) --written;
    }
    std::memcpy(buffer, bytes.data(), written);
    buffer[written] = 0;
    return written;
}

}  // namespace quirra_private
