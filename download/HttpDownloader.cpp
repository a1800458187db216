// The engine's HTTP transport on the platform's HTTP exchange.
#include "download/HttpDownloader.h"

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "download/CookieStore.h"
#include "download/EngineLogger.h"
#include "download/EngineResults.h"
#include "download/EngineTimings.h"
#include "download/ErrorHandler.h"
#include "platform/Url.h"

using platform::HttpErrorDomain;
using platform::HttpFailure;
using platform::HttpMethod;

namespace {

constexpr int kMaximumRedirects = 20;
using Type = EngineErrorType;

void sleepMs(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %XX first, then escapes what is not legal in a URL, so an escaped path keeps
// single escapes. A "%" without two hex digits stays a literal percent sign (sent as "%25").
std::string normaliseUrl(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    static const char* const kHex = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(decoded.size());
    for (const char c : decoded) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || std::strchr("\"<>\\^`{|}%", c) != nullptr) {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0f];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A Location value made absolute against the URL it came from.
std::string resolveLocation(const std::string& base, const std::string& location) {
    const platform::Url target = platform::splitUrl(location);
    if (target.schemeIs("http") || target.schemeIs("https")) {
        return location;
    }
    const platform::Url from = platform::splitUrl(base);
    if (location.rfind("//", 0) == 0) {
        return from.scheme.empty() ? location : from.scheme + ":" + location;
    }
    if (!location.empty() && location[0] == '/') {
        return from.origin() + location;
    }
    const std::string directory = from.path.empty() ? "/" : from.path.substr(0, from.path.rfind('/') + 1);
    return from.origin() + directory + location;
}

// "bytes first-last/total" -> first, last; false when it is not that shape.
bool parseContentRange(const std::string& value, uint64_t& first, uint64_t& last) {
    if (value.rfind("bytes ", 0) != 0) {
        return false;
    }
    const char* cursor = value.c_str() + 6;
    char* end = nullptr;
    errno = 0;
    first = std::strtoull(cursor, &end, 10);
    if (end == cursor || *end != '-' || errno != 0) {
        return false;
    }
    cursor = end + 1;
    last = std::strtoull(cursor, &end, 10);
    return end != cursor && *end == '/' && errno == 0 && last >= first;
}

bool parseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 10);
    return *end == 0 && errno == 0 && text[0] != '-';
}

}  // namespace

std::pair<std::string, std::string> makeRangeHeader(uint64_t start, uint64_t end) {
    return {"Range", "bytes=" + std::to_string(start) + "-" + std::to_string(end)};
}

// Marks the calling thread as inside the object for cancel()'s hand-shake.
class HttpDownloader::Inside {
public:
    explicit Inside(HttpDownloader& owner) : owner_(owner) { owner_.reading_.store(true); }
    ~Inside() { owner_.reading_.store(false); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    HttpDownloader& owner_;
};

HttpDownloader::HttpDownloader(ProxySettingsHolder* holder, const DownloadSessionPreference* preference)
    : holder_(holder), preference_(preference) {}

HttpDownloader::~HttpDownloader() {
    cancel();
    releaseTransfer();
}

bool HttpDownloader::init(ProxySettingsHolder* holder, const DownloadSessionPreference* preference) {
    if (initialized_.load()) {
        return true;
    }
    holder_ = holder;
    preference_ = preference;
    releaseTransfer();
    requestOpen_ = false;
    reading_.store(false);
    cancelled_.store(false);
    if (preference_ == nullptr) {
        setError(flat(Type::NotInitialized), 0, "");
        return false;
    }
    host_ = preference_->host;
    path_ = preference_->path;
    initialized_.store(true);
    return true;
}

std::string HttpDownloader::buildUrl(const std::string& host, const std::string& path, bool withPort) const {
    const bool https = preference_ != nullptr && preference_->isHttps == 1;
    const std::string scheme = https ? "https://" : "http://";
    const uint32_t port = preference_ != nullptr ? preference_->port : 0;
    std::string portPart;
    if (withPort && port != 0 && !(!https && port == 80) && !(https && port == 443)) {
        portPart = ":" + std::to_string(port);
    }
    const std::string& useHost = host.empty() ? host_ : host;
    const std::string& usePath = path.empty() ? path_ : path;
    return normaliseUrl(scheme + useHost + portPart + "/" + usePath);
}

std::string HttpDownloader::getCookieHeaderValue() const { return CookieStore::shared().cookieHeaderFor(getUrl()); }

void HttpDownloader::setError(int32_t type, int32_t code, const std::string& message) {
    lastError_.errorType = type;
    lastError_.nativeCode = code;
    lastError_.message = message;
    lastError_.retryAfterSeconds = 0;
    lastError_.reserved = 0;
    lastError_.segmentIndex = 0;
    if (type != flat(Type::BackOff)) {
        return;
    }
    std::string retryAfter;
    getResponseHeaderValue("Retry-After", retryAfter);
    if (retryAfter.empty()) {
        return;
    }
    lastError_.retryAfterSeconds = static_cast<int32_t>(std::strtol(retryAfter.c_str(), nullptr, 10));
    const uint32_t maximum = preference_ != nullptr ? preference_->retryAfterMaximumInEffect : 60;
    if (static_cast<uint32_t>(lastError_.retryAfterSeconds) > maximum) {
        DLE_INFO("Value in Retry-After Header (%d) is greater than the Maximum Retryable value (%d). Treating it as a "
                 "Fatal error.",
                 lastError_.retryAfterSeconds, static_cast<int>(maximum));
        lastError_.errorType = flat(Type::Fatal);
    }
}

bool HttpDownloader::checkHttpStatus(long status) {
    if (status == 100 || (status >= 200 && status <= 206) || status == 304) {
        return false;
    }
    const bool single = preference_ != nullptr && preference_->singleStreamInEffect != 0;
    const bool noRetrial = preference_ != nullptr && preference_->noRetrialInEffect != 0;
    Type type = Type::Fatal;
    switch (status) {
        case 401: type = Type::Authentication; break;
        case 404: type = Type::BadUrl; break;
        case 407: type = Type::ProxyAuthentication; break;
        case 408: type = noRetrial ? Type::Fatal : (single ? Type::BackOff : Type::Timeout); break;
        case 429: type = (single && !noRetrial) ? Type::BackOff : Type::Fatal; break;
        case 503:
        case 504: type = noRetrial ? Type::Fatal : (single ? Type::BackOff : Type::ServerBusy); break;
        default: DLE_ERROR("Http error has occured - %d", static_cast<int>(status)); break;
    }
    DLE_ERROR("The error has come and the http error code is - %d", static_cast<int>(status));
    setError(flat(type), static_cast<int32_t>(status), "");
    return true;
}

void HttpDownloader::handleErrorDomainHttp(int code) {
    switch (code) {
        case platform::kHttpConnectionDropped:
            DLE_ERROR("Http connection dropped (-4 ISSUE encountered)");
            setError(flat(Type::ConnectionError), code, "Connection Dropped");
            sleepMs(engineTimings().connectionDroppedSleepMs);
            return;
        case platform::kHttpProxyUnreachable:
            DLE_ERROR("Http -2094 encoutered: mapping it to server not reachable (this may be due to http proxy set by "
                      "user)");
            setError(flat(Type::ServerUnreachable), code, "http 2094 error (http proxy may be set)");
            return;
        default: break;
    }
    DLE_ERROR("Http error has occured - %ld", static_cast<long>(code));
    switch (code) {
        case platform::kHttpBadUrl:
            setError(flat(Type::BadUrl), code, "Could not retreive url for request/response.");
            break;
        case platform::kHttpRedirectLoop:
            setError(flat(Type::RedirectLoop), code, "A loop was detected during redirection.");
            break;
        case platform::kHttpBadReply:
            setError(flat(Type::Intermittent), code, "Could not parse the request/response.");
            break;
        case -1000:
            setError(flat(Type::Authentication), code,
                     "The type of authentication to be applied to a request is not supported.");
            break;
        case -1001:
            setError(flat(Type::Authentication), code,
                     "The username was in a format not suitable for applying to the request.");
            break;
        case -1002:
            setError(flat(Type::Authentication), code,
                     "The password was in a format not suitable for applying to the request.");
            break;
        default: setError(flat(Type::Unknown), code, "An unknown error has occured."); break;
    }
}

void HttpDownloader::handleErrorDomainPosixError(int errorNumber) {
    const std::string text = std::strerror(errorNumber);
    if (errorNumber == ENETRESET || errorNumber == ECONNREFUSED) {
        DLE_ERROR("handleErrorDomainPosixError error has occured - %ld ERROR_HTTP_CONNECTION_ERR",
                  static_cast<long>(errorNumber));
        setError(flat(Type::ConnectionError), errorNumber, text);
    } else if (errorNumber == ETIMEDOUT) {
        DLE_ERROR("handleErrorDomainPosixError error has occured - %ld HTTP Request Timeout",
                  static_cast<long>(errorNumber));
        setError(flat(Type::Timeout), errorNumber, text);
    } else {
        DLE_ERROR("handleErrorDomainPosixError error has occured - %ld ERROR_HTTP_SERVER_UNREACHABLE",
                  static_cast<long>(errorNumber));
        setError(flat(Type::ServerUnreachable), errorNumber, text);
    }
}

void HttpDownloader::handleNetDBError(int code) {
    DLE_ERROR("NetDBError error has occured - %ld", static_cast<long>(code));
    if (code == EAI_NONAME) {
        setError(flat(Type::ServerUnreachable), code, "Network unavailable.");
    } else {
        setError(flat(Type::Fatal), code, "An unknown error has occured.");
    }
}

void HttpDownloader::handleStreamError(HttpErrorDomain domain, int code) {
    switch (domain) {
        case HttpErrorDomain::Http:
            if (code == 407) {
                checkHttpStatus(407);  // a proxy's CONNECT refusal asks for credentials
            } else if (code > 0) {
                checkHttpStatus(code);
            } else {
                handleErrorDomainHttp(code);
            }
            return;
        case HttpErrorDomain::Posix: handleErrorDomainPosixError(code); return;
        case HttpErrorDomain::NameResolution: handleNetDBError(code); return;
        case HttpErrorDomain::Tls:
            DLE_ERROR("CFReadStreamGetError returned kCFStreamErrorDomainSSL (%d, %ld)\n", 3, static_cast<long>(code));
            setError(flat(Type::Fatal), code, "The secure connection to the server failed (certificate or TLS error).");
            return;
        default:
            DLE_ERROR("CFReadStreamGetError returned (%d, %ld)\n", static_cast<int>(domain), static_cast<long>(code));
            setError(flat(Type::Fatal), code, std::strerror(errno));
            return;
    }
}

void HttpDownloader::classifyFailure(const platform::HttpOutcome& outcome) {
    switch (outcome.failure) {
        case HttpFailure::Send:
        case HttpFailure::Receive:
            // A drop after the exchange began: retried, and forgiven once bytes arrive again.
            handleErrorDomainHttp(platform::kHttpConnectionDropped);
            return;
        case HttpFailure::Connect:
            // Through a proxy the only connection made is to the proxy: the server is out of reach.
            if (throughProxy_) {
                handleErrorDomainHttp(platform::kHttpProxyUnreachable);
                return;
            }
            handleStreamError(outcome.domain, outcome.code);
            return;
        default: handleStreamError(outcome.domain, outcome.code); return;
    }
}

bool HttpDownloader::beginUse() { return !cancelled_.load(); }

void HttpDownloader::releaseTransfer() {
    std::unique_ptr<platform::HttpTransfer> old;
    {
        MutexLock hold(transferMutex_);
        old = std::move(transfer_);
    }
}

void HttpDownloader::startTransfer(const std::string& url, HttpMethod method, bool withCustomHeaders) {
    const EngineTimings& timings = engineTimings();
    platform::HttpTransferRequest request;
    request.method = method;
    request.url = url;
    request.userAgent = preference_->userAgent;
    request.cookieHeader = CookieStore::shared().cookieHeaderFor(url);
    if (ranged_) {
        request.range = platform::HttpByteRange{start_, end_};
    }
    if (withCustomHeaders) {
        for (const auto& header : preference_->customHeaderArray) {
            request.headers.push_back(header);
        }
    }
    std::shared_ptr<const platform::ProxySettings> proxy = holder_ != nullptr ? holder_->currentSettings() : nullptr;
    request.useProxy = proxy != nullptr;
    throughProxy_ = proxy != nullptr && !proxy->proxyFor(url).empty();
    request.proxySettings = std::move(proxy);
    request.proxyUserName = preference_->proxyUser;
    request.proxyPassword = preference_->proxyPassword;
    request.connectTimeout = std::chrono::seconds(timings.connectTimeoutSeconds);
    request.lowSpeedBytesPerSecond = 1;
    request.lowSpeedTime = std::chrono::seconds(timings.stallTimeoutSeconds);
    if (deadline_ != std::chrono::steady_clock::time_point::max()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
        request.deadline = std::max(left, std::chrono::milliseconds(1));
    }

    auto transfer = std::make_unique<platform::HttpTransfer>(std::move(request));
    transfer->setHeaderCallback([this](const platform::HttpHeaderEvent& event) { return onHeader(event); });
    transfer->setBodyCallback([this](const char* data, size_t size) { return onBody(data, size); });
    currentUrl_ = url;
    currentMethod_ = method;
    currentWithCustomHeaders_ = withCustomHeaders;
    redirectTo_.clear();
    responseChecked_ = false;
    responseRefused_ = false;
    pendingHeaders_.clear();
    pendingStatus_ = 0;
    spill_.clear();
    spillOffset_ = 0;
    silentFor_ = std::chrono::steady_clock::duration::zero();
    {
        MutexLock hold(transferMutex_);
        transfer_ = std::move(transfer);
    }
    // cancel() may have come between the check and the store: its wake-up would be lost.
    if (cancelled_.load()) {
        transfer_->cancel();
    }
    transfer_->start();
}

bool HttpDownloader::onHeader(const platform::HttpHeaderEvent& event) {
    using Kind = platform::HttpHeaderEvent::Kind;
    switch (event.kind) {
        case Kind::StatusLine:
            pendingStatus_ = event.status;
            pendingHeaders_.clear();
            break;
        case Kind::Field: pendingHeaders_.emplace_back(std::string(event.name), std::string(event.value)); break;
        case Kind::End: {
            // Every answer, redirect hops and challenges included, leaves its cookies.
            for (const auto& [name, value] : pendingHeaders_) {
                if (strcasecmp(name.c_str(), "Set-Cookie") == 0) {
                    CookieStore::shared().storeFromSetCookie(currentUrl_, value);
                }
            }
            MutexLock hold(responseMutex_);
            headers_ = pendingHeaders_;
            status_ = pendingStatus_;
            haveResponse_ = true;
            break;
        }
    }
    return true;
}

bool HttpDownloader::acceptResponse() {
    long status = 0;
    std::string location;
    std::string contentRange;
    std::string contentLength;
    {
        MutexLock hold(responseMutex_);
        status = status_;
        if (const std::string* value = platform::findHeader(headers_, "Location")) location = *value;
        if (const std::string* value = platform::findHeader(headers_, "Content-Range")) contentRange = *value;
        if (const std::string* value = platform::findHeader(headers_, "Content-Length")) contentLength = *value;
    }
    if (isRedirectStatus(status) && !location.empty()) {
        redirectTo_ = resolveLocation(currentUrl_, location);
        return false;
    }
    if (checkHttpStatus(status)) {
        return false;
    }
    if (!ranged_ || currentMethod_ != HttpMethod::Get) {
        return true;
    }
    if (status == 206) {
        uint64_t first = 0;
        uint64_t last = 0;
        if (parseContentRange(contentRange, first, last) && first == start_ && last == end_) {
            return true;
        }
        DLE_ERROR("the server answered the range %llu-%llu with \"%s\"", static_cast<unsigned long long>(start_),
                  static_cast<unsigned long long>(end_), contentRange.c_str());
        setError(flat(Type::Intermittent), static_cast<int32_t>(status),
                 "The server answered with another byte range than the one asked for.");
        return false;
    }
    if (status == 200) {
        if (probing_) {
            stopAfterHeaders_ = true;  // the probe reads the status; the whole body is not wanted
            return true;
        }
        // A server that ignored the Range header: only usable when the range is the whole file.
        uint64_t length = 0;
        if (start_ == 0 && parseDecimal(contentLength, length) && length == end_ + 1) {
            return true;
        }
        setError(flat(Type::Intermittent), static_cast<int32_t>(status),
                 "The server ignored the byte range asked for.");
        return false;
    }
    setError(flat(Type::Intermittent), static_cast<int32_t>(status),
             "The server answered a byte-range request without the bytes.");
    return false;
}

bool HttpDownloader::onBody(const char* data, size_t size) {
    if (!responseChecked_) {
        responseChecked_ = true;
        if (!acceptResponse()) {
            responseRefused_ = redirectTo_.empty();
            return false;
        }
    }
    if (stopAfterHeaders_) {
        return false;
    }
    const size_t room = capacity_ > filled_ ? capacity_ - filled_ : 0;
    const size_t taken = size < room ? size : room;
    if (taken > 0) {
        std::memcpy(destination_ + filled_, data, taken);
        filled_ += taken;
    }
    if (taken < size) {
        spill_.append(data + taken, size - taken);
        transfer_->pauseBody(true);
    }
    return true;
}

bool HttpDownloader::followRedirect() {
    if (redirectTo_.empty()) {
        return false;
    }
    if (++redirects_ > kMaximumRedirects) {
        handleErrorDomainHttp(platform::kHttpRedirectLoop);
        redirectTo_.clear();
        return false;
    }
    const std::string next = redirectTo_;
    startTransfer(next, currentMethod_, currentWithCustomHeaders_);
    return true;
}

bool HttpDownloader::sendHead(const std::string& url, bool withCustomHeaders) {
    Inside inside(*this);
    if (!initialized_.load()) {
        setError(flat(Type::NotInitialized), 0, "");
        return false;
    }
    if (!beginUse()) {
        return false;
    }
    requestOpen_ = false;
    ranged_ = false;
    redirects_ = 0;
    {
        MutexLock hold(responseMutex_);
        haveResponse_ = false;
        headers_.clear();
        status_ = 0;
    }
    destination_ = nullptr;
    capacity_ = 0;
    filled_ = 0;
    startTransfer(url, HttpMethod::Head, withCustomHeaders);
    for (;;) {
        transfer_->run();
        const platform::HttpOutcome& outcome = transfer_->outcome();
        if (outcome.failure == HttpFailure::Cancelled || cancelled_.load()) {
            return false;
        }
        if (!outcome.completed()) {
            classifyFailure(outcome);
            return false;
        }
        responseChecked_ = true;
        if (!acceptResponse()) {
            if (followRedirect()) {
                continue;
            }
            return false;
        }
        return true;
    }
}

bool HttpDownloader::setCookieFromURL(const std::string& host, const std::string& path) {
    sendHead(buildUrl(host, path, false), false);
    MutexLock hold(responseMutex_);
    return haveResponse_;
}

bool HttpDownloader::createAndSendRequest(const std::string& path) {
    sendHead(buildUrl(preference_ != nullptr ? preference_->host : "", path, true), true);
    MutexLock hold(responseMutex_);
    return haveResponse_;
}

bool HttpDownloader::getRemoteFileSize(uint64_t& size) {
    size = 0;
    if (!sendHead(buildUrl("", "", true), true)) {
        return false;
    }
    std::string length;
    getResponseHeaderValue("Content-Length", length);
    if (!parseDecimal(length, size)) {
        size = 0;
    }
    return true;
}

bool HttpDownloader::getResponseHeaderValue(const std::string& name, std::string& value) {
    MutexLock hold(responseMutex_);
    value.clear();
    if (!haveResponse_) {
        DLE_ERROR("Response Header found Empty in Dictionary");
        return true;
    }
    if (const std::string* found = platform::findHeader(headers_, name)) {
        value = *found;
    }
    return true;
}

long HttpDownloader::getStatusCode() {
    MutexLock hold(responseMutex_);
    return status_;
}

bool HttpDownloader::openGet(bool ranged, uint64_t start, uint64_t end) {
    Inside inside(*this);
    if (!initialized_.load()) {
        setError(flat(Type::NotInitialized), 0, "");
        return false;
    }
    if (requestOpen_.load()) {
        return true;
    }
    if (!beginUse()) {
        return false;
    }
    ranged_ = ranged;
    start_ = start;
    end_ = end;
    redirects_ = 0;
    stopAfterHeaders_ = false;
    {
        MutexLock hold(responseMutex_);
        haveResponse_ = false;
        headers_.clear();
        status_ = 0;
    }
    startTransfer(buildUrl("", "", true), HttpMethod::Get, true);
    requestOpen_ = true;
    return true;
}

bool HttpDownloader::openRangeRequest(uint64_t start, uint64_t end) { return openGet(true, start, end); }

bool HttpDownloader::openRequest() {
    const bool opened = openGet(false, 0, 0);
    if (opened) {
        DLE_TRACE("Stream status %d", 1);
    }
    return opened;
}

bool HttpDownloader::isAtEnd() const {
    return transfer_->finished() && spillOffset_ >= spill_.size() && redirectTo_.empty();
}

int HttpDownloader::readData(void* destination, uint32_t& length, uint32_t maximum) {
    length = 0;
    Inside inside(*this);
    if (cancelled_.load() || !transfer_) {
        return kReadFailed;
    }
    if (!initialized_.load()) {
        setError(flat(Type::NotInitialized), 0, "");
        return kReadNotInitialized;
    }
    destination_ = static_cast<char*>(destination);
    capacity_ = maximum;
    filled_ = 0;

    // Bytes that arrived beyond the previous caller's maximum go first.
    if (spillOffset_ < spill_.size()) {
        const size_t taken = std::min(spill_.size() - spillOffset_, capacity_);
        std::memcpy(destination_, spill_.data() + spillOffset_, taken);
        filled_ = taken;
        spillOffset_ += taken;
        if (spillOffset_ >= spill_.size()) {
            spill_.clear();
            spillOffset_ = 0;
        }
    }

    // At most ten turns of a second for something to happen, so the caller keeps control.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((filled_ < capacity_ || capacity_ == 0) && spill_.empty() && !cancelled_.load()) {
        if (transfer_->finished()) {
            if (followRedirect()) {
                continue;
            }
            break;
        }
        transfer_->pauseBody(false);
        const size_t before = filled_;
        const auto now = std::chrono::steady_clock::now();
        if (filled_ > 0) {
            // Take what is already there, without waiting for more.
            transfer_->pump(std::chrono::milliseconds(0));
            if (filled_ == before && !transfer_->finished()) {
                break;
            }
        } else if (now >= giveUp) {
            break;
        } else {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - now);
            transfer_->pump(std::min(wait, std::chrono::milliseconds(1000)));
            if (filled_ > 0 || !spill_.empty()) {
                silentFor_ = std::chrono::steady_clock::duration::zero();
            } else if (!transfer_->finished()) {
                // Silence is counted only while this reader waits, never while its caller pauses.
                silentFor_ += std::chrono::steady_clock::now() - now;
                if (silentFor_ >= std::chrono::seconds(engineTimings().stallTimeoutSeconds)) {
                    DLE_ERROR("no data from the server for %u seconds", engineTimings().stallTimeoutSeconds);
                    transfer_->cancel();
                    destination_ = nullptr;
                    capacity_ = 0;
                    requestOpen_ = false;
                    handleErrorDomainPosixError(ETIMEDOUT);
                    return kReadFailed;
                }
            }
        }
    }
    if (!transfer_->finished()) {
        // Paused between reads, so the stall limit does not count the caller's own pauses.
        transfer_->pauseBody(true);
    }
    destination_ = nullptr;
    capacity_ = 0;

    if (cancelled_.load()) {
        return kReadFailed;
    }
    if (transfer_->finished() && redirectTo_.empty()) {
        const platform::HttpOutcome& outcome = transfer_->outcome();
        if (responseRefused_) {
            requestOpen_ = false;
            return kReadFailed;  // the error was recorded when the answer was refused
        }
        if (!outcome.completed() && !(outcome.failure == HttpFailure::Aborted && stopAfterHeaders_)) {
            if (outcome.failure == HttpFailure::Cancelled) {
                return kReadFailed;
            }
            classifyFailure(outcome);
            requestOpen_ = false;
            return kReadFailed;
        }
        if (!responseChecked_) {
            responseChecked_ = true;
            if (!acceptResponse()) {
                if (!redirectTo_.empty()) {
                    length = 0;
                    return kReadData;  // the next read follows the redirect
                }
                requestOpen_ = false;
                return kReadFailed;
            }
        }
    }
    length = static_cast<uint32_t>(filled_);
    if (isAtEnd()) {
        // The exchange is over: later reads find no stream, as after a cancel.
        requestOpen_ = false;
        releaseTransfer();
        return kReadEnd;
    }
    return kReadData;
}

bool HttpDownloader::cancel() {
    MutexLock hold(cancelMutex_);
    if (cancelled_.load()) {
        return true;
    }
    initialized_.store(false);
    cancelled_.store(true);
    {
        MutexLock transferHold(transferMutex_);
        if (transfer_) {
            transfer_->cancel();
        }
    }
    const EngineTimings& timings = engineTimings();
    for (uint32_t step = 0; reading_.load(); ++step) {
        if (step >= timings.cancelWaitSteps) {
            DLE_TRACE("Someone is waiting on streams and still blocked. Fatal Condition");
            return true;  // the exchange stays with its user rather than being freed under it
        }
        sleepMs(timings.cancelWaitStepMs < 10 ? timings.cancelWaitStepMs : 10);
    }
    requestOpen_ = false;
    releaseTransfer();
    MutexLock responseHold(responseMutex_);
    headers_.clear();
    haveResponse_ = false;
    return true;
}

bool HttpDownloader::checkByteRangeSupport(uint64_t size, bool forceHead) {
    bool haveHead = false;
    {
        MutexLock hold(responseMutex_);
        haveHead = haveResponse_;
    }
    if (forceHead || !haveHead) {
        if (!createAndSendRequest(preference_ != nullptr ? preference_->path : "")) {
            return false;
        }
    }
    std::string acceptRanges;
    getResponseHeaderValue("Accept-Ranges", acceptRanges);
    DLE_TRACE("Header Field for Accept-Ranges is %s But skipping it as it can be wrong if the Firewall/Proxy is there "
              "in network",
              acceptRanges.c_str());
    if (size < 2) {
        return true;
    }
    const EngineTimings& timings = engineTimings();
    const auto started = std::chrono::steady_clock::now();
    setDeadline(started + std::chrono::seconds(timings.probeMaxSeconds));
    ErrorHandler policy;
    probing_ = true;
    bool answered = false;
    for (uint32_t attempt = 1; !answered; ++attempt) {
        requestOpen_ = false;  // each attempt is a new request, never the failed stream again
        bool failed = !openRangeRequest(size - 2, size - 1);
        char byte = 0;
        int result = kReadFailed;
        while (!failed) {
            uint32_t length = 0;
            result = readData(&byte, length, 1);
            if (result == kReadData && length == 0) {
                sleepMs(timings.readTurnSleepMs);
                continue;
            }
            break;
        }
        failed = failed || result == kReadFailed || result == kReadNotInitialized;
        if (!failed) {
            answered = true;
            break;
        }
        if (cancelled_.load()) {
            break;
        }
        ErrorRecord record;
        getLastError(record);
        if (policy.handleError(record) != flat(EngineErrorAction::Retry)) {
            break;
        }
        DLE_WARN("Byte-Range Call: some intermittent error while fetching remote file size. Retrying now. Error code "
                 "is %d and error type is %d",
                 record.nativeCode, record.errorType);
        sleepMs(timings.probeRetrySleepMs);
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
        if (attempt >= timings.probeMaxAttempts || seconds >= timings.probeMaxSeconds) {
            DLE_WARN("Byte-Range Call: Retry Count: %d reached for byte and total time taken in seconds is %d",
                     static_cast<int>(attempt), static_cast<int>(seconds));
            break;
        }
    }
    probing_ = false;
    setDeadline(std::chrono::steady_clock::time_point::max());
    stopAfterHeaders_ = false;
    requestOpen_ = false;
    if (!answered) {
        return false;
    }
    const std::string status = std::to_string(getStatusCode());
    std::string contentLength;
    getResponseHeaderValue("Content-Length", contentLength);
    if (status == "206" && contentLength == "2") {
        return true;
    }
    DLE_WARN("Status Code: %s and Content-Length: %s does not match the criteria of byte range acceptance by server",
             status.c_str(), contentLength.c_str());
    return false;
}
