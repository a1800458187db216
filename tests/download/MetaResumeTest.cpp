// Resuming from a meta file whose records were written by hand: what each record makes the engine fetch again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "download/DownloadGlobalData.h"
#include "download/TestSeams.h"
#include "download/ZAMDFileManager.h"
#include "tests/download/EngineTestSupport.h"

namespace {

using namespace engine_test;

constexpr uint32_t kSegment = 65536;
constexpr uint32_t kTail = 1000;
constexpr uint64_t kSize = 3ull * kSegment + kTail;

class MetaResumeTest : public LoopbackEngineTest {
protected:
    void SetUp() override {
        bytes = randomBytes(kSize, 31);
        writeFile(content, bytes);
        server.setScenario(R"({"path":"/r.bin","body_file":")" + content + R"(","etag":"\"v1\""})");
    }

    DownloadInput input() const { return inputFor("/r.bin", kSegment, 4); }

    struct OnDisk {
        uint32_t record;      // what the meta file says of the segment
        uint32_t goodPrefix;  // how many of its first bytes on disk are right; the rest is garbage
    };

    // A partial download as an earlier run would have left it: meta headers of this file, the given records.
    void leavePartialDownload(const std::vector<OnDisk>& segments) {
        DownloadGlobalData data;
        DownloadInput in = input();
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        ASSERT_TRUE(data.getPreference().freshStart);
        Bytes disk = randomBytes(kSize, 77);
        for (uint32_t index = 0; index < segments.size(); ++index) {
            const uint64_t start = uint64_t{index} * kSegment;
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(start), segments[index].goodPrefix,
                        disk.begin() + static_cast<std::ptrdiff_t>(start));
            ASSERT_TRUE(data.getMetaFile().writeSegmentProgress(index, segments[index].record));
        }
        ASSERT_TRUE(data.getOutputFile().writeSegment(0, disk.data(), static_cast<uint32_t>(disk.size())));
    }

    // Runs the download to its end; the ranges it asked the server for.
    std::string resume(EngineSession& session) {
        server.clearLog();
        DownloadInput in = input();
        EXPECT_EQ(session.handle->init(&in), 0);
        EXPECT_EQ(session.handle->start(), 0);
        EXPECT_TRUE(session.recorder.waitForEnd());
        EXPECT_EQ(session.recorder.errors(), 0) << session.recorder.error().message;
        EXPECT_TRUE(session.recorder.waitForReportedState(5));
        Bytes got;
        EXPECT_TRUE(readFile(folder + "/r.bin", got));
        EXPECT_TRUE(got == bytes) << "the finished file differs from the server's";
        return server.requestLog();
    }

    static std::string range(uint64_t first, uint64_t last) {
        return "bytes=" + std::to_string(first) + "-" + std::to_string(last);
    }

    Bytes bytes;
};

TEST_F(MetaResumeTest, EachRecordDecidesWhatIsFetchedAgain) {
    leavePartialDownload({
        {kSegment, kSegment},          // complete
        {kSegment - 1, kSegment - 1},  // written to the last byte, not yet accepted
        {5000, 5000},                  // a prefix
        {kSegment, 0},                 // the short last segment claiming a whole segment: not to be trusted
    });
    EngineSession session;
    const std::string log = resume(session);
    EXPECT_EQ(log.find("bytes=0-"), std::string::npos) << "a complete segment is not fetched again";
    EXPECT_NE(log.find(range(2ull * kSegment - 1, 2ull * kSegment - 1)), std::string::npos) << log;
    EXPECT_NE(log.find(range(2ull * kSegment + 5000, 3ull * kSegment - 1)), std::string::npos) << log;
    EXPECT_NE(log.find(range(3ull * kSegment, kSize - 1)), std::string::npos) << log;
}

TEST_F(MetaResumeTest, CompleteSegmentsTheClientNoLongerAcceptsAreFetchedAgain) {
    // All recorded as complete, but segment 1's bytes never reached the disk.
    leavePartialDownload({{kSegment, kSegment}, {kSegment, 0}, {kSegment, kSegment}, {kTail, kTail}});
    EngineSession session;
    session.recorder.judge = [this](int event, const SegmentView& view) {
        if (event != kEventSegmentWritten) return 0;
        const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(uint64_t{view.index} * kSegment);
        return std::equal(view.bytes, view.bytes + view.size, start) ? 0 : 1;
    };
    const std::string log = resume(session);
    EXPECT_NE(log.find(range(kSegment, 2ull * kSegment - 1)), std::string::npos) << log;
    for (uint64_t other : {uint64_t{0}, uint64_t{2} * kSegment, uint64_t{3} * kSegment})
        EXPECT_EQ(log.find("bytes=" + std::to_string(other) + "-"), std::string::npos) << other;
    EXPECT_EQ(session.recorder.rejected(), 1);
}

TEST_F(MetaResumeTest, AFatalEndWhileTheServerCannotTellAboutChangesKeepsThePartialDownload) {
    // The size and range probes pass; every later request, the ETag check after the fatal end included, is a 404.
    server.setScenario(R"({"path":"/r.bin","body_file":")" + content +
                       R"(","etag":"\"v1\"","statuses":[0,0,404,404,404,404,404,404,404,404]})");
    {
        EngineSession session;
        DownloadInput in = input();
        in.preference.threadCount = 1;
        ASSERT_EQ(session.handle->init(&in), 0);
        ASSERT_EQ(session.handle->start(), 0);
        ASSERT_TRUE(session.recorder.waitForEnd());
        const DownloadErrorInfo error = session.recorder.error();
        EXPECT_EQ(error.errorType, -4) << "the error that ended it, not a changed file: " << error.message;
        EXPECT_EQ(error.extendedErrorCode, 404);
        EXPECT_EQ(error.action, 2);
        EXPECT_TRUE(exists(folder + "/r.bin.zamdownload"));
        EXPECT_TRUE(exists(folder + "/r.bin.zamdownload.zamd"));
        EXPECT_NE(server.requestLog().rfind("\"HEAD\""), server.requestLog().find("\"HEAD\"")) << "the ETag was asked";
    }
    server.setScenario(R"({"path":"/r.bin","body_file":")" + content + R"(","etag":"\"v1\""})");
    EngineSession session;
    resume(session);
}

TEST_F(MetaResumeTest, ADamagedRecordStartsTheDownloadAfresh) {
    // Each damaged form of segment 1's record vouches for bytes that are garbage on disk.
    const std::string complete = std::string(15, ' ') + std::to_string(kSegment);
    const std::string damaged[] = {
        complete.substr(0, 19) + "&\n",  // a digit replaced
        complete + "&",                  // the line feed replaced
        std::to_string(kSegment) + std::string(15, ' ') + "\n",
        std::string("\0", 1) + complete.substr(1) + "\n",
    };
    for (const std::string& record : damaged) {
        SCOPED_TRACE(testing::PrintToString(record));
        ASSERT_EQ(record.size(), ZAMDFileManager::kRecordLength);
        std::remove((folder + "/r.bin").c_str());
        leavePartialDownload({{kSegment, kSegment}, {0, 0}, {kSegment, kSegment}, {kTail, kTail}});
        {
            std::fstream meta(folder + "/r.bin.zamdownload.zamd", std::ios::in | std::ios::out | std::ios::binary);
            meta.seekp(static_cast<std::streamoff>(ZAMDFileManager::kMagicLength + ZAMDFileManager::kRecordLength));
            meta.write(record.data(), static_cast<std::streamsize>(record.size()));
        }
        EngineSession session;
        const std::string log = resume(session);
        EXPECT_NE(log.find(range(0, kSegment - 1)), std::string::npos) << "not a fresh start: " << log;
    }
}

TEST_F(MetaResumeTest, AResumeThatCannotBeSetUpStartsOverAsAFreshResumableDownload) {
    // Segment 0 is resumed from its prefix (its job is queued), segment 1 counts as accepted, and the
    // buffer for segment 2's prefix cannot be had: the resume gives way to a fresh start.
    leavePartialDownload({{5000, 5000}, {kSegment, kSegment}, {3000, 3000}, {0, 0}});
    // The last segment's answer waits, so the fresh download is still under way when its meta file is read.
    server.setScenario(R"({"path":"/r.bin","body_file":")" + content + R"(","etag":"\"v1\"","faults":[)" +
                       R"({"kind":"stall_before_body","seconds":1,"range_start":)" + std::to_string(3 * kSegment) +
                       "}]}");
    server.clearLog();
    EngineSession session;
    DownloadInput in = input();
    ASSERT_EQ(session.handle->init(&in), 0);
    engine::testing::failAllocations(1, 1);
    ASSERT_EQ(session.handle->start(), 0);
    engine::testing::failAllocations(0, 0);

    {
        ZAMDFileManager meta;
        ASSERT_TRUE(meta.initialize(folder + "/r.bin.zamdownload.zamd"));
        EXPECT_TRUE(meta.isValid()) << "the fresh start's meta file would never let it resume";
        std::map<std::string, std::string> headers;
        EXPECT_TRUE(meta.readHeaders(headers));
        EXPECT_EQ(headers["ETAG"], "\"v1\"");
        EXPECT_EQ(headers["FILE_SIZE"], std::to_string(kSize));
        meta.close();
    }

    ASSERT_TRUE(session.recorder.waitForEnd());
    EXPECT_EQ(session.recorder.errors(), 0) << session.recorder.error().message;
    ASSERT_TRUE(session.recorder.waitForReportedState(5));
    EXPECT_EQ(session.recorder.progress().acceptedBytes, kSize) << "nothing the failed resume counted stays counted";
    Bytes got;
    EXPECT_TRUE(readFile(folder + "/r.bin", got));
    EXPECT_TRUE(got == bytes);
    const std::string log = server.requestLog();
    EXPECT_EQ(log.find("bytes=5000-"), std::string::npos) << "the failed resume's job is dropped: " << log;
    for (uint64_t index = 0; index < 4; ++index) {
        const uint64_t first = index * kSegment;
        EXPECT_NE(log.find(range(first, std::min(first + kSegment, kSize) - 1)), std::string::npos) << index;
    }
}

}  // namespace
