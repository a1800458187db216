// A symbolic link, another user's file or a second name planted at the partial download's or the
// meta file's name: the engine never writes through or into it, and never renames it into the
// finished file's place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "download/DownloadGlobalData.h"
#include "tests/download/EngineTestSupport.h"

namespace {

using namespace engine_test;

constexpr uint32_t kSegment = 65536;
constexpr uint64_t kSize = 3ull * kSegment + 1000;

enum class Planted { kPartial, kMeta };
enum class When {
    kBeforeAFreshStart,  // nothing else of the download is there yet
    kOverAResumable,     // an earlier run's partial download and meta file, one of them replaced
    kDuringTheDownload,  // swapped in while the engine writes
};

struct PlantedLinkCase {
    const char* name;
    Planted planted;
    When when;
    bool completes;  // false: the download ends with an error the client is told
};

void PrintTo(const PlantedLinkCase& c, std::ostream* out) { *out << c.name; }

class PlantedLinkTest : public LoopbackEngineTest, public ::testing::WithParamInterface<PlantedLinkCase> {
protected:
    void SetUp() override {
        bytes = randomBytes(kSize, 41);
        writeFile(content, bytes);
    }

    DownloadInput input() const { return inputFor("/r.bin", kSegment, 1); }
    std::string partial() const { return folder + "/r.bin.zamdownload"; }
    std::string meta() const { return partial() + ".zamd"; }
    std::string plantedPath() const { return GetParam().planted == Planted::kPartial ? partial() : meta(); }

    // What an earlier, interrupted run leaves: a partial download of full size and its meta file.
    void leavePartialDownload() {
        DownloadGlobalData data;
        DownloadInput in = input();
        ASSERT_TRUE(data.init(in));
        ASSERT_TRUE(data.initializeFileDownload());
        ASSERT_TRUE(data.getMetaFile().writeSegmentProgress(0, kSegment));
        ASSERT_TRUE(data.getOutputFile().writeSegment(0, bytes.data(), kSegment));
    }

    // The planted name becomes a link to the victim, a file of someone else's.
    void plantLink(const Bytes& victimBytes) {
        writeFile(victim, victimBytes);
        std::remove(plantedPath().c_str());
        ASSERT_EQ(symlink(victim.c_str(), plantedPath().c_str()), 0);
    }

    static bool isLink(const std::string& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
    }

    Bytes bytes;
    const std::string victim = environment.base() + "/victim";
};

TEST_P(PlantedLinkTest, TheLinkIsNeverWrittenThrough) {
    const PlantedLinkCase& c = GetParam();
    const std::string scenario = R"({"path":"/r.bin","body_file":")" + content + R"(","etag":"\"v1\"")";
    server.setScenario(scenario + "}");
    Bytes victimBytes = randomBytes(kSize, 97);
    if (c.when == When::kBeforeAFreshStart) {
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(plantLink(victimBytes));
    } else if (c.when == When::kOverAResumable) {
        ASSERT_NO_FATAL_FAILURE(leavePartialDownload());
        // The victim looks like what it replaces, so only the link tells them apart.
        if (c.planted == Planted::kMeta) {
            ASSERT_TRUE(readFile(meta(), victimBytes));
        }
        ASSERT_NO_FATAL_FAILURE(plantLink(victimBytes));
    } else {
        server.setScenario(scenario + R"(,"faults":[{"kind":"gate","after_bytes":1000}]})");
    }

    EngineSession session;
    DownloadInput in = input();
    ASSERT_EQ(session.handle->init(&in), 0);
    ASSERT_EQ(session.handle->start(), 0);
    if (c.when == When::kDuringTheDownload) {
        ASSERT_TRUE(server.waitUntilHeld("/r.bin"));
        ASSERT_TRUE(exists(plantedPath())) << "the engine made its files before the first request";
        ASSERT_NO_FATAL_FAILURE(plantLink(victimBytes));
        server.openGate("/r.bin");
    }
    ASSERT_TRUE(session.recorder.waitForEnd());

    Bytes victimAfter;
    ASSERT_TRUE(readFile(victim, victimAfter));
    EXPECT_TRUE(victimAfter == victimBytes) << "the engine wrote through the link";
    EXPECT_FALSE(isLink(folder + "/r.bin")) << "the link was renamed into the finished file's place";
    if (c.completes) {
        EXPECT_EQ(session.recorder.errors(), 0) << session.recorder.error().message;
        Bytes got;
        EXPECT_TRUE(readFile(folder + "/r.bin", got));
        EXPECT_TRUE(got == bytes) << "the finished file differs from the server's";
    } else {
        EXPECT_EQ(session.recorder.errors(), 1);
        EXPECT_FALSE(session.recorder.error().message.empty());
        EXPECT_FALSE(exists(folder + "/r.bin"));
    }
}

const PlantedLinkCase kPlantedLinkCases[] = {
    {"partial_before_a_fresh_start", Planted::kPartial, When::kBeforeAFreshStart, true},
    {"meta_before_a_fresh_start", Planted::kMeta, When::kBeforeAFreshStart, true},
    {"partial_over_a_resumable_download", Planted::kPartial, When::kOverAResumable, true},
    {"meta_over_a_resumable_download", Planted::kMeta, When::kOverAResumable, true},
    // The bytes went to a file that no longer has the name: nothing can be finished from it.
    {"partial_during_the_download", Planted::kPartial, When::kDuringTheDownload, false},
    {"meta_during_the_download", Planted::kMeta, When::kDuringTheDownload, true},
};

INSTANTIATE_TEST_SUITE_P(Links, PlantedLinkTest, ::testing::ValuesIn(kPlantedLinkCases),
                         [](const ::testing::TestParamInfo<PlantedLinkCase>& info) { return info.param.name; });

// A plain file at the name that is not the download's own: made by another user, or ours with a
// second name someone else keeps. Whoever holds it open sees none of the download's bytes.
enum class Foreign { kAnotherUsersFile, kASecondName };

struct PlantedFileCase {
    const char* name;
    Planted planted;
    When when;  // before a fresh start or over a resumable download
    Foreign foreign;
};

void PrintTo(const PlantedFileCase& c, std::ostream* out) { *out << c.name; }

class PlantedFileTest : public LoopbackEngineTest, public ::testing::WithParamInterface<PlantedFileCase> {
protected:
    std::string partial() const { return folder + "/r.bin.zamdownload"; }
    std::string planted() const { return GetParam().planted == Planted::kPartial ? partial() : partial() + ".zamd"; }
};

TEST_P(PlantedFileTest, IsNeverWrittenInto) {
    constexpr uid_t kNobody = 65534;
    const PlantedFileCase& c = GetParam();
    if (c.foreign == Foreign::kAnotherUsersFile && geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    const Bytes bytes = randomBytes(kSize, 43);
    writeFile(content, bytes);
    server.setScenario(R"({"path":"/r.bin","body_file":")" + content + R"(","etag":"\"v1\""})");
    const DownloadInput in = inputFor("/r.bin", kSegment, 1);
    if (c.when == When::kBeforeAFreshStart) {
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        writeFile(planted(), randomBytes(kSize, 97));
    } else {
        // An earlier run's partial download and meta file, exactly as it left them.
        DownloadGlobalData data;
        DownloadInput earlier = in;
        ASSERT_TRUE(data.init(earlier));
        ASSERT_TRUE(data.initializeFileDownload());
        ASSERT_TRUE(data.getMetaFile().writeSegmentProgress(0, kSegment));
        ASSERT_TRUE(data.getOutputFile().writeSegment(0, bytes.data(), kSegment));
    }
    if (c.foreign == Foreign::kAnotherUsersFile) {
        ASSERT_EQ(chown(planted().c_str(), kNobody, kNobody), 0);
    } else {
        ASSERT_EQ(link(planted().c_str(), (environment.base() + "/second-name").c_str()), 0);
    }
    // Held open by its owner, as a file swapped into an installer's place would be.
    const int held = open(planted().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    Bytes before;
    ASSERT_TRUE(readFile(planted(), before));

    EngineSession session;
    DownloadInput started = in;
    ASSERT_EQ(session.handle->init(&started), 0);
    ASSERT_EQ(session.handle->start(), 0);
    ASSERT_TRUE(session.recorder.waitForEnd());

    Bytes after(before.size() + 1);
    const ssize_t n = pread(held, after.data(), after.size(), 0);
    close(held);
    ASSERT_GE(n, 0);
    after.resize(static_cast<size_t>(n));
    EXPECT_TRUE(after == before) << "the engine wrote into a file it did not make";
    EXPECT_EQ(session.recorder.errors(), 0) << session.recorder.error().message;
    Bytes got;
    EXPECT_TRUE(readFile(folder + "/r.bin", got));
    EXPECT_TRUE(got == bytes) << "the finished file differs from the server's";
}

const PlantedFileCase kPlantedFileCases[] = {
    {"another_users_partial_before_a_fresh_start", Planted::kPartial, When::kBeforeAFreshStart,
     Foreign::kAnotherUsersFile},
    {"another_users_partial_over_a_resumable_download", Planted::kPartial, When::kOverAResumable,
     Foreign::kAnotherUsersFile},
    {"another_users_meta_over_a_resumable_download", Planted::kMeta, When::kOverAResumable, Foreign::kAnotherUsersFile},
    {"partial_with_a_second_name_before_a_fresh_start", Planted::kPartial, When::kBeforeAFreshStart,
     Foreign::kASecondName},
    {"partial_with_a_second_name_over_a_resumable_download", Planted::kPartial, When::kOverAResumable,
     Foreign::kASecondName},
    {"meta_with_a_second_name_over_a_resumable_download", Planted::kMeta, When::kOverAResumable, Foreign::kASecondName},
};

INSTANTIATE_TEST_SUITE_P(Files, PlantedFileTest, ::testing::ValuesIn(kPlantedFileCases),
                         [](const ::testing::TestParamInfo<PlantedFileCase>& info) { return info.param.name; });

}  // namespace
