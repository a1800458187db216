// HTTPConnector on the platform HTTP transfer: attempts, proxy and server retries, result codes.
#include "foundation/utils/HTTPConnector.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "foundation/utils/StringUtils.h"
#include "foundation/utils/UtilsLogging.h"
#include "platform/HttpTransfer.h"

namespace ZEZUUtils {
namespace {

constexpr const char* kClassName = "HTTPConnector";
constexpr const char* kCancelPortPrefix = "Cancel Port";
constexpr std::size_t kMaximumHeaderFields = 20;

// The attempts waiting now, by cancel endpoint name. Cancels run under the lock, and an
// attempt leaves the registry before its transfer goes, so a cancel never meets a dead one.
platform::Mutex registryMutex;
std::map<std::string, platform::HttpTransfer*>& registry() REQUIRES(registryMutex) {
    static std::map<std::string, platform::HttpTransfer*> waiting;
    return waiting;
}

class RegisteredAttempt {
public:
    RegisteredAttempt(std::string name, platform::HttpTransfer& transfer) : name_(std::move(name)) {
        platform::MutexLock lock(registryMutex);
        registry()[name_] = &transfer;
    }
    ~RegisteredAttempt() {
        platform::MutexLock lock(registryMutex);
        registry().erase(name_);
    }
    RegisteredAttempt(const RegisteredAttempt&) = delete;
    RegisteredAttempt& operator=(const RegisteredAttempt&) = delete;

private:
    std::string name_;
};

// Stream-status numbers for the log line, as the stream API numbers them.
constexpr int kStreamOpen = 2;
constexpr int kStreamAtEnd = 5;
constexpr int kStreamError = 7;

// The authentication challenge of a 401 or 407 answer: true when it names a scheme that
// credentials can answer (what makes an authentication object possible at all).
bool canAnswerChallenge(const platform::HttpHeaderFields& fields, const char* fieldName, void* logger) {
    bool found = false;
    for (const auto& [name, value] : fields) {
        if (strcasecmp(name.c_str(), fieldName) != 0) {
            continue;
        }
        found = true;
        const std::string scheme = value.substr(0, value.find(' '));
        for (const char* known : {"Basic", "Digest", "NTLM", "Negotiate"}) {
            if (strcasecmp(scheme.c_str(), known) == 0) {
                return true;
            }
        }
    }
    if (!found) {
        logMessage(logger, zezu::ERROR, kClassName,
                   "Failed to create authentication object from response in applyAuthenticationCredentials");
    } else {
        logMessage(logger, zezu::ERROR, kClassName,
                   "Failed to create proxy authentication object. Stream error: %d, %d in "
                   "applyAuthenticationCredentials",
                   static_cast<int>(platform::HttpErrorDomain::Http), platform::kHttpAuthUnsupported);
    }
    return false;
}

// The header fields of an HTTP request record, in sending order (defaults first).
platform::HttpHeaderFields requestFields(const HTTPRequest& request) {
    platform::HttpHeaderFields fields;
    auto add = [&fields](const std::string& name, const std::string& value) {
        if (name.empty() || value.empty()) {
            return;
        }
        for (auto& field : fields) {
            if (strcasecmp(field.first.c_str(), name.c_str()) == 0) {
                field.second = value;
                return;
            }
        }
        fields.emplace_back(name, value);
    };
    const std::pair<const char*, const char*> defaults[] = {
        {"User-Agent", "Morvane Studio"},
        {"Content-Type", "text/xml; charset=utf-8"},
        {"Connection", "close"},
    };
    for (const auto& [name, value] : defaults) {
        if (request.headers.find(name) == request.headers.end()) {
            add(name, value);
        }
    }
    if (request.useGzip && request.headers.find("Accept-Encoding") == request.headers.end()) {
        add("Accept-Encoding", "compress, gzip");
    }
    for (const auto& [name, value] : request.headers) {
        add(name, value);
    }
    // libcurl would add an "Accept" of its own; only the fields above go out.
    bool hasAccept = false;
    for (const auto& field : fields) {
        hasAccept = hasAccept || strcasecmp(field.first.c_str(), "Accept") == 0;
    }
    if (!hasAccept) {
        fields.emplace_back("Accept", "");
    }
    return fields;
}

// OpenSSL's X509_V_ERR_* numbers.
HTTPResult certificateResult(long verifyResult) {
    switch (verifyResult) {
        case 18:  // self-signed leaf
        case 19:  // self-signed root in the chain
            return HTTPResult::CertificateSelfSigned;
        case 20:  // unable to get the local issuer
        case 2:   // unable to get the issuer
            return HTTPResult::CertificateIssuerUnknown;
        case 10:  // expired
            return HTTPResult::CertificateExpired;
        default: return HTTPResult::StreamError;
    }
}

}  // namespace

// The switch names every result, so a new one fails the build (-Wswitch) until it is listed.
std::optional<HTTPResult> httpResultFromFlat(int32_t value) {
    const auto candidate = static_cast<HTTPResult>(value);
    switch (candidate) {
        case HTTPResult::Done:
        case HTTPResult::TimedOut:
        case HTTPResult::InvalidArguments:
        case HTTPResult::NotIssued:
        case HTTPResult::PosixStreamError:
        case HTTPResult::NameResolutionError:
        case HTTPResult::HttpStreamError:
        case HTTPResult::StreamError:
        case HTTPResult::CertificateSelfSigned:
        case HTTPResult::CertificateIssuerUnknown:
        case HTTPResult::CertificateExpired:
        case HTTPResult::ProxyAuthenticationRequired:
        case HTTPResult::ProxyCredentialsRefused: return candidate;
    }
    return std::nullopt;
}

struct HTTPConnector::Attempt {
    bool offerProxyCredentials = false;
    bool offerServerCredentials = false;
    platform::HttpOutcome outcome;  // kept for the retries: the challenge they answer

    bool tunnelRefused() const {
        return outcome.failure == platform::HttpFailure::ProxyAuthRequired ||
               outcome.failure == platform::HttpFailure::ProxyRefused;
    }
    // The fields of the answer that ended the attempt: the proxy's own when it refused the tunnel.
    const platform::HttpHeaderFields& answerFields() const {
        return tunnelRefused() ? outcome.connectHeaders : outcome.headers;
    }
};

HTTPConnector::HTTPConnector() = default;
HTTPConnector::~HTTPConnector() = default;

void HTTPConnector::setLogger(void* newLogger) { logger = newLogger; }

bool HTTPConnector::setProxyCredentials(const std::string& userName, const std::string& password) {
    if (userName.empty()) {
        logMessage(logger, zezu::ERROR, kClassName, "Empty userName while setting proxy credentials for HTTP request");
        return false;
    }
    proxyUserName = userName;
    proxyPassword = password;
    return true;
}

std::string HTTPConnector::getCancelPortGUID() {
    platform::MutexLock lock(cancelPortMutex);
    return cancelPortGUID;
}

void HTTPConnector::newCancelPortGUID() {
    std::string guid;
    StringUtils::GUIDString(guid);
    platform::MutexLock lock(cancelPortMutex);
    cancelPortGUID = guid;
}

bool HTTPConnector::sendCancelMessage(const std::string& portName, int32_t messageId) {
    platform::MutexLock lock(registryMutex);
    const auto found = registry().find(portName);
    if (found == registry().end()) {
        return false;
    }
    if (messageId == 1) {
        found->second->cancel();
    }
    return true;
}

int32_t HTTPConnector::sendHTTPRequest(const HTTPRequest& request, std::map<std::string, std::string>* headerMap,
                                       std::string& body) {
    if (request.baseURL.empty() || request.method.empty()) {
        logMessage(logger, zezu::ERROR, kClassName, "Invalid arguments to SendHTTPRequest");
        return flat(HTTPResult::InvalidArguments);
    }
    Attempt first;
    newCancelPortGUID();
    const int32_t result = performRequestOnRunLoop(request, first, headerMap, body);
    if (result != flat(HTTPResult::ProxyAuthenticationRequired)) {
        return result;
    }

    body.clear();
    if (!canAnswerChallenge(first.answerFields(), "Proxy-Authenticate", logger)) {
        return flat(HTTPResult::NotIssued);
    }
    Attempt second;
    second.offerProxyCredentials = true;
    newCancelPortGUID();
    const int32_t secondResult = performRequestOnRunLoop(request, second, headerMap, body);
    if (secondResult == flat(HTTPResult::ProxyAuthenticationRequired)) {
        return flat(proxyUserName.empty() ? HTTPResult::ProxyAuthenticationRequired
                                          : HTTPResult::ProxyCredentialsRefused);
    }
    if (secondResult != 401) {
        return secondResult;
    }

    body.clear();
    if (!canAnswerChallenge(second.answerFields(), "WWW-Authenticate", logger)) {
        return flat(HTTPResult::NotIssued);
    }
    Attempt third;
    third.offerProxyCredentials = true;
    third.offerServerCredentials = true;
    newCancelPortGUID();
    return performRequestOnRunLoop(request, third, headerMap, body);
}

int32_t HTTPConnector::performRequestOnRunLoop(const HTTPRequest& request, Attempt& attempt,
                                               std::map<std::string, std::string>* headerMap, std::string& body) {
    const std::string portName = kCancelPortPrefix + getCancelPortGUID();
    std::string url = request.baseURL;
    if (request.port != 0) {
        url += ":" + std::to_string(request.port);
    }
    url += request.path;
    logMessage(logger, zezu::DEBUG, kClassName, "URL: %s", url.c_str());

    platform::HttpTransferRequest transferRequest;
    transferRequest.url = url;
    if (request.method == "GET") {
        transferRequest.method = platform::HttpMethod::Get;
    } else if (request.method == "HEAD") {
        transferRequest.method = platform::HttpMethod::Head;
    } else if (request.method == "POST" || request.method == "PUT") {
        transferRequest.method = platform::HttpMethod::Post;
        transferRequest.methodName = request.method == "PUT" ? "PUT" : "";
    } else {
        transferRequest.method = platform::HttpMethod::Get;
        transferRequest.methodName = request.method;
    }
    transferRequest.headers = requestFields(request);
    const bool carriesBody = (request.method == "POST" || request.method == "PUT") && !request.body.empty();
    if (carriesBody) {
        char length[16];
        std::snprintf(length, sizeof length, "%5d", static_cast<int>(request.body.size()));
        transferRequest.headers.erase(
            std::remove_if(transferRequest.headers.begin(), transferRequest.headers.end(),
                           [](const auto& field) { return strcasecmp(field.first.c_str(), "Content-Length") == 0; }),
            transferRequest.headers.end());
        transferRequest.headers.emplace_back("Content-Length", length);
        transferRequest.body = request.body;
    }
    if (attempt.offerProxyCredentials) {
        transferRequest.proxyUserName = proxyUserName;
        transferRequest.proxyPassword = proxyPassword;
    }
    if (attempt.offerServerCredentials) {
        transferRequest.offerServerCredentials = true;
        transferRequest.serverUserName = serverUserName;
        transferRequest.serverPassword = serverPassword;
    }
    // The deadline covers the whole exchange, connecting and the TLS handshake included.
    transferRequest.deadline = std::chrono::seconds(request.timeout > 0 ? request.timeout : 0);

    if (request.timeout <= 0) {
        // No time at all to wait: the exchange cannot have ended.
        logMessage(logger, zezu::DEBUG, kClassName, "HTTP stream status received: %d.", kStreamOpen);
        return flat(HTTPResult::TimedOut);
    }
    platform::HttpTransfer transfer(transferRequest);
    std::string collected;
    transfer.setBodyCallback([&collected](const char* data, std::size_t size) {
        collected.append(data, size);
        return true;
    });
    {
        RegisteredAttempt registered(portName, transfer);
        transfer.run();
    }
    const platform::HttpOutcome& outcome = transfer.outcome();
    attempt.outcome = outcome;

    using platform::HttpFailure;
    int32_t result = flat(HTTPResult::Done);
    bool atEnd = false;
    const bool tunnelRefused = attempt.tunnelRefused();
    switch (outcome.failure) {
        case HttpFailure::None:
        case HttpFailure::ProxyAuthRequired:
        case HttpFailure::ProxyRefused: atEnd = true; break;
        case HttpFailure::Cancelled:
        case HttpFailure::Aborted: result = flat(HTTPResult::NotIssued); break;
        case HttpFailure::TimedOut:
        case HttpFailure::ConnectTimedOut:
        case HttpFailure::Stalled:
            result = flat(transfer.cancelRequested() ? HTTPResult::NotIssued : HTTPResult::TimedOut);
            break;
        case HttpFailure::BadUrl:
            result = flat(HTTPResult::NotIssued);  // the request could not even be made
            break;
        default:
            logMessage(logger, zezu::ERROR, kClassName, "Stream error: %d, %d", static_cast<int>(outcome.domain),
                       outcome.code);
            switch (outcome.domain) {
                case platform::HttpErrorDomain::Posix: result = flat(HTTPResult::PosixStreamError); break;
                case platform::HttpErrorDomain::NameResolution: result = flat(HTTPResult::NameResolutionError); break;
                case platform::HttpErrorDomain::Http:
                    result = flat(outcome.failure == HttpFailure::ResolveProxy ? HTTPResult::NameResolutionError
                                                                               : HTTPResult::HttpStreamError);
                    break;
                case platform::HttpErrorDomain::Tls:
                    result =
                        flat(outcome.failure == HttpFailure::TlsCertificate ? certificateResult(outcome.tlsVerifyResult)
                                                                            : HTTPResult::StreamError);
                    break;
                default: result = flat(HTTPResult::StreamError); break;
            }
            break;
    }
    const bool stillOpen = result == flat(HTTPResult::TimedOut) || result == flat(HTTPResult::NotIssued);
    logMessage(logger, zezu::DEBUG, kClassName, "HTTP stream status received: %d.",
               atEnd       ? kStreamAtEnd
               : stillOpen ? kStreamOpen
                           : kStreamError);

    const platform::HttpHeaderFields& answerFields = attempt.answerFields();
    if (atEnd) {
        const long status = tunnelRefused ? outcome.connectStatus : outcome.status;
        logMessage(logger, zezu::DEBUG, kClassName, "HTTP status code received: %d.", static_cast<int>(status));
        if (status == 407) {
            logMessage(logger, zezu::ERROR, kClassName,
                       "HTTP Request Status code received: 407. The proxy requires authentication.");
            result = flat(HTTPResult::ProxyAuthenticationRequired);
        } else if (status >= 400 && status <= 599) {
            logMessage(logger, zezu::ERROR, kClassName, "received response code %d", static_cast<int>(status));
            result = static_cast<int32_t>(status);
        } else if (tunnelRefused) {
            // A proxy that refused the tunnel with a status that is no error.
            result = flat(HTTPResult::HttpStreamError);
        }
        if (headerMap) {
            logMessage(logger, zezu::DEBUG, kClassName, "Reading HTTP response header...");
            if (answerFields.empty()) {
                logMessage(logger, zezu::ERROR, kClassName, "Response Header count is 0.");
            }
            // Room for 20 fields; the rest are left out.
            for (std::size_t i = 0; i < answerFields.size() && i < kMaximumHeaderFields; ++i) {
                (*headerMap)[answerFields[i].first] = answerFields[i].second;
            }
        }
        logMessage(logger, zezu::DEBUG, kClassName, "Reading HTTP response message...");
        if (tunnelRefused) {
            collected.clear();  // a refused tunnel's body is not handed on by the transfer
        }
        if (collected.empty()) {
            logMessage(logger, zezu::ERROR, kClassName, "Response message is empty");
        } else {
            body = collected;
            logMessage(logger, zezu::DEBUG, kClassName, "RESPONSE Message- \n %s", body.c_str());
        }
    } else if (!collected.empty()) {
        body = collected;  // whatever arrived before the failure
    }

    // Decoded by the final answer's own marking, never by a field left from an earlier one.
    const std::string* encoding = platform::findHeader(answerFields, "Content-Encoding");
    if (headerMap && encoding && encoding->find("gzip") != std::string::npos) {
        std::string inflated;
        if (StringUtils::GunzipString(body, inflated)) {
            body = inflated;
        } else {
            logMessage(logger, zezu::WARN, kClassName, "Some error occured in unzip");
        }
    }
    return result;
}

}  // namespace ZEZUUtils
