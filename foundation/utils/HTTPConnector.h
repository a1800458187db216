// One small HTTP(S) request and its whole response, with proxy authentication and gunzip.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/Mutex.h"

namespace ZEZUUtils {

// What sendHTTPRequest gives besides an HTTP status (400 to 599, given as it is).
enum class HTTPResult : int32_t {
    Done = 0,
    TimedOut = 2,
    InvalidArguments = 4,
    NotIssued = 5,  // not issued or cancelled
    PosixStreamError = 65,
    NameResolutionError = 66,
    HttpStreamError = 68,
    StreamError = 70,  // TLS or any other stream error
    CertificateSelfSigned = 97,
    CertificateIssuerUnknown = 98,
    CertificateExpired = 99,
    ProxyAuthenticationRequired = 190,  // no proxy credentials were set
    ProxyCredentialsRefused = 191,
};

// The one mapping of results onto the flat integer, and back: nullopt for an HTTP status or
// a number the family does not name.
constexpr int32_t flat(HTTPResult result) { return static_cast<int32_t>(result); }
std::optional<HTTPResult> httpResultFromFlat(int32_t value);

// All fields start empty, 0 or false.
struct HTTPRequest {
    std::string baseURL;                         // scheme and host, no trailing "/"; must not be empty
    std::string path;                            // from the first "/" after host and port, query included
    std::string method;                          // must not be empty; "POST" and "PUT" carry the body
    std::map<std::string, std::string> headers;  // exact, case-sensitive names
    std::string body;
    int32_t timeout = 0;   // seconds for the whole exchange; 0 or less: times out at once
    int32_t port = 0;      // 0: no port in the URL
    bool useGzip = false;  // ask for a compressed answer
};

class HTTPConnector {
public:
    HTTPConnector();
    ~HTTPConnector();
    HTTPConnector(const HTTPConnector&) = delete;
    HTTPConnector& operator=(const HTTPConnector&) = delete;

    void setLogger(void* logger);
    bool setProxyCredentials(const std::string& userName, const std::string& password);
    // The GUID of the attempt in flight (or the last one); its cancel endpoint is
    // "Cancel Port" followed by this text.
    std::string getCancelPortGUID() EXCLUDES(cancelPortMutex);

    // An HTTPResult, or the HTTP status (400 to 599) of an answer that is an error.
    int32_t sendHTTPRequest(const HTTPRequest& request, std::map<std::string, std::string>* headerMap,
                            std::string& body);

    // The cancel channel: delivers a message to the attempt waiting under `portName`. Id 1
    // cancels it; any other id is ignored. False when nothing waits under that name.
    static bool sendCancelMessage(const std::string& portName, int32_t messageId);

private:
    struct Attempt;
    int32_t performRequestOnRunLoop(const HTTPRequest& request, Attempt& attempt,
                                    std::map<std::string, std::string>* headerMap, std::string& body);
    void newCancelPortGUID() EXCLUDES(cancelPortMutex);

    std::string proxyUserName;
    std::string proxyPassword;
    void* logger = nullptr;
    platform::Mutex cancelPortMutex;  // the GUID is read from other threads while attempts replace it
    std::string cancelPortGUID GUARDED_BY(cancelPortMutex);
    std::string serverUserName;
    std::string serverPassword;
};

}  // namespace ZEZUUtils
