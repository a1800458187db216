// Helpers of the engine's fault tests: the test server's counters and the meta file's records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "download/ZAMDFileManager.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/support/HttpTestServer.h"

namespace engine_test {

// The whole number under "key" in the flat JSON object text, or -1 when it is not there.
inline int64_t jsonNumber(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + key.size() + 3, nullptr, 10);
}

// A number of the server's info about path: "requests", "bytes_sent", "pending", "size".
inline int64_t serverInfo(test_support::HttpTestServer& server, const std::string& path, const std::string& key) {
    return jsonNumber(server.info(path), key);
}

// The records of the meta file beside a partial file, read the way a resume reads them: empty when
// the file is missing, damaged or describes another file or segmentation.
inline std::vector<uint32_t> metaRecords(const std::string& partial, uint64_t fileSize, uint32_t segment) {
    const std::string metaPath = partial + ".zamd";
    if (!exists(partial) || !exists(metaPath)) return {};
    ZAMDFileManager meta;
    std::map<std::string, std::string> headers;
    if (!meta.initialize(metaPath) || !meta.isValid() || !meta.readHeaders(headers)) return {};
    if (headers["FILE_SIZE"] != std::to_string(fileSize) || headers["SEGMENT_SIZE"] != std::to_string(segment))
        return {};
    std::vector<uint32_t> records;
    for (uint64_t start = 0; start < fileSize; start += segment) {
        uint32_t recorded = 0;
        if (!meta.readSegmentProgress(static_cast<uint32_t>(records.size()), recorded)) recorded = 0;
        records.push_back(recorded);
    }
    return records;
}

// The bytes a resume still fetches: the whole file without usable records.
inline uint64_t missingBytes(const std::string& partial, uint64_t fileSize, uint32_t segment) {
    const std::vector<uint32_t> records = metaRecords(partial, fileSize, segment);
    if (records.empty()) return fileSize;
    uint64_t missing = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const uint64_t size = std::min<uint64_t>(segment, fileSize - i * segment);
        missing += records[i] >= size ? 0 : size - records[i];
    }
    return missing;
}

// The first segment whose record claims bytes the partial file does not hold as content has them,
// or -1: a resume trusts every recorded byte without fetching it again.
inline int64_t segmentRecordingUnwrittenBytes(const std::string& partial, const Bytes& content, uint32_t segment) {
    const std::vector<uint32_t> records = metaRecords(partial, content.size(), segment);
    Bytes onDisk;
    if (records.empty() || !readFile(partial, onDisk) || onDisk.size() != content.size()) return -1;
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t start = i * segment;
        const size_t length = std::min<size_t>(records[i], content.size() - start);
        if (!std::equal(onDisk.begin() + static_cast<long>(start), onDisk.begin() + static_cast<long>(start + length),
                        content.begin() + static_cast<long>(start)))
            return static_cast<int64_t>(i);
    }
    return -1;
}

}  // namespace engine_test
