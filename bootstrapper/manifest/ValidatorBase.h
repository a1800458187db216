// ValidatorBase: the segment signatures of one asset, read from or written to a validation file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zezu {
class Logger;
}

class ValidatorBase {
public:
    // Room a digest buffer must offer (the largest digest libcrypto makes).
    static constexpr uint32_t kDigestCapacity = 64;

    virtual ~ValidatorBase();
    ValidatorBase(const ValidatorBase&) = delete;
    ValidatorBase& operator=(const ValidatorBase&) = delete;

    // Cuts the data file into segments of segmentSize bytes and writes their validation file.
    virtual bool generateFromDataFile(const std::string& dataPath, const std::string& xmlPath, uint32_t segmentSize);
    virtual bool initWithXMLPath(const std::string& path);
    // Called on the engine's serializer thread; only reads the signatures.
    virtual bool validateSegment(const uint8_t* bytes, uint32_t size, uint32_t index) const;
    virtual bool computeSignature(const uint8_t* bytes, size_t size, std::string& text) const = 0;
    virtual uint64_t getTotalSize() const;
    virtual uint32_t getSegmentSize() const;
    // buffer holds at least kDigestCapacity bytes.
    virtual bool digest(const uint8_t* bytes, size_t size, uint8_t* buffer, uint32_t& length) const = 0;
    virtual bool toHex(const uint8_t* bytes, uint32_t length, char* buffer, uint32_t capacity) const;
    virtual bool writeXML(const std::string& xmlPath);

    uint32_t getLastSegmentSize() const { return lastSegmentSize_; }
    uint32_t getKind() const { return kind_; }
    const std::string& getAlgorithm() const { return algorithm_; }
    const std::map<uint32_t, std::string>& getSignatures() const { return signatures_; }

protected:
    ValidatorBase();

    uint32_t segmentSize_ = 0;
    uint32_t lastSegmentSize_ = 0;
    uint32_t kind_ = 0;
    std::map<uint32_t, std::string> signatures_;  // segment index from 0 to signature
    std::string algorithm_;
    std::unique_ptr<zezu::Logger> logger_;
};
