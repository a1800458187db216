// Faults of the network, the server, a proxy and the disk, one table of them against the loopback
// server: every download ends either with a byte-identical file or with the error the client is
// told, and never with a partial file taken for a finished one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "download/CookieStore.h"
#include "download/FileHandler.h"
#include "download/TestSeams.h"
#include "platform/HttpTransfer.h"
#include "tests/download/EngineFaultSupport.h"
#include "tests/download/EngineTestSupport.h"
#include "tests/support/LoopbackHttpPeer.h"

namespace {

using namespace engine_test;
using namespace std::chrono_literals;

constexpr uint32_t kSegment = 65536;
constexpr uint32_t kMiB = 1024 * 1024;
constexpr int32_t kAnyCode = 0x7fffffff;

// What a failed download leaves beside its target.
enum class Left { kNothing, kPartialAndMeta, kPartialOnly };

struct Expected {
    bool complete = true;
    int32_t startResult = 0;  // non-zero: start itself fails and reports through getLastError
    int32_t errorType = 0;
    int32_t action = 0;
    int32_t extendedCode = kAnyCode;
    Left left = Left::kNothing;
};

Expected failure(int32_t startResult, int32_t type, int32_t action, int32_t code, Left left) {
    return Expected{false, startResult, type, action, code, left};
}

// A loopback port that was free a moment ago, or 0.
int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Sets environment variables for one scenario and puts the old values back.
class EnvironmentOverride {
public:
    ~EnvironmentOverride() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const std::string& value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// An HTTPS server and the CA it is trusted through, made on first use and shared by the table.
struct SharedTls {
    std::string folder;
    std::unique_ptr<test_support::HttpTestServer> server;
    bool failed = false;

    void release() {
        server.reset();
        if (!folder.empty()) test_support::removeTree(folder);
        folder.clear();
    }
};

SharedTls& sharedTls() {
    static SharedTls tls;
    return tls;
}

// One scenario's world: the server, the content, the input, and whatever the arrangement adds.
struct ScenarioRun {
    test_support::TemporaryEnvironment& environment;
    test_support::HttpTestServer& server;
    Bytes content;
    std::string scenarioJson;       // the path's server scenario, also served over HTTPS when asked
    std::string plainScenarioJson;  // the same content without the scenario's faults
    DownloadInput input;
    std::string targetFolder;
    std::string fileName = "f.bin";
    Recorder::Judge judge;
    EnvironmentOverride environmentOverride;
    std::unique_ptr<test_peers::TinyproxyProcess> proxy;
    std::string proxyFolder;
    test_support::HttpTestServer* tlsServer = nullptr;
    std::vector<std::function<void()>> undo;  // run in reverse order when the scenario ends
    std::string skipReason;

    ScenarioRun(test_support::TemporaryEnvironment& env, test_support::HttpTestServer& srv)
        : environment(env), server(srv) {}
    ~ScenarioRun() {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) (*it)();
        proxy.reset();
        if (!proxyFolder.empty()) test_support::removeTree(proxyFolder);
    }
    ScenarioRun(const ScenarioRun&) = delete;
    ScenarioRun& operator=(const ScenarioRun&) = delete;

    std::string target() const { return targetFolder + "/" + fileName; }

    // Requests go through tinyproxy with BasicAuth "user:secret", named by the environment.
    bool useAuthenticatingProxy() {
        proxyFolder = test_support::makeTemporaryFolder("engine_proxy");
        proxy = std::make_unique<test_peers::TinyproxyProcess>(proxyFolder, "user", "secret");
        if (!proxy->running()) {
            skipReason = "tinyproxy could not be started (tools/install-dependencies installs it)";
            return false;
        }
        useProxyAt(proxy->url(), "");
        return true;
    }

    // A proxy named by the environment that nothing answers at; no_proxy as given.
    bool useProxyThatIsDown(const std::string& noProxy) {
        const int port = freeLoopbackPort();
        useProxyAt("http://127.0.0.1:" + std::to_string(port), noProxy);
        return port != 0;
    }

    // The environment names proxyUrl for http and https, and no_proxy as given.
    void useProxyAt(const std::string& proxyUrl, const std::string& noProxy) {
        for (const char* name : {"http_proxy", "https_proxy"}) environmentOverride.set(name, proxyUrl);
        for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "NO_PROXY"})
            environmentOverride.unset(name);
        environmentOverride.set("no_proxy", noProxy);
    }

    // The same content over HTTPS, trusted through a CA made for this scenario.
    bool useHttps() {
        SharedTls& tls = sharedTls();
        if (!tls.server && !tls.failed) {
            tls.folder = test_support::makeTemporaryFolder("engine_tls");
            tls.failed = !test_peers::makeTestCertificates(tls.folder);
            if (!tls.failed) {
                tls.server = std::make_unique<test_support::HttpTestServer>(test_support::HttpTestServer::Options{
                    tls.folder + "/valid.pem", tls.folder + "/server.key", 0, ""});
            }
        }
        if (tls.failed) {
            skipReason = "the test certificates could not be made";
            return false;
        }
        tlsServer = tls.server.get();
        tlsServer->reset();
        tlsServer->setScenario(scenarioJson);
        environmentOverride.set("SSL_CERT_FILE", tls.folder + "/ca.pem");
        input.serverPath = tlsServer->url("/" + fileName);
        return true;
    }

    bool proxyLogMentions(const std::string& text) const {
        Bytes log;
        if (!readFile(proxyFolder + "/tinyproxy.log", log)) return false;
        return std::string(log.begin(), log.end()).find(text) != std::string::npos;
    }
};

struct Scenario;
void PrintTo(const Scenario& scenario, std::ostream* out);

struct Scenario {
    std::string name{};
    size_t size = 6 * kSegment + 321;
    std::string serverKeys{};  // extra keys of the path's server scenario
    uint32_t segment = kSegment;
    uint32_t threads = 4;
    bool singleStream = false;
    Expected expected{};
    std::function<bool(ScenarioRun&)> arrange{};  // false skips the scenario with run.skipReason
    // After the error: mends the fault; then the client's resume (or a new start, when start failed) completes.
    std::function<void(ScenarioRun&, FileDownloaderHandle&)> recover{};
    std::function<void(ScenarioRun&, FileDownloaderHandle&)> check{};  // more to expect of a whole download
    int minimumSeconds = 0;  // a wait (Retry-After, stall timeout) the download cannot be faster than
    int rejections = -1;     // segment rejections expected of the client's judge
    uint32_t seed = 0;       // printed so that a failure can be repeated
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

uint32_t faultSeed() {
    static const uint32_t seed = [] {
        const char* fixed = std::getenv("ENGINE_FAULT_SEED");
        return fixed != nullptr ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10))
                                : static_cast<uint32_t>(std::random_device{}());
    }();
    return seed;
}

// Drops (resets or closes) at seeded random offsets of seeded random segments, or resets of the whole stream.
std::string dropFaults(uint32_t seed, size_t size, bool ranged, int count) {
    std::mt19937 random(seed);
    std::ostringstream faults;
    faults << R"("faults":[)";
    const uint32_t segments = static_cast<uint32_t>(size / kSegment);
    for (int i = 0; i < count; ++i) {
        if (i > 0) faults << ",";
        if (ranged) {
            const uint64_t start = uint64_t{random() % segments} * kSegment;
            const bool reset = random() % 2 == 0;  // a reset, or a plain close before the end
            faults << R"({"kind":"drop","reset":)" << (reset ? "true" : "false") << R"(,"range_start":)" << start
                   << R"(,"after_bytes":)" << random() % kSegment << "}";
        } else {
            // Every request of a stream starts at 0: this one meets each restart until it is used up.
            faults << R"({"kind":"drop","reset":true,"times":)" << count << R"(,"after_bytes":)" << random() % size
                   << "}";
            break;
        }
    }
    faults << "]";
    return faults.str();
}

// Drops of the first `count` answers, the k-th after first + k * step bytes (the range probe
// takes the first).
std::string growingDrops(int count, int first, int step) {
    std::ostringstream faults;
    faults << R"("faults":[)";
    for (int k = 0; k < count; ++k) {
        faults << (k > 0 ? "," : "") << R"({"kind":"drop","after_bytes":)" << first + k * step << R"(,"skip":)" << k
               << "}";
    }
    faults << "]";
    return faults.str();
}

// The client's validator: a segment passes when it holds the content's bytes.
Recorder::Judge contentJudge(const Bytes& content, int judgedEvent, uint32_t segment) {
    return [&content, judgedEvent, segment](int event, const SegmentView& view) {
        if (event != judgedEvent) return 0;
        const size_t start = static_cast<size_t>(view.index) * segment;
        if (start + view.size > content.size()) return 1;
        return std::equal(view.bytes, view.bytes + view.size, content.begin() + static_cast<long>(start)) ? 0 : 1;
    };
}

// From the first written segment on, every write finds the disk full until it is freed.
bool fillTheDiskAfterTheFirstSegment(ScenarioRun& run) {
    auto filled = std::make_shared<bool>(false);
    run.judge = [filled](int event, const SegmentView&) {
        if (event == kEventSegmentWritten && !*filled) {
            *filled = true;
            engine::testing::injectWriteFailures(ENOSPC, 1 << 30);
        }
        return 0;
    };
    run.undo.push_back([] { engine::testing::injectWriteFailures(0, 0); });
    return true;
}

void mendTheServer(ScenarioRun& run, FileDownloaderHandle&) { run.server.setScenario(run.plainScenarioJson); }

void freeTheDisk(ScenarioRun&, FileDownloaderHandle&) { engine::testing::injectWriteFailures(0, 0); }

std::vector<Scenario> faultScenarios() {
    const uint32_t seed = faultSeed();
    const size_t size = 6 * kSegment + 321;
    std::vector<Scenario> table;
    auto add = [&table](Scenario s) { table.push_back(std::move(s)); };

    // Connection faults: each is retried and the file arrives whole.
    add({.name = "DropsAtRandomOffsetsOfSegments",
         .size = 10 * kSegment + 123,
         .serverKeys = dropFaults(seed, 10 * kSegment + 123, true, 5),
         .seed = seed});
    // Single streams asked for by the client: no probe comes first, so the stream meets every fault.
    add({.name = "ResetsAtRandomOffsetsOfASingleStream",
         .serverKeys = dropFaults(seed + 1, size, false, 2),
         .singleStream = true,
         .seed = seed});
    add({.name = "BodyCutShortOfItsLength",
         .serverKeys = R"("faults":[{"kind":"truncate","bytes":1000,"range_start":65536},)"
                       R"({"kind":"truncate","bytes":1,"range_start":393216}])"});
    add({.name = "RangeAnsweredShorterThanAsked",
         .serverKeys = R"("faults":[{"kind":"short","bytes":4096,"range_start":131072}])"});
    add({.name = "SingleStreamCutShortOfItsLength",
         .serverKeys = R"("faults":[{"kind":"truncate","bytes":70000}])",
         .singleStream = true});
    // A server that ignores ranges: its range probe takes the first cut answer, the fallback stream the second.
    add({.name = "RangelessServerCutsItsStreamShort",
         .serverKeys = R"("ranges":false,"faults":[{"kind":"truncate","bytes":3000,"times":2}])"});
    // A rangeless stream without a length ends where the server closes. Short of the size the HEAD
    // gave, or the client when the HEAD gave none, it is dropped and fetched again, even when it
    // ends where a segment does; with no size known anywhere, its end is the file's.
    add({.name = "UnsizedStreamEndingAtASegmentBeforeTheSizeOfTheHead",
         .serverKeys = R"("ranges":false,"faults":[{"kind":"close_delimited","after_bytes":196608,"skip":1}])"});
    add({.name = "UnsizedStreamEndingBeforeTheSizeTheClientExpects",
         .serverKeys = R"("ranges":false,"faults":[{"kind":"close_delimited","methods":["HEAD"],"times":-1},)"
                       R"({"kind":"close_delimited","after_bytes":196608}])",
         .arrange = [](ScenarioRun& run) {
             run.input.preference.bytesToDownload = run.content.size();
             return true;
         }});
    add({.name = "UnsizedStreamOfAFileOfNoKnownSize",
         .serverKeys = R"("ranges":false,"faults":[{"kind":"close_delimited","methods":["HEAD","GET"],"times":-1}])"});
    // Longer than the size the client expects: the whole file where a part was asked for, never
    // finished as the part.
    add({.name = "UnsizedStreamLongerThanTheSizeTheClientExpects",
         .size = 400000,
         .serverKeys = R"("ranges":false,"faults":[{"kind":"close_delimited","methods":["HEAD","GET"],"times":-1}])",
         .expected = failure(0, -40, 2, kAnyCode, Left::kPartialOnly),
         .arrange = [](ScenarioRun& run) {
             run.input.preference.bytesToDownload = 100000;
             return true;
         }});
    // A stream that the server ignoring ranges cuts on every try: one that gets further each time
    // completes however often it drops, one cut for good at one point runs out of retries.
    add({.name = "RangelessStreamThatGetsFurtherOnEveryDrop",
         .size = 400000,
         .serverKeys = R"("ranges":false,"throttle":1000000,)" + growingDrops(15, 60000, 20000)});
    add({.name = "RangelessStreamCutForGoodAtOnePoint",
         .size = 400000,
         .serverKeys = R"("ranges":false,"faults":[{"kind":"drop","after_bytes":100000,"times":-1}])",
         .expected = failure(0, -45, 0, kAnyCode, Left::kPartialOnly),
         .recover = mendTheServer});
    // A probe that timed out once is asked again: the server still counts as serving ranges.
    add({.name = "StallOfTheRangeProbe",
         .serverKeys =
             R"("faults":[{"kind":"stall_before_body","seconds":4,"range_start":)" + std::to_string(size - 2) + "}]",
         .check =
             [](ScenarioRun&, FileDownloaderHandle& handle) {
                 uint64_t remote = 0;
                 uint8_t segmentable = 0;
                 EXPECT_EQ(handle.getFileInfo(&remote, &segmentable), 0);
                 EXPECT_EQ(segmentable, 1) << "one stalled probe turned the download into a single stream";
             },
         .minimumSeconds = 2});
    add({.name = "StallInsideABody",
         .serverKeys = R"("faults":[{"kind":"stall","after_bytes":20000,"seconds":4,"range_start":196608}])",
         .minimumSeconds = 2});
    add({.name = "StallInsideASingleStream",
         .serverKeys = R"("faults":[{"kind":"stall","after_bytes":100000,"seconds":4}])",
         .singleStream = true,
         .minimumSeconds = 2});

    // A lone thread whose segment always drops makes no progress: after the retry limit the client is
    // asked, and once the server is mended its resume completes.
    add({.name = "DropsPastTheRetryLimitPauseUntilResumed",
         .size = 3 * kSegment,
         .serverKeys = R"("faults":[{"kind":"drop","after_bytes":0,"times":-1,"range_start":0}])",
         .threads = 1,
         .expected = failure(0, -45, 0, -4, Left::kPartialAndMeta),
         .recover = mendTheServer});

    // Server statuses.
    add({.name = "ServiceUnavailableIsRetried",
         .serverKeys = R"("script_methods":["GET"],"statuses":["ok",503,{"status":504},503])"});
    add({.name = "ServiceUnavailableWaitsForRetryAfter",
         .serverKeys = R"("statuses":[{"status":503,"retry_after":"2"}])",
         .singleStream = true,
         .minimumSeconds = 2});
    add({.name = "RetryAfterBeyondTheClientsMaximumIsFatal",
         .serverKeys = R"("statuses":[{"status":503,"retry_after":"30"}])",
         .singleStream = true,
         .expected = failure(0, -40, 2, 503, Left::kPartialOnly),
         .arrange = [](ScenarioRun& run) {
             run.input.preference.retryAfterMaximum = 5;
             return true;
         }});
    add({.name = "BackOffsPastTheirLimitPauseUntilResumed",
         .serverKeys = R"("statuses":[{"status":503,"retry_after":"1"},{"status":503,"retry_after":"1"},)"
                       R"({"status":503,"retry_after":"1"}])",
         .singleStream = true,
         .expected = failure(0, -40, 0, 503, Left::kPartialOnly),
         .recover = [](ScenarioRun&, FileDownloaderHandle&) {}});
    add({.name = "UnauthorizedIsFatal",
         .serverKeys = R"("script_methods":["HEAD"],"statuses":[401])",
         .expected = failure(-1, -7, 2, 401, Left::kNothing)});
    add({.name = "TooManyRequestsForASegmentIsFatal",
         .serverKeys = R"("script_methods":["GET"],"statuses":["ok",429])",
         .expected = failure(0, -40, 2, 429, Left::kPartialAndMeta)});
    add({.name = "ServiceUnavailableAtTheSizeProbeIsRetried",
         .serverKeys = R"("script_methods":["HEAD"],"statuses":[503,{"status":504}])"});
    add({.name = "NotFoundAtTheSizeProbe",
         .serverKeys = R"("script_methods":["HEAD"],"statuses":[404])",
         .expected = failure(-1, -4, 2, 404, Left::kNothing)});
    add({.name = "NotFoundForASegment",
         .serverKeys = R"("script_methods":["GET"],"statuses":["ok",404])",
         .expected = failure(0, -4, 2, 404, Left::kPartialAndMeta)});
    add({.name = "RangeNotSatisfiableForASegment",
         .serverKeys = R"("script_methods":["GET"],"statuses":["ok",416])",
         .expected = failure(0, -40, 2, 416, Left::kPartialAndMeta)});

    // The file itself.
    add({.name = "ETagChangesMidDownload",
         .size = 12 * kSegment,
         .serverKeys = R"("throttle":2000000,"changes":[{"after_requests":5,"etag":"\"v2\"","seed":99}])",
         .threads = 2,
         .expected = failure(0, -55, 4, kAnyCode, Left::kNothing)});
    // Without an ETag only the length in Content-Range tells that later segments are of another file.
    add({.name = "SizeChangesMidDownloadWithoutAnETag",
         .size = 12 * kSegment,
         .serverKeys = R"("etag":null,"throttle":2000000,"changes":[{"after_requests":5,"size":786500,"seed":98}])",
         .threads = 2,
         .expected = failure(0, -40, 2, kAnyCode, Left::kPartialAndMeta)});
    add({.name = "SegmentThatStaysCorruptEndsTheDownload",
         .serverKeys = R"("faults":[{"kind":"corrupt","offset":70000,"times":-1}])",
         .expected = failure(0, -60, 2, 417, Left::kPartialAndMeta),
         .arrange =
             [](ScenarioRun& run) {
                 run.judge = contentJudge(run.content, kEventSegmentWritten, kSegment);
                 return true;
             },
         .rejections = 11});

    // The disk.
    // Segments of four pieces each: the pieces after a failed one must not be recorded as written.
    add({.name = "DiskFullWhileWritingPausesAndResumes",
         .size = 6 * kMiB + 5,
         .serverKeys = R"("throttle":6000000)",
         .segment = kMiB,
         .expected = failure(0, -30, 0, 10020, Left::kPartialAndMeta),
         .arrange = fillTheDiskAfterTheFirstSegment,
         .recover = freeTheDisk});

    add({.name = "DiskFullUnderASingleStreamPausesAndResumes",
         .size = 8 * kSegment + 5,
         .serverKeys = R"("throttle":3000000)",
         .singleStream = true,
         .expected = failure(0, -30, 0, 10020, Left::kPartialOnly),
         .arrange = fillTheDiskAfterTheFirstSegment,
         .recover = freeTheDisk});
    add({.name = "DiskTooSmallForTheFile",
         .size = 3 * 1024 * 1024,
         .expected = failure(-1, -30, 0, 10020, Left::kNothing),
         .arrange = [](ScenarioRun& run) {
             const std::string volume = run.environment.base() + "/small-volume";
             mkdir(volume.c_str(), 0700);
             if (mount("tmpfs", volume.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0) {
                 run.skipReason =
                     std::string("a 1 MiB tmpfs cannot be mounted here (needs root): ") + std::strerror(errno);
                 return false;
             }
             run.undo.push_back([volume] { umount2(volume.c_str(), MNT_DETACH); });
             run.targetFolder = volume + "/out";
             run.input.targetFolder = run.targetFolder;
             return true;
         }});

    // Names and proxies.
    add({.name = "HostNameDoesNotResolve",
         .expected = failure(-1, -50, 1, EAI_NONAME, Left::kNothing),
         .arrange = [](ScenarioRun& run) {
             // A reserved name that never resolves; one short try of the resolver when there is no network.
             run.environmentOverride.set("RES_OPTIONS", "timeout:1 attempts:1");
             run.input.serverPath = "http://no-such-host.invalid:" + std::to_string(run.server.port()) + "/f.bin";
             return true;
         }});
    add({.name = "ConnectionRefused",
         .expected = failure(-1, -45, 1, ECONNREFUSED, Left::kNothing),
         .arrange = [](ScenarioRun& run) {
             // A port that was just free: nothing listens there.
             const int port = freeLoopbackPort();
             run.input.serverPath = "http://127.0.0.1:" + std::to_string(port) + "/f.bin";
             return port != 0;
         }});
    add({.name = "ProxyThatIsDownMakesTheServerUnreachable",
         .expected = failure(-1, -50, 1, platform::kHttpProxyUnreachable, Left::kNothing),
         .arrange = [](ScenarioRun& run) { return run.useProxyThatIsDown(""); }});
    add({.name = "ProxyNameDoesNotResolve",
         .expected = failure(-1, -50, 1, platform::kHttpProxyUnreachable, Left::kNothing),
         .arrange = [](ScenarioRun& run) {
             run.environmentOverride.set("RES_OPTIONS", "timeout:1 attempts:1");
             run.useProxyAt("http://no-such-proxy.invalid:3128", "");
             return true;
         }});
    add({.name = "NoProxyLetsTheServerBeReachedDirectly",
         .arrange = [](ScenarioRun& run) { return run.useProxyThatIsDown("example.invalid,127.0.0.1"); }});
    // The client answers a 407 with the credentials and starts again.
    auto giveProxyCredentials = [](ScenarioRun& run, FileDownloaderHandle& handle) {
        run.input.preference.proxyUser = "user";
        run.input.preference.proxyPassword = "secret";
        EXPECT_EQ(handle.setPreference(&run.input.preference), 0);
    };
    add({.name = "ProxyWantsCredentials",
         .expected = failure(-1, -8, 0, 407, Left::kNothing),
         .arrange = [](ScenarioRun& run) { return run.useAuthenticatingProxy(); },
         .recover = giveProxyCredentials});
    add({.name = "ProxyGetsItsCredentials", .arrange = [](ScenarioRun& run) {
             if (!run.useAuthenticatingProxy()) return false;
             run.input.preference.proxyUser = "user";
             run.input.preference.proxyPassword = "secret";
             return true;
         }});
    add({.name = "ProxyTunnelWantsCredentials",
         .expected = failure(-1, -8, 0, 407, Left::kNothing),
         .arrange = [](ScenarioRun& run) { return run.useAuthenticatingProxy() && run.useHttps(); },
         .recover = giveProxyCredentials});
    add({.name = "ProxyTunnelGetsItsCredentials", .arrange = [](ScenarioRun& run) {
             if (!run.useAuthenticatingProxy() || !run.useHttps()) return false;
             run.input.preference.proxyUser = "user";
             run.input.preference.proxyPassword = "secret";
             return true;
         }});
    return table;
}

class EngineFaultScenario : public testing::TestWithParam<Scenario> {
protected:
    // One server for the table (starting the interpreter is the slow part); each scenario resets it.
    static void SetUpTestSuite() { sharedServer = new test_support::HttpTestServer(); }
    static void TearDownTestSuite() {
        delete sharedServer;
        sharedServer = nullptr;
        sharedTls().release();
    }
    void SetUp() override {
        sharedServer->reset();
        CookieStore::shared().clear();
    }

    static test_support::HttpTestServer* sharedServer;
    test_support::TemporaryEnvironment environment;
    ShortEngineTimings timings;
    test_support::HttpTestServer& server = *sharedServer;
};

test_support::HttpTestServer* EngineFaultScenario::sharedServer = nullptr;

TEST_P(EngineFaultScenario, EndsWithTheWholeFileOrItsError) {
    const Scenario& s = GetParam();
    if (s.seed != 0) std::cout << "fault seed " << s.seed << " (ENGINE_FAULT_SEED repeats it)" << std::endl;
    ScenarioRun run(environment, server);
    run.content = randomBytes(s.size, static_cast<uint32_t>(s.size) ^ 0x5eed);
    const std::string contentFile = environment.base() + "/content.bin";
    writeFile(contentFile, run.content);
    run.plainScenarioJson = R"({"path":"/f.bin","body_file":")" + contentFile + R"(","etag":"\"v1\"")";
    run.scenarioJson = run.plainScenarioJson + (s.serverKeys.empty() ? "" : "," + s.serverKeys) + "}";
    run.plainScenarioJson += "}";
    server.setScenario(run.scenarioJson);
    run.targetFolder = environment.base() + "/out";
    run.input.serverPath = server.url("/f.bin");
    run.input.targetFolder = run.targetFolder;
    run.input.preference.segmentSize = s.segment;
    run.input.preference.threadCount = s.threads;
    run.input.preference.singleStream = s.singleStream;
    if (s.arrange && !s.arrange(run)) GTEST_SKIP() << run.skipReason;

    EngineSession session;
    session.recorder.judge = run.judge;
    ASSERT_EQ(session.handle->init(&run.input), 0);
    const auto begun = std::chrono::steady_clock::now();
    const int32_t started = session.handle->start();
    const Expected& e = s.expected;
    DownloadErrorInfo startError;
    session.handle->getLastError(&startError);
    ASSERT_EQ(started, e.startResult) << startError.errorType << " " << startError.message;

    // The file arrives whole, after the given number of errors the client was told of.
    auto expectWhole = [&](int errorsBefore) {
        ASSERT_TRUE(session.recorder.waitForEnd(40s)) << "the download neither ended nor failed";
        EXPECT_EQ(session.recorder.errors(), errorsBefore)
            << "the last error: " << session.recorder.error().errorType << " " << session.recorder.error().message;
        EXPECT_EQ(session.recorder.progress().reportedState, 5u);
        EXPECT_EQ(test_support::sha256OfFile(run.target()), test_support::sha256OfFile(contentFile));
        EXPECT_FALSE(exists(run.target() + ".zamdownload"));
        EXPECT_FALSE(exists(run.target() + ".zamdownload.zamd"));
    };

    if (e.complete) {
        expectWhole(0);
        if (s.minimumSeconds > 0) {
            EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::seconds(s.minimumSeconds))
                << "the fault was not waited out";
        }
        if (s.check) s.check(run, *session.handle);
        if (run.proxy) {
            EXPECT_TRUE(run.proxyLogMentions("127.0.0.1")) << "the download bypassed the proxy";
        }
    } else {
        DownloadErrorInfo error;
        if (e.startResult == 0) {
            ASSERT_TRUE(session.recorder.waitForEnd(40s)) << "the download neither ended nor failed";
            error = session.recorder.error();
            EXPECT_EQ(session.recorder.errors(), 1);
            DownloadErrorInfo last;
            session.handle->getLastError(&last);
            EXPECT_EQ(last.errorType, error.errorType) << "getLastError tells what event 7 told";
        } else {
            session.handle->getLastError(&error);
        }
        EXPECT_EQ(error.errorType, e.errorType) << error.message;
        EXPECT_EQ(error.action, e.action) << error.message;
        if (e.extendedCode != kAnyCode) {
            EXPECT_EQ(error.extendedErrorCode, e.extendedCode) << error.message;
        }
        EXPECT_NE(session.recorder.progress().reportedState, 5u);
        EXPECT_EQ(session.recorder.count(kEventFileComplete), 0);
        EXPECT_FALSE(exists(run.target())) << "a failed download left a finished file";
        const bool partial = exists(run.target() + ".zamdownload");
        const bool meta = exists(run.target() + ".zamdownload.zamd");
        switch (e.left) {
            case Left::kNothing:
                EXPECT_FALSE(partial);
                EXPECT_FALSE(meta);
                break;
            case Left::kPartialAndMeta:
                EXPECT_TRUE(partial) << "the partial download is kept for a resume";
                EXPECT_TRUE(meta);
                EXPECT_EQ(segmentRecordingUnwrittenBytes(run.target() + ".zamdownload", run.content, s.segment), -1)
                    << "a record claims bytes the partial file does not hold";
                break;
            case Left::kPartialOnly:
                EXPECT_TRUE(partial);
                EXPECT_FALSE(meta);
                break;
        }
        if (s.recover) {
            s.recover(run, *session.handle);
            session.recorder.rearm();
            ASSERT_EQ(e.startResult != 0 ? session.handle->start() : session.handle->resume(), 0);
            expectWhole(e.startResult != 0 ? 0 : 1);
        }
    }
    test_support::HttpTestServer& used = run.tlsServer ? *run.tlsServer : server;
    EXPECT_EQ(serverInfo(used, "/f.bin", "pending"), 0) << "a scripted status or fault was never met";
    if (s.rejections >= 0) {
        // Refetches go on until the controller's next error turn acts on the limit.
        EXPECT_GE(session.recorder.rejected(), s.rejections);
    }
    EXPECT_EQ(session.handle->close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, EngineFaultScenario, testing::ValuesIn(faultScenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
