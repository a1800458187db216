// The ".zamd" meta file of a resumable download.
#include "download/ZAMDFileManager.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/FileSystemUtils.h"

namespace {

constexpr const char* kHeadersStart = "<headers>";
constexpr const char* kHeadersEnd = "</headers>";
constexpr const char* kEntryStart = "@START@";
constexpr const char* kEntryEnd = "@END@";
constexpr const char* kSeparator = "{|}";

uint64_t recordOffset(uint64_t index) { return ZAMDFileManager::kMagicLength + ZAMDFileManager::kRecordLength * index; }

}  // namespace

ZAMDFileManager::ZAMDFileManager() = default;

ZAMDFileManager::~ZAMDFileManager() { close(); }

void ZAMDFileManager::takeHandlerError() { handler_.getLastError(lastError_); }

bool ZAMDFileManager::initialize(const std::string& path) {
    if (initialized_) {
        return true;
    }
    if (!handler_.open(path)) {
        takeHandlerError();
        DLE_ERROR("Failed to initialize the zamd file");
        return false;
    }
    initialized_ = true;
    path_ = path;
    return true;
}

bool ZAMDFileManager::close() {
    if (initialized_) {
        if (!handler_.close()) {
            takeHandlerError();
        }
        initialized_ = false;
    }
    return true;
}

bool ZAMDFileManager::isValid() {
    if (!initialized_) {
        DLE_WARN("ZAMDFileManager: unintialized. Invalid params");
        return false;
    }
    char magic[kMagicLength + 1] = {};
    if (!handler_.readAt(0, magic, kMagicLength)) {
        takeHandlerError();
        return false;
    }
    // The first whitespace-delimited word of the 18 bytes.
    const char* begin = magic;
    while (*begin != 0 && std::isspace(static_cast<unsigned char>(*begin))) {
        ++begin;
    }
    const char* end = begin;
    while (*end != 0 && !std::isspace(static_cast<unsigned char>(*end))) {
        ++end;
    }
    return std::string(begin, end) == kMagic;
}

bool ZAMDFileManager::writeZAMDMetaInfoString() {
    if (!initialized_) {
        DLE_WARN("writeZAMDMetaInfoString: unintialized. Invalid params");
        return false;
    }
    const std::string text = std::string(kMagic) + "\n";
    if (!handler_.writeSegment(0, text.data(), static_cast<uint32_t>(text.size()))) {
        takeHandlerError();
        return false;
    }
    return true;
}

bool ZAMDFileManager::writeHeaders(const std::map<std::string, std::string>& headers, uint64_t n) {
    if (!initialized_) {
        DLE_WARN("writeZAMDMetaInfoString: unintialized.");
        return false;
    }
    const std::string text = buildHeaderString(headers);
    if (!handler_.writeSegment(recordOffset(n + 1), text.data(), static_cast<uint32_t>(text.size()))) {
        takeHandlerError();
        return false;
    }
    return true;
}

bool ZAMDFileManager::readHeaders(std::map<std::string, std::string>& headers) {
    if (!initialized_) {
        DLE_WARN("ZAMDFileManager: unintialized. Invalid params");
        return false;
    }
    // The whole file is read: one far longer than the engine writes is not its meta file.
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path_, error);
    if (!error && size > kMaximumFileLength) {
        DLE_WARN("the zamd file is too large to be a meta file.");
        return false;
    }
    std::unique_ptr<char[]> buffer;
    uint64_t length = 0;
    if (!handler_.readToEnd(buffer, length, 0)) {
        takeHandlerError();
        return false;
    }
    // From the first "<" up to the first 0 byte after it (records never written are zeros).
    const char* start = static_cast<const char*>(std::memchr(buffer.get(), '<', length));
    if (start == nullptr) {
        DLE_WARN("header xml is malformed.");
        return false;
    }
    const char* limit = buffer.get() + length;
    const char* stop = static_cast<const char*>(std::memchr(start, 0, static_cast<size_t>(limit - start)));
    return parseHeaderString(std::string(start, stop ? stop : limit), headers);
}

bool ZAMDFileManager::writeSegmentProgress(uint32_t segmentIndex, uint32_t value) {
    if (!initialized_) {
        DLE_INFO("ZAMDFileManager: unintialized. Invalid params");
        return false;
    }
    std::snprintf(record_, sizeof record_, "%20" PRIu32 "\n", value);
    if (!handler_.writeSegment(recordOffset(segmentIndex), record_, kRecordLength)) {
        takeHandlerError();
        return false;
    }
    return true;
}

bool ZAMDFileManager::readSegmentProgress(uint32_t segmentIndex, uint32_t& value) {
    if (!initialized_) {
        DLE_WARN("zamd file manager is not initialized. Hence invalid parameters");
        return false;
    }
    std::memset(record_, 0, sizeof record_);
    if (!handler_.readAt(recordOffset(segmentIndex), record_, kRecordLength)) {
        takeHandlerError();
        return false;
    }
    record_[kRecordLength] = 0;
    const bool unwritten = std::all_of(record_ + 1, record_ + kRecordLength, [](char c) { return c == 0; });
    if (unwritten && record_[0] == 0) {
        value = 0;
        return true;
    }
    if (unwritten && record_[0] == '\n' && segmentIndex == 0) {
        return true;  // record 0 before its first write holds the magic's line feed
    }
    // Only the writer's own form is a record: anything else is damage, and the bytes it would
    // vouch for cannot be trusted.
    const char* digits = record_;
    while (*digits == ' ') {
        ++digits;
    }
    char* end = nullptr;
    const unsigned long long number =
        std::isdigit(static_cast<unsigned char>(*digits)) ? std::strtoull(digits, &end, 10) : 0;
    char canonical[sizeof record_] = {};
    if (end == nullptr || number > UINT32_MAX ||
        std::snprintf(canonical, sizeof canonical, "%20" PRIu32 "\n", static_cast<uint32_t>(number)) !=
            static_cast<int>(kRecordLength) ||
        std::memcmp(canonical, record_, kRecordLength) != 0) {
        lastError_ = ErrorRecord{};
        lastError_.errorType = 1;
        lastError_.message = "A progress record of the meta file is damaged.";
        DLE_WARN("progress record %u of the zamd file is damaged", static_cast<unsigned>(segmentIndex));
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

bool ZAMDFileManager::deleteFile() {
    if (initialized_) {
        close();
    }
    if (path_.empty()) {
        return true;
    }
    int code = 0;
    if (!FileSystemUtils::deleteFile(path_, code)) {
        lastError_ = ErrorRecord{};
        lastError_.errorType = flat(EngineErrorType::FileSystem);
        lastError_.nativeCode = code;
        lastError_.message = "Failed to delete the file meta file.";
        return false;
    }
    return true;
}

bool ZAMDFileManager::reset() {
    const std::string path = path_;
    if (!deleteFile()) {
        return false;
    }
    int code = 0;
    if (!FileSystemUtils::createFile(path, code)) {
        lastError_ = ErrorRecord{};
        lastError_.errorType = flat(EngineErrorType::FileSystem);
        lastError_.nativeCode = code;
        return false;
    }
    return initialize(path);
}

std::string ZAMDFileManager::buildHeaderString(const std::map<std::string, std::string>& headers) {
    // std::map orders its keys by byte value, which is the order the block needs.
    std::string text = kHeadersStart;
    for (const auto& [key, value] : headers) {
        text += kEntryStart;
        text += key;
        text += kSeparator;
        text += value;
        text += kEntryEnd;
    }
    text += kHeadersEnd;
    return text;
}

bool ZAMDFileManager::parseHeaderString(const std::string& text, std::map<std::string, std::string>& headers) {
    const size_t start = text.find(kHeadersStart);
    const size_t end = text.find(kHeadersEnd);
    if (start == std::string::npos || end == std::string::npos || end < start) {
        DLE_WARN("header xml is malformed.");
        return false;
    }
    // One pass over the block: a damaged file may hold millions of entries.
    const std::string_view rest =
        std::string_view(text).substr(start + std::strlen(kHeadersStart), end - start - std::strlen(kHeadersStart));
    for (size_t cursor = 0;;) {
        const size_t entryStart = rest.find(kEntryStart, cursor);
        const size_t entryEnd = rest.find(kEntryEnd, cursor);
        if (entryStart == std::string::npos || entryEnd == std::string::npos || entryStart > entryEnd) {
            return true;
        }
        const size_t contentStart = entryStart + std::strlen(kEntryStart);
        std::string key;
        std::string value;
        // An entry without a separator never comes from the writer: it is skipped.
        if (contentStart <= entryEnd &&
            splitKeyValue(std::string(rest.substr(contentStart, entryEnd - contentStart)), key, value)) {
            headers[key] = value;
        }
        cursor = entryEnd + std::strlen(kEntryEnd);
    }
}

bool ZAMDFileManager::splitKeyValue(const std::string& entry, std::string& key, std::string& value) {
    const size_t separator = entry.find(kSeparator);
    if (separator == std::string::npos) {
        return false;
    }
    key = entry.substr(0, separator);
    value = entry.substr(separator + std::strlen(kSeparator));
    return true;
}
