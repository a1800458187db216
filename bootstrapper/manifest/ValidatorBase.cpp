// ValidatorBase: reading, checking and writing the segment signatures of a validation file.
#include "bootstrapper/manifest/ValidatorBase.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "bootstrapper/manifest/DecimalText.h"
#include "foundation/logging/Logger.h"
#include "foundation/utils/XMLParser.h"

namespace {

// Closes the descriptor when the generation ends, whichever way it ends.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Fills the buffer up to its size unless the file ends first; -1 on a read error.
    ssize_t readFully(uint8_t* buffer, size_t size) {
        size_t done = 0;
        while (done < size) {
            ssize_t got = ::read(fd_, buffer + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return -1;
            if (got == 0) break;
            done += static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(done);
    }

private:
    int fd_;
};

// A signature is read as the XML text of the segment's content: markup, an escaped character or
// a control character there never equals a computed signature and does not write back as it was
// read, so the file is damaged.
bool isPlainSignature(const std::string& signature) {
    for (const char c : signature)
        if (c == '&' || c == '<' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

}  // namespace

ValidatorBase::ValidatorBase() : logger_(std::make_unique<zezu::Logger>("ZOR", "", "Download", "ZOR", "Validator")) {}

ValidatorBase::~ValidatorBase() = default;

bool ValidatorBase::initWithXMLPath(const std::string& path) {
    ZEZUUtils::XMLParser parser;
    if (!parser.initWithXMLPath(path)) {
        logger_->warn("", "Signature file could not be initialized");
        return false;
    }
    std::string text;
    if (!parser.stringValueForXQuery("//validationInfo/segmentSize", text)) {
        logger_->warn("", "Segment size not specified");
        return false;
    }
    const uint32_t size = manifest_text::parseDecimal<uint32_t>(text);
    if (size == 0) {
        logger_->warn("", "Invalid segment size (%s) specified", text.c_str());
        return false;
    }
    if (!parser.stringValueForXQuery("//validationInfo/lastSegmentSize", text)) {
        logger_->warn("", "Last segment size not specified");
        return false;
    }
    const uint32_t last = manifest_text::parseDecimal<uint32_t>(text);
    if (last == 0) {
        logger_->warn("", "Invalid Last segment size (%s) specified", text.c_str());
        return false;
    }
    if (last > size) {
        logger_->warn("", "Last segment size is more than segment size");
        return false;
    }
    if (!parser.stringValueForXQuery("//validationInfo/segmentCount", text)) {
        logger_->warn("", "Segment count not specified");
        return false;
    }
    const uint32_t count = manifest_text::parseDecimal<uint32_t>(text);
    if (count == 0) {
        logger_->warn("", "Segment count is invalid");
        return false;
    }
    int nodes = 0;
    void* list = parser.getNodeListForXQuery("//validationInfo/segments/segment", &nodes);
    if (list == nullptr || nodes <= 0 || static_cast<uint32_t>(nodes) != count) {
        logger_->warn("", "Segment count mismatch in the validation information");
        return false;
    }
    // Every index 0..count-1 exactly once: a duplicate or a hole would leave a segment that never
    // validates while the total size still looks right.
    std::map<uint32_t, std::string> read;
    for (int i = 0; i < nodes; ++i) {
        void* node = parser.getNodeAtIndexFromNodeList(list, i);
        const auto attributes = parser.getAttrsMapOfNode(node);
        const auto number = attributes.find("segmentNumber");
        const uint32_t n = number == attributes.end() ? 0 : manifest_text::parseDecimal<uint32_t>(number->second);
        std::string signature;
        if (n == 0 || n > count || read.count(n - 1) != 0 || !parser.getNodeXMLString(node, signature) ||
            signature.empty()) {
            logger_->warn("", "Segment count mismatch in the validation information");
            return false;
        }
        if (!isPlainSignature(signature)) {
            logger_->warn("", "Invalid signature for segment %u in the validation information", n);
            return false;
        }
        read.emplace(n - 1, std::move(signature));
    }
    segmentSize_ = size;
    lastSegmentSize_ = last;
    signatures_ = std::move(read);
    return true;
}

bool ValidatorBase::validateSegment(const uint8_t* bytes, uint32_t size, uint32_t index) const {
    const auto expected = signatures_.find(index);
    if (expected == signatures_.end()) return false;
    std::string computed;
    if (!computeSignature(bytes, size, computed)) return false;
    return computed == expected->second;
}

uint64_t ValidatorBase::getTotalSize() const {
    if (signatures_.empty()) return 0;
    return static_cast<uint64_t>(signatures_.size() - 1) * segmentSize_ + lastSegmentSize_;
}

uint32_t ValidatorBase::getSegmentSize() const { return segmentSize_; }

bool ValidatorBase::toHex(const uint8_t* bytes, uint32_t length, char* buffer, uint32_t capacity) const {
    static const char kDigits[] = "0123456789abcdef";
    if (buffer == nullptr || static_cast<uint64_t>(capacity) < 2 * static_cast<uint64_t>(length) + 1) return false;
    for (uint32_t i = 0; i < length; ++i) {
        buffer[2 * i] = kDigits[bytes[i] >> 4];
        buffer[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    buffer[2 * length] = '\0';
    return true;
}

bool ValidatorBase::generateFromDataFile(const std::string& dataPath, const std::string& xmlPath,
                                         uint32_t segmentSize) {
    ReadOnlyFile file(dataPath);
    if (!file.isOpen()) {
        logger_->warn("", "Data file could not be opened at path %s", dataPath.c_str());
        return false;
    }
    if (segmentSize == 0) return false;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(segmentSize);
    } catch (const std::bad_alloc&) {
        logger_->warn("", "Data file could not be opened at path %s", dataPath.c_str());
        return false;
    }
    segmentSize_ = segmentSize;
    lastSegmentSize_ = 0;
    signatures_.clear();
    bool result = true;
    for (uint32_t index = 0;; ++index) {
        const ssize_t got = file.readFully(chunk.data(), chunk.size());
        if (got < 0) {
            logger_->warn("", "Data file could not be opened at path %s", dataPath.c_str());
            return false;
        }
        if (got == 0) break;
        lastSegmentSize_ = static_cast<uint32_t>(got);
        std::string signature;
        if (computeSignature(chunk.data(), static_cast<size_t>(got), signature))
            signatures_[index] = signature;
        else
            result = false;
        if (static_cast<size_t>(got) < chunk.size()) break;
    }
    if (result) result = writeXML(xmlPath);
    return result;
}

bool ValidatorBase::writeXML(const std::string& xmlPath) {
    ZEZUUtils::XMLParser parser;
    void* root = nullptr;
    if (!parser.initWithXMLString("<validationInfo/>") || !parser.getRootNode(root)) return false;
    void* segments = nullptr;
    bool built = parser.addChildToNode("segmentSize", std::to_string(segmentSize_), root) &&
                 parser.addChildToNode("version", "1.0", root) &&
                 parser.addChildToNode("algorithm", algorithm_, root) &&
                 parser.addChildToNode("segmentCount", std::to_string(signatures_.size()), root) &&
                 parser.addChildToNode("lastSegmentSize", std::to_string(lastSegmentSize_), root) &&
                 parser.addChildToNode("segments", "", root, segments);
    for (auto it = signatures_.begin(); built && it != signatures_.end(); ++it) {
        void* segment = nullptr;
        built = parser.addChildToNode("segment", it->second, segments, segment) &&
                parser.addAttributeToNode(segment, "segmentNumber", std::to_string(it->first + 1));
    }
    return built && parser.writeXMLToFilePathInUTF8(xmlPath);
}
