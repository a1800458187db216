// Download and serialization jobs run by hand over a real global data: the loopback server, the partial
// file and the meta file, with no manager and no worker threads, so that each step can be checked.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "download/DownloadGlobalData.h"
#include "download/FileSystemUtils.h"
#include "download/TestSeams.h"
#include "tests/download/EngineTestSupport.h"

namespace {

using namespace engine_test;

constexpr uint32_t kChunk = 65536;

class DownloadJobsTest : public LoopbackEngineTest {
protected:
    void serve(const Bytes& bytes, const std::string& extra = "") {
        writeFile(content, bytes);
        server.setScenario(R"({"path":"/f.bin","body_file":")" + content + R"(","etag":"\"v1\"")" +
                           (extra.empty() ? "" : "," + extra) + "}");
    }

    DownloadInput input(uint8_t singleStream = 0) const {
        DownloadInput in = inputFor("/f.bin", kChunk);
        in.preference.singleStream = singleStream;
        return in;
    }

    // One download job for the whole stream, as the manager makes it.
    static void queueSingleStream(DownloadGlobalData& data) {
        ASSERT_TRUE(data.getSegmentPool().init(1));
        data.resetWatermarks(1);
        ASSERT_TRUE(data.createAndAddDownloadingJob(data.getSegmentPool().createAndGetSegmentFromPool(0), 0, 0, false));
        data.remainingJobs = 1;
    }

    // Runs queued download jobs the way a worker does, a failed one again after its reset.
    static void runDownloadJobs(DownloadGlobalData& data, int maximumRuns = 20) {
        for (int run = 0; run < maximumRuns; ++run) {
            JobPtr job = data.getJobPool().popNextJob(kDownloadQueue);
            if (!job) return;
            job->setState(kJobRunning);
            if (job->run(0) == kJobFailed && job->state() != kJobError) {
                job->reset();
                data.getJobPool().enqueueJobAtFront(std::move(job), kDownloadQueue);
            }
        }
        ADD_FAILURE() << "download jobs still queued after " << maximumRuns << " runs";
    }

    // Runs every queued piece the way the serializer does, a failed one again first.
    static void runSerializer(DownloadGlobalData& data) {
        while (JobPtr job = data.getJobPool().popNextJob(kSerializationQueue)) {
            if (job->run(0) == kJobFailed) data.getJobPool().enqueueJobAtFront(std::move(job), kSerializationQueue);
        }
    }

    Bytes partialFile(DownloadGlobalData& data) {
        Bytes bytes;
        EXPECT_TRUE(readFile(data.partialPath(), bytes));
        return bytes;
    }
};

// What init takes from the server path: the requests' host (user info kept), port, scheme, path
// and the file name the path gives.
TEST_F(DownloadJobsTest, ServerPathGivesHostPortSchemePathAndFileName) {
    struct Case {
        const char* serverPath;
        const char* host;
        uint32_t port;
        uint8_t https;
        const char* path;
        const char* fileName;
    } cases[] = {
        {"http://h.example/dir/f.bin", "h.example", 80, 0, "dir/f.bin", "f.bin"},
        {"HTTPS://h.example/f.bin", "h.example", 443, 1, "f.bin", "f.bin"},
        {"https://h.example:8443/f.bin", "h.example", 8443, 1, "f.bin", "f.bin"},
        {"http://[::1]/f.bin", "[::1]", 80, 0, "f.bin", "f.bin"},
        {"http://[::1]:8080/f.bin", "[::1]", 8080, 0, "f.bin", "f.bin"},
        {"http://u:p@h.example/f.bin", "u:p@h.example", 80, 0, "f.bin", "f.bin"},
        {"http://u:p@h.example:81/f.bin", "u:p@h.example", 81, 0, "f.bin", "f.bin"},
        // A port that names none leaves the scheme's own.
        {"http://h.example:99999/f.bin", "h.example", 80, 0, "f.bin", "f.bin"},
        {"https://h.example:x/f.bin", "h.example", 443, 1, "f.bin", "f.bin"},
        {"h.example:8080/f.bin", "h.example", 8080, 0, "f.bin", "f.bin"},
        // The query stays in the path, and a "/" in it ends the file name's search.
        {"http://h.example/get?name=a/b.bin", "h.example", 80, 0, "get?name=a/b.bin", "b.bin"},
        {"http://h.example/f.bin?v=2", "h.example", 80, 0, "f.bin?v=2", "f.bin?v=2"},
    };
    for (const Case& c : cases) {
        DownloadGlobalData data;
        DownloadInput in = input();
        in.serverPath = c.serverPath;
        in.targetFileName.clear();
        ASSERT_TRUE(data.init(in)) << c.serverPath;
        const DownloadSessionPreference& p = data.getPreference();
        EXPECT_EQ(p.host, c.host) << c.serverPath;
        EXPECT_EQ(p.port, c.port) << c.serverPath;
        EXPECT_EQ(p.isHttps, c.https) << c.serverPath;
        EXPECT_EQ(p.path, c.path) << c.serverPath;
        EXPECT_EQ(p.targetFileName, c.fileName) << c.serverPath;
    }
}

TEST_F(DownloadJobsTest, ARestartedSingleStreamDropsThePiecesOfItsEarlierAttempt) {
    const Bytes bytes = randomBytes(4 * kChunk + kChunk / 2, 3);
    serve(bytes, R"("ranges":false)");
    struct Case {
        const char* name;
        uint8_t singleStream;
        int judgedEvent;
        int judgedWritten;  // event 3 calls: each chunk once per stream that got it written
    };
    const Case cases[] = {
        {"requested, rejected as downloaded", 1, kEventSegmentDownloaded, 5},
        {"refused ranges, rejected as downloaded", 0, kEventSegmentDownloaded, 5},
        {"requested, rejected as written", 1, kEventSegmentWritten, 2 + 5},
        {"refused ranges, rejected as written", 0, kEventSegmentWritten, 2 + 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadGlobalData data;
        Recorder recorder;
        int firstLooks = 0;
        recorder.judge = [&](int event, const SegmentView& view) {
            return event == c.judgedEvent && view.index == 1 && firstLooks++ == 0 ? 1 : 0;
        };
        data.addDLEIntercept(kEventSegmentDownloaded, &recorder);
        data.addDLEIntercept(kEventSegmentWritten, &recorder);
        DownloadInput in = input(c.singleStream);
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        ASSERT_TRUE(data.getPreference().singleStreamInEffect);
        queueSingleStream(data);

        // Rejected as downloaded: the first attempt has handed chunk 0 over when chunk 1 is rejected.
        // Rejected as written: the whole stream is queued when chunk 1 is rejected.
        for (int round = 0; round < 3; ++round) {
            runDownloadJobs(data);
            runSerializer(data);
        }

        EXPECT_EQ(recorder.rejected(), 1);
        EXPECT_EQ(recorder.count(kEventSegmentWritten), c.judgedWritten) << "no chunk is judged twice by one stream";
        EXPECT_EQ(data.acceptedBytes.load(), bytes.size());
        EXPECT_EQ(data.remainingJobs.load(), 0);
        EXPECT_EQ(data.pendingSerializationBytes.load(), 0u);
        EXPECT_TRUE(partialFile(data) == bytes);
    }
}

TEST_F(DownloadJobsTest, MetaRecordsClaimOnlyTheWrittenPrefixAndTheFullSizeOnlyOnceAccepted) {
    constexpr uint32_t kPiece = 1000;
    DownloadGlobalData data;
    Recorder recorder;
    int verdicts = 0;
    recorder.judge = [&](int event, const SegmentView&) { return event == kEventSegmentWritten && verdicts++ == 0; };
    data.addDLEIntercept(kEventSegmentWritten, &recorder);
    DownloadInput in = input();
    ASSERT_TRUE(data.init(in));
    ASSERT_TRUE(data.getPreference().useMetaFile);
    int code = 0;
    ASSERT_TRUE(FileSystemUtils::createDirectory(folder, code));
    ASSERT_TRUE(FileSystemUtils::createFile(data.partialPath(), code));
    ASSERT_TRUE(FileSystemUtils::setFileSize(data.partialPath(), 3 * kPiece, code));
    ASSERT_TRUE(FileSystemUtils::createFile(data.metaPath(), code));
    ASSERT_TRUE(data.getOutputFile().open(data.partialPath()));
    ZAMDFileManager& meta = data.getMetaFile();
    ASSERT_TRUE(meta.initialize(data.metaPath()));
    ASSERT_TRUE(meta.writeZAMDMetaInfoString());
    ASSERT_TRUE(data.getSegmentPool().init(1));
    data.resetWatermarks(1);
    SegmentPtr segment = data.getSegmentPool().createAndGetSegmentFromPool(0);
    segment->setRange(0, 3 * kPiece, 0);
    ASSERT_TRUE(segment->allocateBuffer(3 * kPiece));
    const Bytes bytes = randomBytes(3 * kPiece, 5);
    std::copy(bytes.begin(), bytes.end(), segment->buffer.get());
    data.remainingJobs = 1;

    auto record = [&] {
        uint32_t value = 99;
        EXPECT_TRUE(meta.readSegmentProgress(0, value));
        return value;
    };
    auto pieces = [&] {
        std::vector<JobPtr> made;
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(data.createAndAddSerializationJob(segment, 0, i * kPiece, kPiece, i * kPiece, i == 2));
            made.push_back(data.getJobPool().popNextJob(kSerializationQueue));
        }
        return made;
    };

    std::vector<JobPtr> first = pieces();
    EXPECT_EQ(first[1]->run(0), kJobDone);
    EXPECT_EQ(record(), 0u) << "a later piece written first claims none of the earlier piece's bytes";
    EXPECT_EQ(first[0]->run(0), kJobDone);
    EXPECT_EQ(record(), kPiece) << "only what is known to be written from the start on";

    engine::testing::injectWriteFailures(ENOSPC, 1);
    EXPECT_EQ(first[2]->run(0), kJobFailed);
    EXPECT_EQ(record(), kPiece);
    EXPECT_EQ(recorder.count(kEventSegmentWritten), 0) << "a segment with an unwritten piece is never judged";
    DownloadErrorInfo info;
    int type = 0;
    EXPECT_EQ(data.processNextError(info, type), ErrorHandler::kActionUserActionable);
    EXPECT_EQ(info.errorType, -30) << "a full disk, not some other file failure";

    // Written now, but the client rejects it: the record goes back to 0 and the segment is fetched again.
    EXPECT_EQ(first[2]->run(0), kJobDone);
    EXPECT_EQ(record(), 0u);
    EXPECT_EQ(data.acceptedBytes.load(), 0u);
    EXPECT_EQ(data.getJobPool().getJobCount(kDownloadQueue), 1u);
    EXPECT_EQ(data.remainingJobs.load(), 1);

    ASSERT_TRUE(segment->allocateBuffer(3 * kPiece));
    std::copy(bytes.begin(), bytes.end(), segment->buffer.get());
    std::vector<JobPtr> second = pieces();
    EXPECT_EQ(second[0]->run(0), kJobDone);
    EXPECT_EQ(second[1]->run(0), kJobDone);
    EXPECT_EQ(record(), 2 * kPiece);
    EXPECT_EQ(second[2]->run(0), kJobDone);
    EXPECT_EQ(record(), 3 * kPiece) << "full size once the client accepted the segment";
    EXPECT_EQ(data.acceptedBytes.load(), 3u * kPiece);
    EXPECT_EQ(data.remainingJobs.load(), 0);
    EXPECT_TRUE(partialFile(data) == bytes);
    engine::testing::injectWriteFailures(0, 0);
}

TEST_F(DownloadJobsTest, ARangedAnswerWithAnotherETagIsFatalAndHandsNothingOver) {
    const Bytes bytes = randomBytes(2 * kChunk, 4);
    writeFile(content, bytes);
    // Requests 0 and 1 are the size and range probes; the segment's GET finds the file changed.
    server.setScenario(R"({"path":"/f.bin","body_file":")" + content +
                       R"(","etag":"\"v1\"","changes":[{"after_requests":2,"etag":"\"v2\"","seed":8,"size":131072}]})");
    DownloadGlobalData data;
    DownloadInput in = input();
    ASSERT_TRUE(data.init(in));
    ASSERT_TRUE(data.initializeFileDownload());
    ASSERT_EQ(data.responseValue("ETag"), "\"v1\"");
    ASSERT_TRUE(data.getSegmentPool().init(2));
    data.resetWatermarks(2);
    SegmentPtr segment = data.getSegmentPool().createAndGetSegmentFromPool(0);
    segment->setRange(0, kChunk, 0);
    ASSERT_TRUE(data.createAndAddDownloadingJob(segment, 0, 0, false));
    JobPtr job = data.getJobPool().popNextJob(kDownloadQueue);
    job->setState(kJobRunning);
    EXPECT_EQ(job->run(0), kJobFailed);
    EXPECT_EQ(job->state(), kJobError) << "the worker drops the job instead of fetching the new file's bytes";
    EXPECT_EQ(data.getJobPool().getJobCount(kSerializationQueue), 0u) << "no byte of the other file is written";
    DownloadErrorInfo info;
    int type = 0;
    EXPECT_EQ(data.processNextError(info, type), ErrorHandler::kActionFatal);
    EXPECT_EQ(type, 4);
}

TEST_F(DownloadJobsTest, FilePartsOutsideTheFileAreRefusedWithoutWrappingAround) {
    constexpr uint64_t kSize = 10000;
    serve(randomBytes(kSize, 7));
    constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max() - 5;
    struct Case {
        uint64_t start;
        uint64_t length;
        bool accepted;
    };
    int folders = 0;
    for (const Case c : {Case{10, kHuge, false}, Case{kSize - 1, 1, true}, Case{kSize, 0, false},
                         Case{5, kSize - 5, true}, Case{5, kSize - 4, false}, Case{0, kSize, true}}) {
        SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.length));
        DownloadGlobalData data;
        DownloadInput in = input();
        in.targetFolder = folder + std::to_string(++folders);
        in.preference.startAddress = c.start;
        in.preference.bytesToDownload = c.length;
        ASSERT_TRUE(data.init(in));
        EXPECT_EQ(data.initializeFileDownload(), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(data.bytesToDownload(), c.length);
        } else {
            EXPECT_EQ(data.getLastError().errorType, -10);
            EXPECT_FALSE(exists(data.partialPath()));
        }
    }
}

TEST_F(DownloadJobsTest, APartialFileOfAnotherLengthThanTheMetaFileSaysStartsOver) {
    serve(randomBytes(3 * kChunk, 9));
    {
        DownloadGlobalData first;
        DownloadInput in = input();
        ASSERT_TRUE(first.init(in));
        ASSERT_TRUE(first.initializeFileDownload());
        EXPECT_TRUE(first.getPreference().freshStart);
    }
    struct Case {
        int64_t sizeChange;
        bool resumed;
    };
    for (const Case c : {Case{0, true}, Case{-1, false}, Case{+1, false}}) {
        SCOPED_TRACE(c.sizeChange);
        DownloadGlobalData data;
        DownloadInput in = input();
        ASSERT_TRUE(data.init(in));
        std::filesystem::resize_file(data.partialPath(), static_cast<uintmax_t>(3 * kChunk + c.sizeChange));
        ASSERT_TRUE(data.initializeFileDownload());
        EXPECT_EQ(data.getPreference().freshStart == 0, c.resumed);
        EXPECT_EQ(std::filesystem::file_size(data.partialPath()), 3u * kChunk) << "a fresh start sizes it again";
    }
}

TEST_F(DownloadJobsTest, AFailedHandOverInASingleStreamLeavesNoChunkCountedAsOutstanding) {
    const Bytes bytes = randomBytes(2 * kChunk + kChunk / 2, 21);
    serve(bytes, R"("ranges":false)");
    // The stream hands over chunk 0, chunk 1 and then its end; one of them fails and the stream runs again.
    for (const int failing : {0, 1, 2}) {
        SCOPED_TRACE("hand-over " + std::to_string(failing) + " fails");
        DownloadGlobalData data;
        DownloadInput in = input();
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        queueSingleStream(data);
        engine::testing::failHandOvers(failing, 1);
        for (int round = 0; round < 3; ++round) {
            runDownloadJobs(data);
            runSerializer(data);
        }
        engine::testing::failHandOvers(0, 0);
        EXPECT_EQ(data.remainingJobs.load(), 0) << "a count left raised would keep the download from ever finishing";
        EXPECT_EQ(data.acceptedBytes.load(), bytes.size());
        EXPECT_EQ(data.pendingSerializationBytes.load(), 0u);
        EXPECT_TRUE(partialFile(data) == bytes);
    }
}

TEST_F(DownloadJobsTest, AJobsStateComesFromItsOwnRunNeverFromAnEarlierTransportError) {
    const Bytes bytes = randomBytes(2 * kChunk, 22);
    struct Case {
        int status;  // what the stream's first GET gets
        int32_t firstState;
        int firstResult;
    };
    // 503 to a single stream is a back-off (the job parks its worker); 404 is fatal.
    for (const Case c : {Case{503, kJobBackoffPaused, kJobPaused}, Case{404, kJobError, kJobFailed}}) {
        SCOPED_TRACE(c.status);
        // A requested single stream probes nothing: its first GET is the stream's.
        serve(bytes, R"("statuses":[)" + std::to_string(c.status) + "]");
        DownloadGlobalData data;
        Recorder recorder;
        recorder.judge = [](int event, const SegmentView&) { return event == kEventSegmentDownloaded ? 1 : 0; };
        data.addDLEIntercept(kEventSegmentDownloaded, &recorder);
        DownloadInput in = input(1);
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        queueSingleStream(data);
        JobPtr job = data.getJobPool().popNextJob(kDownloadQueue);
        job->setState(kJobRunning);
        EXPECT_EQ(job->run(0), c.firstResult);
        EXPECT_EQ(job->state(), c.firstState);
        data.clearAllErrors();

        // The next run fails for a reason of its own: the client rejects the first chunk.
        job->reset();
        job->setState(kJobRunning);
        EXPECT_EQ(job->run(0), kJobFailed);
        EXPECT_EQ(job->state(), kJobStopped) << "retried like any rejected chunk, not parked or dropped";
        EXPECT_EQ(recorder.rejected(), 1);
        DownloadErrorInfo info;
        int type = 0;
        data.processNextError(info, type);
        EXPECT_EQ(type, 18);
    }
}

TEST_F(DownloadJobsTest, ReadsEndedByAPauseOrAStopRecordNoErrorAndKeepWhatArrived) {
    constexpr uint32_t kArrived = 1000;
    const Bytes bytes = randomBytes(2 * kChunk, 23);
    struct Case {
        const char* name;
        uint8_t singleStream;
        bool stop;  // else a pause, during which the server drops the connection
    };
    const Case cases[] = {
        {"ranged, paused", 0, false},
        {"ranged, stopped", 0, true},
        {"single stream, paused", 1, false},
        {"single stream, stopped", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The first body from byte 0 sends kArrived bytes and then nothing (and, for a pause, closes).
        const std::string faults = c.stop ? R"({"kind":"stall","after_bytes":1000,"seconds":30,"range_start":0})"
                                          : R"({"kind":"stall","after_bytes":1000,"seconds":1.5,"range_start":0},)"
                                            R"({"kind":"drop","after_bytes":1000,"range_start":0})";
        serve(bytes, R"("faults":[)" + faults + "]");
        server.clearLog();
        DownloadGlobalData data;
        DownloadInput in = input(c.singleStream);
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        if (c.singleStream) {
            queueSingleStream(data);
        } else {
            ASSERT_TRUE(data.getSegmentPool().init(2));
            data.resetWatermarks(2);
            SegmentPtr segment = data.getSegmentPool().createAndGetSegmentFromPool(0);
            segment->setRange(0, kChunk, 0);
            ASSERT_TRUE(data.createAndAddDownloadingJob(segment, 0, 0, false));
            data.remainingJobs = 1;
        }
        JobPtr job = data.getJobPool().popNextJob(kDownloadQueue);
        job->setState(kJobRunning);
        int result = -1;
        std::thread worker([&] { result = job->run(0); });
        for (int wait = 0; wait < 500 && data.totalReceivedBytes.load() < kArrived; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the worker waits for more
        if (c.stop) {
            job->terminate();
        } else {
            job->pauseJob();
        }
        worker.join();
        EXPECT_EQ(data.totalReceivedBytes.load(), kArrived);
        EXPECT_EQ(result, c.stop ? kJobStoppedResult : kJobPaused) << "an interrupted read is no failure";
        DownloadErrorInfo info;
        int type = 0;
        EXPECT_EQ(data.processNextError(info, type), ErrorHandler::kActionNone) << "recorded type " << type;

        // Run again, as a worker does with a paused or stopped job: a segment goes on from what arrived.
        job->setState(kJobRunning);
        EXPECT_EQ(job->run(0), kJobDone);
        runSerializer(data);
        const std::string log = server.requestLog();
        if (!c.singleStream) {
            EXPECT_NE(log.find("bytes=1000-65535"), std::string::npos) << log;
        }
        Bytes written = partialFile(data);
        const size_t expected = c.singleStream ? bytes.size() : kChunk;
        ASSERT_GE(written.size(), expected);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(expected), written.begin()));
    }
}

}  // namespace
