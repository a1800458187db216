// One HTTP/1.1 exchange: request, streamed response, classified outcome.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ProxySettings.h"

namespace platform {

enum class HttpMethod { Get, Head, Post };

// "Range: bytes=first-last", both ends inclusive.
struct HttpByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

using HttpHeaderFields = std::vector<std::pair<std::string, std::string>>;

struct HttpTransferRequest {
    HttpMethod method = HttpMethod::Get;
    // Sent in the request line instead of the method's own name when set ("PUT" with Post,
    // "DELETE" with Get); the method still decides whether a body goes out.
    std::string methodName;
    // Sent as given: no escaping, no normalisation. http:// and https:// only.
    std::string url;
    // Sent in this order after the Host line. A later field whose name matches an earlier one
    // (any case) replaces it. A field with an empty value is not sent and keeps the transport
    // from adding its own of that name ("Accept", "Expect", "Content-Type", "User-Agent").
    HttpHeaderFields headers;
    // Sent with POST only; GET and HEAD never carry a body. A POST gets one Content-Length:
    // the caller's when "headers" holds one, else the body's size.
    std::string body;
    std::optional<HttpByteRange> range;
    // The whole value of the Cookie field ("a=1;b=2;"); empty sends none.
    std::string cookieHeader;
    // Empty sends none (unless "headers" carries one).
    std::string userAgent;

    // Proxy: null means ProxySettings::current(); useProxy false always connects directly.
    std::shared_ptr<const ProxySettings> proxySettings;
    bool useProxy = true;
    // Offered to the proxy, any scheme it asks for, when the user name is not empty. Empty: a
    // proxy that asks for authentication ends the exchange with status 407 (or a CONNECT 407).
    std::string proxyUserName;
    std::string proxyPassword;

    // Offered to the server, any scheme it asks for, when offerServerCredentials is set (empty
    // names included).
    bool offerServerCredentials = false;
    std::string serverUserName;
    std::string serverPassword;

    // TCP connect plus TLS handshake; 0 leaves the transport's default (300 s).
    std::chrono::milliseconds connectTimeout{0};
    // The whole exchange from the first call of start(); 0 means no deadline.
    std::chrono::milliseconds deadline{0};
    // A stall: fewer than lowSpeedBytesPerSecond for lowSpeedTime; 0 s disables the check.
    long lowSpeedBytesPerSecond = 1;
    std::chrono::seconds lowSpeedTime{0};

    // TLS 1.2 or newer, peer and host name always verified. The trust store is this file when
    // set, else $SSL_CERT_FILE when set, else the system's.
    std::string caFile;
};

// What a header callback sees. Every response starts with a StatusLine: a proxy's CONNECT
// answer, a proxy's or server's authentication challenge the transport answers, an interim 100,
// and the final response each start one, so a consumer that keeps "the response's headers"
// restarts there. The events of a CONNECT answer carry proxyTunnel = true.
struct HttpHeaderEvent {
    enum class Kind { StatusLine, Field, End };
    Kind kind = Kind::Field;
    bool proxyTunnel = false;  // part of the proxy's answer to CONNECT
    long status = 0;           // StatusLine: the status code
    std::string_view line;     // StatusLine: the whole line without CR LF
    std::string_view name;     // Field: as the peer spelled it
    std::string_view value;    // Field: leading and trailing blanks removed
};

// Returning false from a callback aborts the exchange (HttpFailure::Aborted).
using HttpHeaderCallback = std::function<bool(const HttpHeaderEvent&)>;
using HttpBodyCallback = std::function<bool(const char* data, std::size_t size)>;

// Why an exchange did not complete. A completed exchange is None whatever its status code.
enum class HttpFailure {
    None,
    Cancelled,          // cancel() was called
    Aborted,            // a callback returned false
    TimedOut,           // the deadline passed (in any phase, connecting included)
    ConnectTimedOut,    // connectTimeout passed before the connection and handshake were up
    Stalled,            // the low-speed limit struck
    ResolveHost,        // the server's name did not resolve
    ResolveProxy,       // the proxy's name did not resolve
    Connect,            // TCP connect failed (osErrno tells why), proxy included
    Send,               // sending failed (osErrno)
    Receive,            // receiving failed (osErrno, ECONNRESET and the like)
    GotNothing,         // the connection closed before any HTTP answer
    PartialBody,        // the body ended short of its Content-Length: a read error, not an end
    BadReply,           // an answer that is not valid HTTP/1.x
    ProxyAuthRequired,  // the proxy's CONNECT answer was 407
    ProxyRefused,       // the proxy's CONNECT answer was another non-2xx status
    TooManyRedirects,
    BadUrl,           // malformed URL or a scheme other than http/https
    AuthUnsupported,  // no authentication scheme the transport can answer, or login denied
    TlsCertificate,   // the peer's certificate did not verify (tlsVerifyResult tells why)
    Tls,              // any other TLS failure
    Other,
};

// Error domains in the sense the callers classify by.
enum class HttpErrorDomain {
    None,
    Posix,           // code: an errno value (ETIMEDOUT for deadlines and stalls, ECANCELED)
    NameResolution,  // code: an EAI_* value (EAI_NONAME)
    Http,            // code: one of the kHttp* codes below, or a CONNECT status (407)
    Tls,             // code: the X509 verify result for certificate failures, else 0
    Other,           // code: the transport's own result code
};

// Codes of the Http domain for failures that have no status code of their own.
inline constexpr int kHttpBadReply = -1;
inline constexpr int kHttpRedirectLoop = -2;
inline constexpr int kHttpBadUrl = -3;
inline constexpr int kHttpConnectionDropped = -4;  // nothing came back, or the body was cut short
inline constexpr int kHttpAuthUnsupported = -1000;
inline constexpr int kHttpProxyUnreachable = -2094;

struct HttpOutcome {
    HttpFailure failure = HttpFailure::None;
    HttpErrorDomain domain = HttpErrorDomain::None;
    int code = 0;
    long status = 0;                  // the final response's status; 0 when none arrived
    long connectStatus = 0;           // the proxy's CONNECT answer; 0 when there was none
    long tlsVerifyResult = 0;         // X509_V_OK (0) or the X509 verify error
    int osErrno = 0;                  // errno of the failed socket operation, when the transport knows it
    int transportCode = 0;            // the transport's own result, for logs
    std::string message;              // the transport's error text, for logs
    HttpHeaderFields headers;         // the final response's fields, in order
    HttpHeaderFields connectHeaders;  // the proxy's last CONNECT answer's fields, in order
    std::uint64_t bodyBytes = 0;      // body bytes handed to the body callback

    bool completed() const { return failure == HttpFailure::None; }
};

// Looks a field up by name, any case; nullptr when absent.
const std::string* findHeader(const HttpHeaderFields& fields, std::string_view name);

// One exchange; an object runs at most once. Used from one thread, except cancel().
class HttpTransfer {
public:
    explicit HttpTransfer(HttpTransferRequest request);
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // Set before start(). Callbacks run on the thread that calls run(), pump() or pauseBody().
    void setHeaderCallback(HttpHeaderCallback callback);
    void setBodyCallback(HttpBodyCallback callback);

    // Blocks until the exchange ends; the same as start() and pump() until it returns true.
    const HttpOutcome& run();

    // Step-wise use: start() once, then pump() until it answers true. pump() waits at most
    // maxWait for the network and returns sooner when data, the end or a cancel arrives.
    void start();
    bool pump(std::chrono::milliseconds maxWait);
    bool finished() const { return finished_; }

    // Stops (true) or resumes (false) delivery of body data; also legal inside the body
    // callback. Resuming can deliver held data before it returns. Time paused still counts
    // against the deadline, not against the stall limit.
    void pauseBody(bool paused);

    // From any thread, at any time, even before start() or after the end: the exchange ends
    // with HttpFailure::Cancelled at the next turn, and a waiting pump() wakes at once.
    void cancel();
    bool cancelRequested() const { return cancelled_.load(); }

    const HttpOutcome& outcome() const { return outcome_; }

private:
    struct Curl;
    static std::size_t onHeaderData(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBodyData(char* data, std::size_t size, std::size_t count, void* self);
    void finish(int transportResult);
    void finishWith(HttpFailure failure);

    HttpTransferRequest request_;
    HttpHeaderCallback headerCallback_;
    HttpBodyCallback bodyCallback_;
    std::unique_ptr<Curl> curl_;
    HttpOutcome outcome_;
    std::chrono::steady_clock::time_point deadlineAt_{};
    bool started_ = false;
    bool finished_ = false;
    bool aborted_ = false;
    bool paused_ = false;
    std::atomic<bool> cancelled_{false};
};

// The domain and code for a failure, as HttpOutcome fills them.
std::pair<HttpErrorDomain, int> errorDomainOf(HttpFailure failure, int osErrno, long tlsVerifyResult,
                                              long connectStatus, int transportCode);

}  // namespace platform
