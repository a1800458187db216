// Shared string conversions: native and UTF-8 text, numbers, GUID texts, replace, gunzip.
#include "foundation/utils/StringUtils.h"

#include <uuid/uuid.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

bool StringUtils::NativeToUTF8(const std::string& text, std::string& utf8, void*) {
    utf8 = text;
    return true;
}

bool StringUtils::UTF8ToNative(const char* utf8, std::string& text, void*) {
    text = utf8 ? utf8 : "";
    return true;
}

int StringUtils::UTF8ToInt(const std::string& text, void*) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool StringUtils::IntToNativeString(int value, std::string& text, void*) {
    text = std::to_string(value);
    return true;
}

bool StringUtils::LongToNativeString(int64_t value, std::string& text) {
    text = std::to_string(static_cast<long long>(value));
    return true;
}

bool StringUtils::GUIDString(std::string& guid) {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    guid.assign(text, 36);
    return true;
}

void StringUtils::Replace(std::string& text, const std::string& search, const std::string& replacement) {
    if (search.empty())
        return;
    for (size_t position = text.find(search); position != std::string::npos;
         position = text.find(search, position + replacement.size())) {
        text.replace(position, search.size(), replacement);
    }
}

namespace {

// zlib counts in 32 bits; larger buffers are fed and drained in pieces of this size.
constexpr size_t kMaxZlibChunk = UINT_MAX;

bool startsGzipMember(const std::string& data, size_t offset) {
    return data.size() - offset >= 2 && static_cast<unsigned char>(data[offset]) == 0x1f &&
           static_cast<unsigned char>(data[offset + 1]) == 0x8b;
}

}  // namespace

bool StringUtils::GunzipString(const std::string& compressed, std::string& output) {
    output.clear();
    if (compressed.empty())
        return true;

    z_stream stream{};
    // 15 window bits plus 16: gzip header and trailer only, neither zlib nor raw deflate.
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return false;

    std::string buffer(std::max<size_t>(compressed.size(), 256), '\0');
    size_t consumed = 0;
    size_t produced = 0;
    bool complete = false;
    for (;;) {
        if (produced == buffer.size())
            buffer.resize(buffer.size() * 2);  // geometric: linear total copying
        uInt inputOffered = static_cast<uInt>(std::min(compressed.size() - consumed, kMaxZlibChunk));
        uInt outputOffered = static_cast<uInt>(std::min(buffer.size() - produced, kMaxZlibChunk));
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data() + consumed));
        stream.avail_in = inputOffered;
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data() + produced);
        stream.avail_out = outputOffered;
        int result = inflate(&stream, Z_NO_FLUSH);
        consumed += inputOffered - stream.avail_in;
        produced += outputOffered - stream.avail_out;

        if (result == Z_STREAM_END) {
            if (consumed == compressed.size()) {
                complete = true;
                break;
            }
            // Concatenated members are one gzip file; anything else after the end is damage.
            if (!startsGzipMember(compressed, consumed) || inflateReset(&stream) != Z_OK)
                break;
            continue;
        }
        if (result == Z_OK)
            continue;
        // No progress: with output room left, the input ran out before the stream's end.
        if (result == Z_BUF_ERROR && produced == buffer.size())
            continue;
        break;
    }
    inflateEnd(&stream);
    if (!complete)
        return false;
    buffer.resize(produced);
    output = std::move(buffer);
    return true;
}
