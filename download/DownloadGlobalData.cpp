// Shared download state: input and preference rules, start-time decisions, errors, finishing the file.
#include "download/DownloadGlobalData.h"

#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <new>
#include <thread>

#include "download/DownloadJob.h"
#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/EngineTimings.h"
#include "download/FileSerializerJob.h"
#include "download/FileSystemUtils.h"
#include "download/HttpDownloader.h"
#include "download/InjectedFaults.h"
#include "download/TestSeams.h"
#include "platform/Url.h"

namespace {

constexpr const char* kDefaultUserAgent = "Morvane Studio";
constexpr const char* kDefaultReferer = "Zarvo.referer";
constexpr const char* kPartialSuffix = ".zamdownload";

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

InjectedFaults handOverFaults;

bool parseDecimal(const std::string& text, uint64_t& value) {
    value = 0;
    if (text.empty()) return true;  // a missing key reads as 0
    return FileSystemUtils::stringToUInt64(text.data(), text.size(), value);
}

bool gunzip(const std::string& input, std::string& output) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    char chunk[65536];
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            inflateEnd(&stream);
            return false;
        }
        output.append(chunk, sizeof chunk - stream.avail_out);
        if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) {
            inflateEnd(&stream);
            return false;  // truncated stream
        }
    }
    inflateEnd(&stream);
    return true;
}

}  // namespace

DownloadGlobalData::DownloadGlobalData() = default;

DownloadGlobalData::~DownloadGlobalData() { close(); }

void DownloadGlobalData::setPreference(const DownloadPreference& in) {
    DownloadSessionPreference& p = preference_;
    if (in.segmentSize < kMinimumSegmentSize) {
        DLE_TRACE(
            "preference segment size (%d) is less than the minimum value and hence setting the minimum value (%d) now",
            static_cast<int>(in.segmentSize), static_cast<int>(kMinimumSegmentSize));
        p.segmentSize = kMinimumSegmentSize;
    } else if (in.segmentSize > kMaximumSegmentSize) {
        DLE_TRACE(
            "preference segment size (%d) is more than the maximum value and hence setting the maximum value (%d) now",
            static_cast<int>(in.segmentSize), static_cast<int>(kMaximumSegmentSize));
        p.segmentSize = kMaximumSegmentSize;
    } else {
        p.segmentSize = in.segmentSize;
    }
    p.newAdaptiveAlgorithm = in.newAdaptiveAlgorithm;
    if (in.newAdaptiveAlgorithm) {
        DLE_INFO("Using New Adaptive Algorithm");
        p.threadCount = (in.threadCount >= 1 && in.threadCount <= kAdaptiveMaximumThreads) ? in.threadCount
                                                                                           : kAdaptiveDefaultThreads;
    } else if (in.threadCount >= 1 && in.threadCount <= kClassicMaximumThreads) {
        p.threadCount = in.threadCount;
    }
    if (!in.proxyUser.empty()) p.proxyUser = in.proxyUser;
    if (!in.proxyPassword.empty()) p.proxyPassword = in.proxyPassword;
    if (!in.serverUser.empty()) p.serverUser = in.serverUser;
    if (!in.serverPassword.empty()) p.serverPassword = in.serverPassword;
    p.startAddress = in.startAddress;
    p.bytesToDownload = in.bytesToDownload;
    p.singleStream = in.singleStream;
    p.noRetrialOnSpecificHttpErrors = in.noRetrialOnSpecificHttpErrors;
    p.retryAfterMaximum = in.retryAfterMaximum;
    if (in.replaceHeaders) {
        p.customHeaders = in.customHeaders;
    } else {
        if (in.customHeaders.empty()) return;
        for (const auto& [name, value] : in.customHeaders) p.customHeaders[name] = value;
    }
    p.customHeaderArray.clear();
    for (const auto& [name, value] : p.customHeaders) p.customHeaderArray.emplace_back(name, value);
}

bool DownloadGlobalData::init(const DownloadInput& input) {
    setPreference(input.preference);
    DownloadSessionPreference& p = preference_;
    auto rejectInput = [this] {
        setLastError(-10, "Input parameter structure contains invalid values as preference", 0, 1);
        DLE_WARN("failed to init the pref of RUZ");
        return false;
    };
    if (input.serverPath.empty()) {
        DLE_ERROR("ERROR: serverfullpath is empty in input structure of DLE");
        return rejectInput();
    }
    // The user info stays with the host: the URLs built from them carry it to the server.
    const platform::Url parts = platform::splitUrl(input.serverPath);
    std::string path = parts.target();
    if (!path.empty() && path.front() == '/') path.erase(0, 1);
    std::string urlFileName = path;
    if (size_t slash = path.rfind('/'); slash != std::string::npos) urlFileName = path.substr(slash + 1);
    if (input.targetFileName.empty() && urlFileName.empty()) {
        DLE_TRACE("target file name is not specified and no file name is detected in the url passed to RUZ - %s",
                  input.serverPath.c_str());
        return rejectInput();
    }
    p.serverPath = input.serverPath;
    p.host = (parts.hasUserInfo ? parts.userInfo + "@" : "") + parts.hostInUrl();
    p.path = path;
    p.isHttps = parts.schemeIs("https") ? 1 : 0;
    // A port that names none leaves the scheme's own.
    p.port = parts.port != 0 ? parts.port : p.isHttps ? 443 : 80;
    p.targetFolder = input.targetFolder.empty() ? "" : input.targetFolder + "/";
    p.targetFileName = input.targetFileName.empty() ? urlFileName : input.targetFileName;
    p.partialFileName = p.targetFileName + kPartialSuffix;
    p.useMetaFile = input.useMetaFile;
    p.adaptiveThreadControl = input.adaptiveThreadControl;
    p.unusedFlag = input.unusedFlag;
    p.userAgent = input.userAgent.empty() ? kDefaultUserAgent : input.userAgent;
    p.referer = input.referer.empty() ? kDefaultReferer : input.referer;

    // A new init may name another file: nothing learnt about the previous one carries over.
    fileInfoFetched_ = false;
    fileSize_ = 0;
    rangesRefused_ = 0;
    p.singleStreamInEffect = 0;
    {
        MutexLock lock(responseLock_);
        responseValues_.clear();
    }

    DownloadErrorInfo proxyError;
    if (!proxyHolder_.init(&preference_, proxyError)) {
        setLastError(proxyError);
        DLE_WARN("failed to init the http session");
        return false;
    }
    initialized_ = true;
    return true;
}

void DownloadGlobalData::initProxy() { proxyHolder_.reset(); }

int DownloadGlobalData::classifyIntoLastError(ErrorHandler& handler, const ErrorRecord& record) {
    int action = handler.handleError(record);
    DownloadErrorInfo info;
    handler.getErrorInfo(info);
    setLastError(info);
    return action;
}

void DownloadGlobalData::mapFileSystemErrorIntoLastError(int code, const std::string& path) {
    DownloadErrorInfo info;
    ErrorHandler::mapFileSystemError(code, info, path);
    setLastError(info);
}

bool DownloadGlobalData::fetchFileInfo() {
    if (fileInfoFetched_) return true;
    HttpDownloader downloader(&proxyHolder_, &preference_);
    ErrorHandler handler;
    if (!downloader.init(&proxyHolder_, &preference_)) {
        ErrorRecord record;
        downloader.getLastError(record);
        classifyIntoLastError(handler, record);
        DLE_ERROR("failed to init the http downloader to get file Size");
        return false;
    }
    const EngineTimings& timings = engineTimings();
    uint32_t started = monotonicSeconds();
    downloader.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(timings.probeMaxSeconds));
    uint64_t size = 0;
    for (uint32_t attempt = 1;; ++attempt) {
        if (downloader.getRemoteFileSize(size)) break;
        ErrorRecord record;
        downloader.getLastError(record);
        int action = classifyIntoLastError(handler, record);
        if (action != flat(EngineErrorAction::Retry)) {
            DLE_TRACE("failed to retrieve the server file Size");
            return false;
        }
        DLE_INFO(
            "some intermittent error while fetching remote file size. Retrying now. Error code is %d and error type is %d",
            record.nativeCode, record.errorType);
        sleepMs(timings.probeRetrySleepMs);
        uint32_t elapsed = monotonicSeconds() - started;
        if (attempt >= timings.probeMaxAttempts || elapsed >= timings.probeMaxSeconds) {
            DLE_INFO("Retry Count: %d reached for retriving file size and total time taken in seconds is %d",
                     static_cast<int>(attempt), static_cast<int>(elapsed));
            DLE_TRACE("failed to retrieve the server file Size");
            return false;
        }
    }
    downloader.setDeadline(std::chrono::steady_clock::time_point::max());
    fileSize_ = size;
    std::string etag;
    downloader.getResponseHeaderValue("ETag", etag);
    if (etag.empty()) DLE_TRACE("failed to retrieve the ETAG header from the head request");
    setResponseValue("ETag", etag);
    std::string text = "The value of ETAG for the file is " + etag;
    notifyIntercepts(kEventFileInfo, text.data(), static_cast<int>(text.size()));
    fileInfoFetched_ = true;
    rangesRefused_ = fileSize_ == 0 ? 1 : (downloader.checkByteRangeSupport(fileSize_, false) ? 0 : 1);
    return true;
}

bool DownloadGlobalData::validateFilePart() {
    uint64_t start = preference_.startAddress;
    uint64_t length = preference_.bytesToDownload;
    DLE_TRACE("Validating preference for startAddress=%llu and bytesToDownload=%llu for fileSize=%llu",
              static_cast<unsigned long long>(start), static_cast<unsigned long long>(length),
              static_cast<unsigned long long>(fileSize_));
    if (start == 0 && length == 0) {
        startAddress_ = 0;
        bytesToDownload_ = fileSize_;
        return true;
    }
    if (preference_.singleStreamInEffect) {
        // With no size from the server, the length the client asks for from byte 0 is the size it
        // expects of the whole file: the stream has to bring that many bytes.
        if (start == 0 && (length == fileSize_ || fileSize_ == 0)) {
            startAddress_ = 0;
            bytesToDownload_ = length;
            return true;
        }
        setLastError(flat(EngineErrorCode::RangesUnsupported), "File part download is not supported by the server", 0,
                     1);
        return false;
    }
    if (length == 0) length = start < fileSize_ ? fileSize_ - start : 0;
    // Written as a difference so that a huge length cannot wrap around.
    if (start < fileSize_ && length <= fileSize_ - start) {
        startAddress_ = start;
        bytesToDownload_ = length;
        return true;
    }
    setLastError(flat(EngineErrorCode::InvalidInput),
                 "File Part to be downloaded doesn't falls in the range of File size", 0, 1);
    return false;
}

void DownloadGlobalData::buildMetaInfo(std::map<std::string, std::string>& values) {
    values["FILE_SIZE"] = std::to_string(fileSize_);
    values["SEGMENT_SIZE"] = std::to_string(preference_.segmentSize);
    values["ETAG"] = responseValue("ETag");
    values["SERVER_PATH"] = preference_.serverPath;
    values["DOWNLOAD_START_ADDRESS"] = std::to_string(startAddress_);
    values["NO_Of_BYTES_TO_DOWNLOAD"] = std::to_string(bytesToDownload_);
}

bool DownloadGlobalData::compareMetaInfo(const std::map<std::string, std::string>& stored) {
    auto value = [&stored](const char* key) {
        auto it = stored.find(key);
        return it == stored.end() ? std::string() : it->second;
    };
    auto number = [&value](const char* key, uint64_t& out) { return parseDecimal(value(key), out); };
    uint64_t parsed = 0;
    if (value("ETAG") != responseValue("ETag") || value("SERVER_PATH") != preference_.serverPath) {
        DLE_TRACE(
            "Either ETAG value or server URL is changed from the last download. Hence download will resume from start again");
        return false;
    }
    if (!number("FILE_SIZE", parsed) || parsed != fileSize_) {
        DLE_TRACE("File size has changed. Restarting the download");
        return false;
    }
    if (!number("SEGMENT_SIZE", parsed) || parsed != preference_.segmentSize) {
        DLE_TRACE("segment size has changed. Restarting the download");
        return false;
    }
    if (!number("NO_Of_BYTES_TO_DOWNLOAD", parsed) || parsed != bytesToDownload_) {
        DLE_TRACE("NoOfBytesToDownload has changed. Restarting the download");
        return false;
    }
    if (!number("DOWNLOAD_START_ADDRESS", parsed) || parsed != startAddress_) {
        DLE_TRACE("start address of downloading has changed now. Restarting the download");
        return false;
    }
    return true;
}

bool DownloadGlobalData::tryResumeCandidate() {
    std::string meta = metaPath();
    auto drop = [this](const char* why) {
        DLE_WARN("%s", why);
        metaFile_.deleteFile();
        return false;
    };
    // Files another user made, or can reach through a name of their own, are not this download's.
    if (!FileSystemUtils::isOwnFile(meta) || !FileSystemUtils::isOwnFile(partialPath()))
        return drop("the partial file or the zamd file is not one this user made.");
    if (!metaFile_.initialize(meta)) return drop("failed to init zamd file in write mode.");
    if (!metaFile_.isValid()) return drop("zamd file is not valid. And download should begin from beginning.");
    std::map<std::string, std::string> stored;
    if (!metaFile_.readHeaders(stored)) return drop("Failed to get the headers from the zamd file.");
    if (!compareMetaInfo(stored))
        return drop("Headers are invalid in ZAMD file. The download would resume from start now.");
    // A partial file of another length cannot hold what the records say.
    std::error_code error;
    uint64_t size = std::filesystem::file_size(partialPath(), error);
    if (error || size != bytesToDownload_) return drop("partial file size does not match the zamd file.");
    return true;
}

void DownloadGlobalData::writeFreshMetaFile() {
    std::string meta = metaPath();
    int code = 0;
    metaFile_.deleteFile();
    // Whatever else holds the name (a link the manager never opened) goes too, unfollowed.
    FileSystemUtils::deleteFile(meta, code);
    if (!FileSystemUtils::createFile(meta, code)) {
        DLE_ERROR("failed to create a file (%s) on local disk.", meta.c_str());
        return;
    }
    if (!metaFile_.initialize(meta)) {
        DLE_ERROR("failed to init zamd file in write mode.");
        return;
    }
    if (!metaFile_.writeZAMDMetaInfoString()) DLE_ERROR("Failed to write the meta information in the zamd file");
    std::map<std::string, std::string> values;
    buildMetaInfo(values);
    if (!metaFile_.writeHeaders(values, bytesToDownload_ / preference_.segmentSize))
        DLE_ERROR("Failed to write the zamd headers in the file");
}

bool DownloadGlobalData::prepareFreshOutput() {
    const std::string& folder = preference_.targetFolder;
    int code = 0;
    if (!folder.empty() && !FileSystemUtils::directoryExists(folder)) {
        if (!FileSystemUtils::createDirectory(folder, code)) {
            mapFileSystemErrorIntoLastError(code, folder);
            DLE_ERROR("failed to create a dir - %s on local disk.", folder.c_str());
            return false;
        }
        createdDirectory_ = true;
    }
    std::string partial = partialPath();
    // Whatever lies at the name (a link, another user's file) is no download of ours: it goes,
    // unfollowed, and the partial file is made anew.
    if (FileSystemUtils::fileExists(partial) && !FileSystemUtils::isRegularFile(partial) &&
        !FileSystemUtils::deleteFile(partial, code)) {
        mapFileSystemErrorIntoLastError(code, partial);
        DLE_ERROR("something other than a file is in the way at %s.", partial.c_str());
        return false;
    }
    if (!FileSystemUtils::createFile(partial, code)) {
        mapFileSystemErrorIntoLastError(code, partial);
        DLE_ERROR("failed to create a file on local disk at %s.", partial.c_str());
        return false;
    }
    createdFile_ = true;
    if (!FileSystemUtils::setFileSize(partial, bytesToDownload_, code)) {
        mapFileSystemErrorIntoLastError(code, partial);
        int ignored = 0;
        FileSystemUtils::deleteFile(partial, ignored);
        DLE_ERROR("failed to extend the file size of %s upto %llu.", partial.c_str(),
                  static_cast<unsigned long long>(bytesToDownload_));
        return false;
    }
    if (useMetaRecords()) writeFreshMetaFile();
    return true;
}

bool DownloadGlobalData::initializeFileDownload() {
    if (!initialized_) {
        DLE_ERROR("DownloadGlobalData::initializeFileDownload : not initialized");
        return false;
    }
    DownloadSessionPreference& p = preference_;
    p.customHeaderArray.clear();
    for (const auto& [name, value] : p.customHeaders) p.customHeaderArray.emplace_back(name, value);
    p.noRetrialInEffect = 0;
    p.retryAfterMaximumInEffect = 60;
    if (p.singleStream) {
        singleStreamRequested_ = 1;
        fileSize_ = 0;
        p.singleStreamInEffect = 1;
        setResponseValue("ETag", "");
        if (p.acceptGzip) {
            p.customHeaderArray.emplace_back("Accept-Encoding", "gzip");
            DLE_INFO("Preference: Preference is set for adding compression header");
        }
        DLE_INFO("Preference: Client has set the preference for single stream download");
    } else {
        singleStreamRequested_ = 0;
        if (!fetchFileInfo()) return false;
        p.singleStreamInEffect = rangesRefused_;
    }
    if (p.noRetrialOnSpecificHttpErrors) {
        p.noRetrialInEffect = 1;
        DLE_INFO("Preference: Client has set the preference for No Retrial on Specific HTTP Errors");
    }
    if (p.retryAfterMaximum != 0 && p.retryAfterMaximum != 60) {
        p.retryAfterMaximumInEffect = p.retryAfterMaximum;
        DLE_INFO(
            "Preference: Client has set the preference for Max Retrial Value for Retry-After header handling. Val = %lu",
            static_cast<unsigned long>(p.retryAfterMaximum));
    }
    if (!validateFilePart()) return false;
    createdDirectory_ = false;
    outputFile_.close();
    // This run's serializer thread is the file's writer from here on.
    outputWriter_.detach();
    metaFile_.close();
    bool resume = p.useMetaFile && !p.singleStreamInEffect && FileSystemUtils::fileExists(metaPath()) &&
                  FileSystemUtils::fileExists(partialPath()) && tryResumeCandidate();
    p.freshStart = resume ? 0 : 1;
    // A partial file resumed through its meta file is this download's own: stop removes both.
    if (resume) createdFile_ = true;
    if (!resume && !prepareFreshOutput()) return false;
    if (!outputFile_.open(partialPath())) {
        ErrorRecord record;
        outputFile_.getLastError(record);
        mapFileSystemErrorIntoLastError(record.nativeCode, partialPath());
        DLE_ERROR("failed to init the file handle for the output file");
        return false;
    }
    acceptedBytes = 0;
    reportedState = 3;
    pendingSerializationBytes = 0;
    ++streamGeneration;
    clearAllErrors();
    {
        MutexLock lock(errorLock_);
        errorHandler_.clearRetryCounts();
        singleStreamFurthest_ = 0;
    }
    return true;
}

bool DownloadGlobalData::addDLEIntercept(int type, IDleIntercept* intercept) {
    if (intercept == nullptr) {
        DLE_WARN("DownloadGlobalData::addDLEIntercept : invalid param. intercept is null");
        setLastError(flat(EngineErrorCode::InvalidInput), "target object is null", 0, 1);
        return false;
    }
    MutexLock lock(interceptLock_);
    intercepts_[type].push_back(intercept);
    if (type >= 0 && type < 64) registeredTypes_ |= uint64_t{1} << type;
    return true;
}

int DownloadGlobalData::notifyIntercepts(int type, void* data, int length) {
    if (type >= 0 && type < 64 && (registeredTypes_.load() & (uint64_t{1} << type)) == 0) return 0;
    MutexLock lock(interceptLock_);
    auto it = intercepts_.find(type);
    if (it == intercepts_.end()) return 0;
    int result = 0;
    for (IDleIntercept* intercept : it->second) {
        result = intercept->intercept(type, data, length);
        if (result == kInterceptStopDelivery) break;
    }
    return result;
}

bool DownloadGlobalData::hasIntercept(int type) {
    MutexLock lock(interceptLock_);
    auto it = intercepts_.find(type);
    return it != intercepts_.end() && !it->second.empty();
}

bool DownloadGlobalData::createAndAddDownloadingJob(const SegmentPtr& segment, uint32_t index, uint32_t bytesPresent,
                                                    bool atFront) {
    if (!segment) {
        DLE_TRACE("JobPoolContainer::createAndAddDownloadingJob : invalid param");
        return false;
    }
    auto job = std::make_unique<DownloadJob>(index);
    if (!job->initialize(this, segment, bytesPresent)) return false;
    return atFront ? jobPool_.enqueueJobAtFront(std::move(job), kDownloadQueue)
                   : jobPool_.enqueueJob(std::move(job), kDownloadQueue);
}

void DownloadGlobalData::releasePendingSerialization(uint64_t length) {
    uint64_t left = pendingSerializationBytes -= length;
    if (left > kResumePendingSerializationBytes || left + length <= kResumePendingSerializationBytes) return;
    // Crossing the resume mark: taking the lock orders this against a worker between its test and its wait.
    { platform::MutexLock hold(roomLock_); }
    roomChanged_.signalAll();
}

bool DownloadGlobalData::waitForSerializerRoom(std::chrono::milliseconds limit) {
    platform::MutexLock hold(roomLock_);
    return roomChanged_.waitFor(
        roomLock_, limit, [this] { return pendingSerializationBytes.load() <= kResumePendingSerializationBytes; });
}

bool DownloadGlobalData::createAndAddSerializationJob(const SegmentPtr& segment, uint32_t jobId, uint32_t bufferOffset,
                                                      uint32_t length, uint64_t fileOffset, bool lastPiece,
                                                      bool endOfStream, uint32_t generation) {
    if (!segment) {
        DLE_TRACE("JobPoolContainer::createAndAddSerializationJob : invalid param");
        return false;
    }
    std::unique_ptr<FileSerializerJob> job(handOverFaults.fails() ? nullptr
                                                                  : new (std::nothrow) FileSerializerJob(jobId));
    if (!job) {
        DLE_ERROR("DownloadGlobalData::createAndAddSerializationJob : out of memory");
        return false;
    }
    job->initialize(this, segment, bufferOffset, length, fileOffset, lastPiece, endOfStream,
                    generation == 0 ? streamGeneration.load() : generation);
    pendingSerializationBytes += length;
    if (!jobPool_.enqueueJob(std::move(job), kSerializationQueue)) {
        pendingSerializationBytes -= length;
        DLE_TRACE("DownloadGlobalData::createAndAddSerializationJob : failed to create a job");
        return false;
    }
    return true;
}

void engine::testing::failHandOvers(int skip, int count) { handOverFaults.arm(skip, count); }

void DownloadGlobalData::addError(const ErrorRecord& record) {
    MutexLock lock(errorLock_);
    pendingErrors_[record.errorType].push_back(record);
}

int DownloadGlobalData::processNextError(DownloadErrorInfo& info, int& errorType) {
    MutexLock lock(errorLock_);
    auto it = pendingErrors_.begin();
    if (it == pendingErrors_.end()) return flat(EngineErrorAction::None);
    int action = flat(EngineErrorAction::None);
    for (const ErrorRecord& record : it->second) {
        action = errorHandler_.handleError(record);
        errorHandler_.getErrorInfo(info);
        if (action == flat(EngineErrorAction::None)) continue;
        errorType = it->first;
        if (action == flat(EngineErrorAction::UserActionable) || action == flat(EngineErrorAction::Fatal)) break;
    }
    pendingErrors_.erase(it);
    return action;
}

void DownloadGlobalData::clearErrors(int errorType) {
    MutexLock lock(errorLock_);
    pendingErrors_.erase(errorType);
}

void DownloadGlobalData::clearAllErrors() {
    MutexLock lock(errorLock_);
    pendingErrors_.clear();
}

void DownloadGlobalData::setLastError(int32_t type, const std::string& message, int32_t code, uint8_t retryable,
                                      int32_t action) {
    MutexLock lock(lastErrorLock_);
    lastError_.errorType = type;
    lastError_.message = message;
    lastError_.extendedErrorCode = code;
    lastError_.retryable = retryable;
    lastError_.action = action;
}

void DownloadGlobalData::setLastError(const DownloadErrorInfo& info) {
    MutexLock lock(lastErrorLock_);
    lastError_ = info;
}

DownloadErrorInfo DownloadGlobalData::getLastError() {
    MutexLock lock(lastErrorLock_);
    return lastError_;
}

bool DownloadGlobalData::cleanOutput() {
    int code = 0;
    bool ok = true;
    outputFile_.close();
    bool finishedFilePresent = FileSystemUtils::fileExists(targetPath(""));
    // A folder that holds a finished file is never removed, even one this download made.
    if (createdDirectory_ && !finishedFilePresent) {
        if (!FileSystemUtils::deleteDirectory(preference_.targetFolder, code)) {
            DLE_ERROR("failed to clean up the created output directory - %s", preference_.targetFolder.c_str());
            ok = false;
        }
        return ok;
    }
    DLE_TRACE("cleaning the output file");
    if (createdFile_ && !FileSystemUtils::deleteFile(partialPath(), code)) {
        DLE_ERROR("failed to delete the output file - %s", partialPath().c_str());
        ok = false;
    }
    if (!metaFile_.deleteFile()) DLE_WARN("[WARN] failed to delete the zamd file");
    return ok;
}

void DownloadGlobalData::resetThreadActivity(uint32_t threads) {
    threadActivity_.clear();
    for (uint32_t i = 0; i < threads; ++i) threadActivity_[i] = std::make_unique<ThreadActivity>();
}

void DownloadGlobalData::touchThreadActivity(uint32_t thread) {
    auto it = threadActivity_.find(thread);
    if (it != threadActivity_.end()) it->second->lastActivityTime = monotonicSeconds();
}

void DownloadGlobalData::markThreadStart(uint32_t thread) {
    auto it = threadActivity_.find(thread);
    if (it == threadActivity_.end()) return;
    it->second->lastActivityTime = 0;
    it->second->startTime = monotonicSeconds();
    it->second->busy = 1;
}

void DownloadGlobalData::markThreadEnd(uint32_t thread) {
    auto it = threadActivity_.find(thread);
    if (it == threadActivity_.end()) return;
    it->second->endTime = monotonicSeconds();
    it->second->busy = 0;
}

void DownloadGlobalData::addThreadBytes(uint32_t thread, uint64_t bytes) {
    auto it = threadActivity_.find(thread);
    if (it != threadActivity_.end()) it->second->bytesReceived += bytes;
    // A single stream's bytes are judged by how far they reach (addSingleStreamBytes).
    if (!preference_.singleStreamInEffect) {
        MutexLock lock(errorLock_);
        errorHandler_.resetIntermittentErrors();
    }
}

void DownloadGlobalData::addSingleStreamBytes(uint32_t thread, uint64_t bytes, uint64_t reachedOffset) {
    auto it = threadActivity_.find(thread);
    if (it != threadActivity_.end()) it->second->bytesReceived += bytes;
    // A stream the client asked for keeps its limits. Otherwise bytes an earlier try brought
    // already are no progress: a stream cut for good at one point still runs out of retries.
    if (singleStreamRequested_) return;
    MutexLock lock(errorLock_);
    if (reachedOffset <= singleStreamFurthest_) return;
    singleStreamFurthest_ = reachedOffset;
    errorHandler_.resetIntermittentErrors();
}

bool DownloadGlobalData::writtenFileInPlace() {
    if (outputFile_.isFileAt(partialPath())) return true;
    // A link or another file swapped in holds none of our bytes: it is never finished.
    DLE_ERROR("the partial file at %s is no longer the file that was written", partialPath().c_str());
    setLastError(flat(EngineErrorCode::FileSystem), "The partial download was replaced by another file", 0, 0,
                 flat(EngineErrorAction::Fatal));
    return false;
}

bool DownloadGlobalData::renameOutputFile(const std::string& name) {
    std::string target = targetPath(name);
    if (FileSystemUtils::fileExists(target)) {
        setLastError(flat(EngineErrorCode::TargetExists),
                     "Failed to rename the file as there is already another file with that name present", 0, 1,
                     flat(EngineErrorAction::Fatal));
        return false;
    }
    if (!writtenFileInPlace()) return false;
    int code = 0;
    if (!FileSystemUtils::renameFile(target, partialPath(), code)) {
        DownloadErrorInfo info;
        ErrorHandler::mapFileSystemError(code, info, target);
        info.action = 2;
        setLastError(info);
        return false;
    }
    return true;
}

bool DownloadGlobalData::decompressOutputFile(const std::string& name) {
    std::string target = targetPath(name);
    std::string partial = partialPath();
    int code = 0;
    if (FileSystemUtils::fileExists(target)) {
        setLastError(flat(EngineErrorCode::TargetExists),
                     "Failed to unzip the file as there is already another file with that name present", 0, 1,
                     flat(EngineErrorAction::Fatal));
        FileSystemUtils::deleteFile(partial, code);
        return false;
    }
    if (!writtenFileInPlace()) return false;
    FileHandler reader;
    std::unique_ptr<char[]> bytes;
    uint64_t length = 0;
    std::string decompressed;
    bool ok = reader.open(partial) && reader.readToEnd(bytes, length, 0) &&
              gunzip(std::string(bytes.get(), static_cast<size_t>(length)), decompressed);
    reader.close();
    if (!ok) {
        DLE_ERROR("Failed in Unzipping the gzipped http response");
        FileSystemUtils::deleteFile(partial, code);
        setLastError(flat(EngineErrorCode::FileSystem), "Failed in Unzipping the gzipped http response", 0, 0,
                     flat(EngineErrorAction::Fatal));
        return false;
    }
    DLE_INFO("successfully unzipped the gzip response");
    // The compressed copy goes only once the decompressed one is safely written, and a file
    // that appeared at the target meanwhile is never replaced.
    if (!FileSystemUtils::writeDataToNewFile(target, decompressed, code)) {
        if (code == EEXIST)
            setLastError(flat(EngineErrorCode::TargetExists),
                         "Failed to unzip the file as there is already another file with that name present", 0, 1,
                         flat(EngineErrorAction::Fatal));
        else
            setLastError(flat(EngineErrorCode::FileSystem), "There is some error in handling the file system.", code, 0,
                         flat(EngineErrorAction::Fatal));
        return false;
    }
    FileSystemUtils::deleteFile(partial, code);
    return true;
}

void DownloadGlobalData::resetAcceptedBytes() {
    if (preference_.singleStreamInEffect) acceptedBytes = 0;
}

std::string DownloadGlobalData::responseValue(const std::string& name) {
    MutexLock lock(responseLock_);
    auto it = responseValues_.find(name);
    return it == responseValues_.end() ? std::string() : it->second;
}

void DownloadGlobalData::setResponseValue(const std::string& name, const std::string& value) {
    MutexLock lock(responseLock_);
    responseValues_[name] = value;
}

void DownloadGlobalData::resetWatermarks(uint32_t count) { watermarks_.assign(count, 0); }

uint32_t& DownloadGlobalData::watermark(uint32_t index) {
    if (index >= watermarks_.size()) watermarks_.resize(index + 1, 0);
    return watermarks_[index];
}

bool DownloadGlobalData::close() {
    outputFile_.close();
    metaFile_.close();
    jobPool_.clear();
    segmentPool_.clear();
    return true;
}
