// Download and serialization jobs run by hand over a real global data: the loopback server, the partial
// file and the meta file, with no manager and no worker threads, so that each step can be checked.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include "download/DownloadGlobalData.h"
#include "download/FileSystemUtils.h"
#include "tests/download/EngineTestSupport.h"

namespace {

using namespace engine_test;

constexpr uint32_t kChunk = 65536;

class DownloadJobsTest : public testing::Test {
protected:
    void SetUp() override {
        folder = environment.base() + "/out";
        content = environment.base() + "/content.bin";
    }

    void serve(const Bytes& bytes, const std::string& extra = "") {
        writeFile(content, bytes);
        server.setScenario(R"({"path":"/f.bin","body_file":")" + content + R"(","etag":"\"v1\"")" +
                           (extra.empty() ? "" : "," + extra) + "}");
    }

    DownloadInput input(uint8_t singleStream = 0) const {
        DownloadInput in;
        in.serverPath = server.url("/f.bin");
        in.targetFolder = folder;
        in.preference.segmentSize = kChunk;
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

    test_support::TemporaryEnvironment environment;
    ShortEngineTimings timings;
    test_support::HttpTestServer server;
    std::string folder;
    std::string content;
};

TEST_F(DownloadJobsTest, ARestartedSingleStreamDropsThePiecesOfItsEarlierAttempt) {
    const Bytes bytes = randomBytes(4 * kChunk + kChunk / 2, 3);
    serve(bytes, R"("ranges":false)");
    struct Case {
        const char* name;
        uint8_t singleStream;
    };
    for (const Case c : {Case{"requested", 1}, Case{"refused ranges", 0}}) {
        SCOPED_TRACE(c.name);
        DownloadGlobalData data;
        Recorder recorder;
        int firstLooks = 0;
        recorder.judge = [&](int event, const SegmentView& view) {
            return event == kEventSegmentDownloaded && view.index == 2 && firstLooks++ == 0 ? 1 : 0;
        };
        data.addDLEIntercept(kEventSegmentDownloaded, &recorder);
        data.addDLEIntercept(kEventSegmentWritten, &recorder);
        DownloadInput in = input(c.singleStream);
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        ASSERT_TRUE(data.getPreference().singleStreamInEffect);
        queueSingleStream(data);

        // The first attempt hands chunks 0 and 1 over, then chunk 2 is rejected and the stream starts again.
        runDownloadJobs(data);
        runSerializer(data);

        EXPECT_EQ(recorder.rejected(), 1);
        EXPECT_EQ(recorder.count(kEventSegmentWritten), 5) << "every chunk is written and judged once, not twice";
        EXPECT_EQ(data.acceptedBytes.load(), bytes.size());
        EXPECT_EQ(data.remainingJobs.load(), 0);
        EXPECT_EQ(data.pendingSerializationBytes.load(), 0u);
        EXPECT_TRUE(partialFile(data) == bytes);
    }
}

}  // namespace
