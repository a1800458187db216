// HttpTransfer on libcurl's multi interface, so that a cancel from another thread wakes the wait.
#include "platform/HttpTransfer.h"

#include <curl/curl.h>
#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Url.h"

namespace platform {
namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmedView(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

void putField(HttpHeaderFields& fields, const std::string& name, const std::string& value) {
    for (auto& field : fields) {
        if (sameName(field.first, name)) {
            field.second = value;
            return;
        }
    }
    fields.emplace_back(name, value);
}

bool hasField(const HttpHeaderFields& fields, std::string_view name) { return findHeader(fields, name) != nullptr; }

// The request fields in sending order. An empty value becomes "Name:", which libcurl reads as
// "do not send this field, not even your own".
HttpHeaderFields requestFields(const HttpTransferRequest& request) {
    HttpHeaderFields fields;
    if (!request.userAgent.empty()) {
        fields.emplace_back("User-Agent", request.userAgent);
    }
    if (!request.cookieHeader.empty()) {
        fields.emplace_back("Cookie", request.cookieHeader);
    }
    for (const auto& [name, value] : request.headers) {
        if (!name.empty()) {
            putField(fields, name, value);
        }
    }
    // libcurl's own additions that no caller of this layer wants: a form Content-Type on a
    // POST, and a 100-continue handshake that stalls a large POST for a second.
    if (!hasField(fields, "Expect")) {
        fields.emplace_back("Expect", "");
    }
    if (request.method == HttpMethod::Post && !hasField(fields, "Content-Type")) {
        fields.emplace_back("Content-Type", "");
    }
    if (request.method != HttpMethod::Post) {
        // A body-less request never announces one.
        fields.erase(std::remove_if(fields.begin(), fields.end(),
                                    [](const auto& field) { return sameName(field.first, "Content-Length"); }),
                     fields.end());
    }
    return fields;
}

HttpHeaderFields collectHeaders(CURL* easy, unsigned int origin) {
    HttpHeaderFields fields;
    struct curl_header* previous = nullptr;
    while (struct curl_header* header = curl_easy_nextheader(easy, origin, -1, previous)) {
        fields.emplace_back(header->name ? header->name : "", header->value ? header->value : "");
        previous = header;
    }
    return fields;
}

}  // namespace

const std::string* findHeader(const HttpHeaderFields& fields, std::string_view name) {
    for (const auto& field : fields) {
        if (sameName(field.first, name)) {
            return &field.second;
        }
    }
    return nullptr;
}

std::pair<HttpErrorDomain, int> errorDomainOf(HttpFailure failure, int osErrno, long tlsVerifyResult,
                                              long connectStatus, int curlCode) {
    switch (failure) {
        case HttpFailure::None: return {HttpErrorDomain::None, 0};
        case HttpFailure::Cancelled:
        case HttpFailure::Aborted: return {HttpErrorDomain::Posix, ECANCELED};
        case HttpFailure::TimedOut:
        case HttpFailure::ConnectTimedOut:
        case HttpFailure::Stalled: return {HttpErrorDomain::Posix, ETIMEDOUT};
        case HttpFailure::ResolveHost: return {HttpErrorDomain::NameResolution, EAI_NONAME};
        case HttpFailure::ResolveProxy: return {HttpErrorDomain::Http, kHttpProxyUnreachable};
        case HttpFailure::Connect: return {HttpErrorDomain::Posix, osErrno != 0 ? osErrno : ECONNREFUSED};
        case HttpFailure::Send:
        case HttpFailure::Receive: return {HttpErrorDomain::Posix, osErrno != 0 ? osErrno : ECONNRESET};
        case HttpFailure::GotNothing:
        case HttpFailure::PartialBody: return {HttpErrorDomain::Http, kHttpConnectionDropped};
        case HttpFailure::BadReply: return {HttpErrorDomain::Http, kHttpBadReply};
        case HttpFailure::ProxyAuthRequired: return {HttpErrorDomain::Http, 407};
        case HttpFailure::ProxyRefused:
            return {HttpErrorDomain::Http,
                    connectStatus != 0 ? static_cast<int>(connectStatus) : kHttpProxyUnreachable};
        case HttpFailure::TooManyRedirects: return {HttpErrorDomain::Http, kHttpRedirectLoop};
        case HttpFailure::BadUrl: return {HttpErrorDomain::Http, kHttpBadUrl};
        case HttpFailure::AuthUnsupported: return {HttpErrorDomain::Http, kHttpAuthUnsupported};
        case HttpFailure::TlsCertificate: return {HttpErrorDomain::Tls, static_cast<int>(tlsVerifyResult)};
        case HttpFailure::Tls: return {HttpErrorDomain::Tls, 0};
        case HttpFailure::Other: break;
    }
    return {HttpErrorDomain::Other, curlCode};
}

struct HttpTransfer::Curl {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool added = false;
    bool tunnelling = false;  // https through a proxy: the first header blocks answer CONNECT
    curl_slist* headers = nullptr;
    std::string url;
    std::string proxy;
    std::string caFile;
    char errorText[CURL_ERROR_SIZE] = {};

    Curl() : multi(curl_multi_init()), easy(curl_easy_init()) {}
    ~Curl() {
        detach();
        if (easy) {
            curl_easy_cleanup(easy);
        }
        if (multi) {
            curl_multi_cleanup(multi);
        }
        curl_slist_free_all(headers);
    }
    Curl(const Curl&) = delete;
    Curl& operator=(const Curl&) = delete;

    void detach() {
        if (added) {
            curl_multi_remove_handle(multi, easy);
            added = false;
        }
    }
};

HttpTransfer::HttpTransfer(HttpTransferRequest request) : request_(std::move(request)) {
    initialiseCurlOnce();
    curl_ = std::make_unique<Curl>();
}

HttpTransfer::~HttpTransfer() = default;

void HttpTransfer::setHeaderCallback(HttpHeaderCallback callback) { headerCallback_ = std::move(callback); }

void HttpTransfer::setBodyCallback(HttpBodyCallback callback) { bodyCallback_ = std::move(callback); }

const HttpOutcome& HttpTransfer::run() {
    start();
    while (!pump(std::chrono::milliseconds(1000))) {
    }
    return outcome_;
}

void HttpTransfer::start() {
    if (started_) {
        return;
    }
    started_ = true;
    const auto now = std::chrono::steady_clock::now();
    deadlineAt_ =
        request_.deadline.count() > 0 ? now + request_.deadline : std::chrono::steady_clock::time_point::max();
    if (!curl_->multi || !curl_->easy) {
        finishWith(HttpFailure::Other);
        return;
    }
    if (cancelled_.load()) {
        finishWith(HttpFailure::Cancelled);
        return;
    }

    CURL* easy = curl_->easy;
    curl_->url = request_.url;
    curl_easy_setopt(easy, CURLOPT_URL, curl_->url.c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curl_->errorText);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // A connection per exchange: nothing is shared with another transfer's handle anyway.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);

    switch (request_.method) {
        case HttpMethod::Head: curl_easy_setopt(easy, CURLOPT_NOBODY, 1L); break;
        case HttpMethod::Post:
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request_.body.data());
            break;
        case HttpMethod::Get: curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L); break;
    }
    if (!request_.methodName.empty()) {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request_.methodName.c_str());
    }
    if (request_.range) {
        const std::string range = std::to_string(request_.range->first) + "-" + std::to_string(request_.range->last);
        curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());  // libcurl copies option strings
    }
    for (const auto& [name, value] : requestFields(request_)) {
        const std::string line = value.empty() ? name + ":" : name + ": " + value;
        curl_->headers = curl_slist_append(curl_->headers, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, curl_->headers);
    // Proxies get only libcurl's own request headers, never the server's.
    curl_easy_setopt(easy, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));

    // TLS: verified, 1.2 or newer, trust store from the caller or SSL_CERT_FILE.
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_->caFile = request_.caFile;
    if (curl_->caFile.empty()) {
        const char* fromEnvironment = std::getenv("SSL_CERT_FILE");
        curl_->caFile = fromEnvironment ? fromEnvironment : "";
    }
    if (!curl_->caFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, curl_->caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXY_CAINFO, curl_->caFile.c_str());
    }

    // An explicit proxy (or "" for none) so that libcurl never reads the environment itself.
    if (request_.useProxy) {
        const auto settings = request_.proxySettings ? request_.proxySettings : ProxySettings::current();
        curl_->proxy = settings->proxyFor(request_.url);
    }
    curl_easy_setopt(easy, CURLOPT_PROXY, curl_->proxy.c_str());
    // CONNECT answers stay visible: libcurl keeps them for curl_easy_nextheader() only then.
    curl_->tunnelling = !curl_->proxy.empty() && splitUrl(curl_->url).schemeIs("https");
    if (!curl_->proxy.empty() && !request_.proxyUserName.empty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, request_.proxyUserName.c_str());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, request_.proxyPassword.c_str());
        // Basic goes out with the first request; any other method would cost a probe first.
        curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    }

    if (request_.offerServerCredentials) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, request_.serverUserName.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, request_.serverPassword.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    }
    if (request_.connectTimeout.count() > 0) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request_.connectTimeout.count()));
    }
    if (request_.lowSpeedTime.count() > 0) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, request_.lowSpeedBytesPerSecond));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request_.lowSpeedTime.count()));
    }

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpTransfer::onHeaderData);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpTransfer::onBodyData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

    if (curl_multi_add_handle(curl_->multi, easy) != CURLM_OK) {
        finishWith(HttpFailure::Other);
        return;
    }
    curl_->added = true;
}

bool HttpTransfer::pump(std::chrono::milliseconds maxWait) {
    if (!started_) {
        start();
    }
    if (finished_) {
        return true;
    }
    for (int turn = 0; turn < 2; ++turn) {
        if (cancelled_.load()) {
            finishWith(HttpFailure::Cancelled);
            return true;
        }
        int running = 0;
        curl_multi_perform(curl_->multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(curl_->multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl_->easy) {
                finish(message->data.result);
                return true;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadlineAt_) {
            finishWith(HttpFailure::TimedOut);
            return true;
        }
        if (turn == 1) {
            break;
        }
        auto wait = maxWait;
        if (deadlineAt_ != std::chrono::steady_clock::time_point::max()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadlineAt_ - now));
        }
        curl_multi_poll(curl_->multi, nullptr, 0, static_cast<int>(std::max<long long>(0, wait.count())), nullptr);
    }
    return finished_;
}

void HttpTransfer::pauseBody(bool paused) {
    paused_ = paused;
    if (curl_->added && !finished_) {
        curl_easy_pause(curl_->easy, paused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }
}

void HttpTransfer::cancel() {
    cancelled_.store(true);
    if (curl_ && curl_->multi) {
        curl_multi_wakeup(curl_->multi);
    }
}

std::size_t HttpTransfer::onHeaderData(char* data, std::size_t size, std::size_t count, void* self) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    const std::size_t length = size * count;
    if (transfer->cancelled_.load()) {
        return 0;
    }
    if (!transfer->headerCallback_) {
        return length;
    }
    const std::string_view raw(data, length);
    const std::string_view line = trimmedView(raw);
    HttpHeaderEvent event;
    if (transfer->curl_->tunnelling) {
        // Until the tunnel and its handshake are up, no byte comes from the server itself.
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(transfer->curl_->easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        event.proxyTunnel = pretransfer == 0;
    }
    if (raw.substr(0, 5) == "HTTP/") {
        event.kind = HttpHeaderEvent::Kind::StatusLine;
        event.line = line;
        const auto space = line.find(' ');
        if (space != std::string_view::npos) {
            event.status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
        }
    } else if (line.empty()) {
        event.kind = HttpHeaderEvent::Kind::End;
    } else {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            return length;  // a folded continuation line: nothing to report on its own
        }
        event.kind = HttpHeaderEvent::Kind::Field;
        event.name = line.substr(0, colon);
        event.value = trimmedView(line.substr(colon + 1));
    }
    if (!transfer->headerCallback_(event)) {
        transfer->aborted_ = true;
        return 0;
    }
    return length;
}

std::size_t HttpTransfer::onBodyData(char* data, std::size_t size, std::size_t count, void* self) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    const std::size_t length = size * count;
    if (transfer->cancelled_.load()) {
        return 0;
    }
    if (transfer->bodyCallback_ && !transfer->bodyCallback_(data, length)) {
        transfer->aborted_ = true;
        return 0;
    }
    transfer->outcome_.bodyBytes += length;
    return length;
}

void HttpTransfer::finishWith(HttpFailure failure) {
    finish(-1);
    outcome_.failure = failure;
    std::tie(outcome_.domain, outcome_.code) = errorDomainOf(failure, outcome_.osErrno, outcome_.tlsVerifyResult,
                                                             outcome_.connectStatus, outcome_.transportCode);
}

void HttpTransfer::finish(int curlResult) {
    finished_ = true;
    curl_->detach();
    CURL* easy = curl_->easy;
    if (!easy) {
        return;
    }
    long value = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &value) == CURLE_OK) {
        outcome_.status = value;
    }
    value = 0;
    if (curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &value) == CURLE_OK) {
        outcome_.connectStatus = value;
    }
    value = 0;
    if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &value) == CURLE_OK) {
        outcome_.tlsVerifyResult = value;
    }
    value = 0;
    if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &value) == CURLE_OK) {
        outcome_.osErrno = static_cast<int>(value);
    }
    outcome_.headers = collectHeaders(easy, CURLH_HEADER);
    outcome_.connectHeaders = collectHeaders(easy, CURLH_CONNECT);
    outcome_.message = curl_->errorText;
    if (curlResult < 0) {
        return;  // finishWith() sets the failure
    }
    outcome_.transportCode = curlResult;
    if (outcome_.message.empty() && curlResult != CURLE_OK) {
        outcome_.message = curl_easy_strerror(static_cast<CURLcode>(curlResult));
    }

    HttpFailure failure = HttpFailure::Other;
    switch (static_cast<CURLcode>(curlResult)) {
        case CURLE_OK: failure = HttpFailure::None; break;
        case CURLE_WRITE_ERROR:
        case CURLE_ABORTED_BY_CALLBACK: failure = HttpFailure::Aborted; break;
        case CURLE_COULDNT_RESOLVE_HOST: failure = HttpFailure::ResolveHost; break;
        case CURLE_COULDNT_RESOLVE_PROXY: failure = HttpFailure::ResolveProxy; break;
        case CURLE_COULDNT_CONNECT: failure = HttpFailure::Connect; break;
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            if (request_.lowSpeedTime.count() > 0 && outcome_.message.find("too slow") != std::string::npos) {
                failure = HttpFailure::Stalled;
            } else if (pretransfer == 0) {
                failure = HttpFailure::ConnectTimedOut;
            } else {
                failure = HttpFailure::TimedOut;
            }
            break;
        }
        case CURLE_SEND_ERROR: failure = HttpFailure::Send; break;
        case CURLE_RECV_ERROR: failure = HttpFailure::Receive; break;
        case CURLE_GOT_NOTHING: failure = HttpFailure::GotNothing; break;
        case CURLE_PARTIAL_FILE: failure = HttpFailure::PartialBody; break;
        case CURLE_WEIRD_SERVER_REPLY: failure = HttpFailure::BadReply; break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Also what libcurl says of an answer without a status line ("HTTP/0.9").
            failure =
                outcome_.message.find("HTTP/0.9") != std::string::npos ? HttpFailure::BadReply : HttpFailure::BadUrl;
            break;
        case CURLE_URL_MALFORMAT: failure = HttpFailure::BadUrl; break;
        case CURLE_TOO_MANY_REDIRECTS: failure = HttpFailure::TooManyRedirects; break;
        case CURLE_LOGIN_DENIED:
        case CURLE_AUTH_ERROR: failure = HttpFailure::AuthUnsupported; break;
        case CURLE_PEER_FAILED_VERIFICATION: failure = HttpFailure::TlsCertificate; break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            failure = outcome_.tlsVerifyResult != 0 ? HttpFailure::TlsCertificate : HttpFailure::Tls;
            break;
        default: failure = HttpFailure::Other; break;
    }
    // A proxy that refused the tunnel shows up under several result codes; its answer decides.
    if (failure != HttpFailure::None && outcome_.connectStatus >= 300) {
        failure = outcome_.connectStatus == 407 ? HttpFailure::ProxyAuthRequired : HttpFailure::ProxyRefused;
    }
    if (failure != HttpFailure::None && cancelled_.load()) {
        failure = HttpFailure::Cancelled;
    } else if (failure == HttpFailure::Aborted && !aborted_) {
        failure = HttpFailure::Other;
    }
    outcome_.failure = failure;
    std::tie(outcome_.domain, outcome_.code) = errorDomainOf(failure, outcome_.osErrno, outcome_.tlsVerifyResult,
                                                             outcome_.connectStatus, outcome_.transportCode);
}

}  // namespace platform
