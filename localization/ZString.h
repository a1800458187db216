// The reference-counted UTF-16 string of the localization subsystem, its 8-bit conversions and growable buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string_view>

namespace quirra_private {

// Four-character codes thrown as bare 32-bit values.
inline constexpr uint32_t kErrorBUFF = 0x42554646;  // 'BUFF': buffer too small or absent
inline constexpr uint32_t kErrorPARM = 0x5041524d;  // 'PARM': decoded text longer than the capacity

// Selector value that picks UTF-8; every other value (and null) picks the system's 8-bit encoding.
inline constexpr uint32_t kEncodingUtf8 = 1;

class RefCountObj {
public:
    RefCountObj() = default;
    virtual ~RefCountObj() = default;
    RefCountObj(const RefCountObj&) = delete;
    RefCountObj& operator=(const RefCountObj&) = delete;

    void addRef() { ++refCount; }
    void release();
    bool isShared() const { return refCount > 1; }
    uint32_t references() const { return refCount; }

protected:
    uint32_t refCount = 0;
};

// The buffer behind a ZString: an owned copy of bytes (UTF-16 units for text).
class ByteRunValue : public RefCountObj {
public:
    ByteRunValue(const void* bytes, uint32_t byteLength);
    ~ByteRunValue() override;

    // The process-wide empty buffer. It holds a reference of its own and is never freed, so
    // static strings may still release it while the process exits.
    static ByteRunValue* empty();

    uint32_t length = 0;
    uint8_t* data = nullptr;
};

// A growable array (the line buffers of the table readers). Growth multiplies the capacity by
// 1.5 and always makes progress, also from a capacity of 0 or 1.
template <typename T>
class GrowableBuffer {
public:
    explicit GrowableBuffer(size_t initialCapacity = 0) { reserve(initialCapacity); }
    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;

    void reserve(size_t needed) {
        if (needed <= capacity_) return;
        size_t grown = capacity_ + capacity_ / 2;
        size_t next = needed;
        if (grown > next) next = grown;
        if (capacity_ + 1 > next) next = capacity_ + 1;
        std::unique_ptr<T[]> fresh(new T[next]());
        for (size_t i = 0; i < length_; ++i) fresh[i] = data_[i];
        data_ = std::move(fresh);
        capacity_ = next;
    }
    void append(T value) {
        reserve(length_ + 1);
        data_[length_++] = value;
    }
    void clear() { length_ = 0; }
    void setLength(size_t length) { length_ = length; }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    size_t length() const { return length_; }
    size_t capacity() const { return capacity_; }

private:
    std::unique_ptr<T[]> data_;
    size_t capacity_ = 0;
    size_t length_ = 0;
};

using GrowableUnitBuffer = GrowableBuffer<char16_t>;
using GrowableByteBuffer = GrowableBuffer<uint8_t>;

class ZString {
public:
    ZString();
    ZString(const char16_t* units, size_t count);
    // Converts 8-bit text to UTF-16 by the selector (null: the system's encoding).
    ZString(const char* text, size_t length, const uint32_t* selector);
    // A buffer holding a copy of raw bytes, native-order UTF-16 (the binary table loaders).
    static ZString fromBytes(const void* bytes, size_t byteLength);

    ZString(const ZString& other);
    ZString& operator=(const ZString& other);
    ~ZString();

    const char16_t* data() const;
    size_t length() const { return buffer_->length / 2; }
    size_t lengthWithTerminator() const { return length() + 1; }
    std::u16string_view view() const { return {data(), length()}; }
    bool sharesBufferWith(const ZString& other) const { return buffer_ == other.buffer_; }
    uint32_t bufferReferences() const { return buffer_->references(); }

    // Copies at most capacity - 1 units and a terminating 0; a capacity of 0 writes nothing.
    // Throws kErrorBUFF after copying when the string did not fit and throwIfShort is set,
    // and always when there is no buffer.
    void copyToBuffer(char16_t* buffer, size_t capacity, bool throwIfShort) const;

    // Text mode: the units with LF, '"' and CR escaped, then '"' and LF, as little-endian
    // UTF-16; returns 0. Binary mode: the raw units (no selector) or the 8-bit text in the
    // selected encoding; returns the number of bytes written.
    uint32_t write(std::ostream& out, bool binary, const uint32_t* selector) const;

private:
    explicit ZString(ByteRunValue* adopted);
    ByteRunValue* buffer_;
};

// Conversions between 8-bit text and UTF-16. Decoding is strict: an invalid input decodes to
// nothing. Encoding writes '?' for every unit it cannot encode, lone surrogates included.
size_t unitsNeededFor8BitText(const char* bytes, size_t count, const uint32_t* selector);
// Grows the buffer to the units needed, decodes into it and sets its length.
void convert8BitTextToUtf16(const char* bytes, size_t count, GrowableUnitBuffer& out, const uint32_t* selector);
// The encoded length plus 1 for a terminator.
size_t bytesNeededForUtf16(const char16_t* units, size_t count, const uint32_t* selector);
// Encodes at most capacity - 1 bytes and a terminating 0 (nothing for a capacity of 0);
// returns the bytes written before the terminator. Throws kErrorBUFF when there is no buffer.
size_t convertUtf16To8BitText(const char16_t* units, size_t count, char* buffer, size_t capacity,
                              const uint32_t* selector);

}  // namespace quirra_private
