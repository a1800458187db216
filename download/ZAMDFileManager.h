// The ".zamd" meta file: per-segment progress records and the server details of a resumable download.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "download/ErrorRecord.h"
#include "download/FileHandler.h"

class ZAMDFileManager {
public:
    static constexpr const char* kMagic = "Zarvo_Download_001";
    static constexpr uint64_t kMagicLength = 18;
    static constexpr uint64_t kRecordLength = 21;
    // Records of a download of some 200 GB in the smallest segments, and its header block.
    static constexpr uint64_t kMaximumFileLength = 64ull << 20;

    ZAMDFileManager();
    ~ZAMDFileManager();
    ZAMDFileManager(const ZAMDFileManager&) = delete;
    ZAMDFileManager& operator=(const ZAMDFileManager&) = delete;

    bool initialize(const std::string& path);
    bool close();
    bool isValid();
    bool writeZAMDMetaInfoString();
    // n: bytes to download / segment size; the block goes after the n + 1 records.
    bool writeHeaders(const std::map<std::string, std::string>& headers, uint64_t n);
    bool readHeaders(std::map<std::string, std::string>& headers);
    bool writeSegmentProgress(uint32_t segmentIndex, uint32_t value);
    // value is left as the caller set it when record 0 still holds only the magic's line feed.
    // False, value unchanged, when the record cannot be read or is not in the writer's form.
    bool readSegmentProgress(uint32_t segmentIndex, uint32_t& value);
    bool deleteFile();
    // Leaves an empty, open meta file: the caller writes the magic and the headers again.
    bool reset();
    bool isInitialized() const { return initialized_; }
    void getLastError(ErrorRecord& record) const { record = lastError_; }
    const std::string& path() const { return path_; }

    static std::string buildHeaderString(const std::map<std::string, std::string>& headers);
    static bool parseHeaderString(const std::string& text, std::map<std::string, std::string>& headers);
    static bool splitKeyValue(const std::string& entry, std::string& key, std::string& value);

private:
    void takeHandlerError();

    bool initialized_ = false;
    FileHandler handler_;
    std::string path_;
    ErrorRecord lastError_;
    char record_[22] = {};
};
