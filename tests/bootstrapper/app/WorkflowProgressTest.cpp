// State 9's progress values, the state-14 install curve, the version file's URL and the seams.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/app/ZORWorkflowManager.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using test_support::ScopedEnvironment;

struct ProgressCase {
    const char* name;
    int32_t manifestState;
    float percent;
    uint32_t ticksBefore;
    bool shown;
    float expected;
    uint32_t ticksAfter;
};

const ProgressCase kProgressCases[] = {
    {"manifest_fetch", 1, 0.0f, 0, true, 2.5f, 0},
    {"validation_fetch", 2, 0.0f, 0, true, 5.0f, 0},
    {"asset_start", 3, 0.0f, 0, true, 5.0f, 0},
    {"asset_half", 3, 50.0f, 0, true, 37.5f, 0},
    {"asset_whole", 3, 100.0f, 0, true, 70.0f, 0},
    {"unknown_size_first_step", 3, -1.0f, 0, true, 5.0f, 1},
    // Floating division: 1/36 of a percent, not 0.
    {"unknown_size_second_step", 3, -1.0f, 1, true, 5.0f + 65.0f / 3600.0f, 2},
    {"unknown_size_midway", 3, -1.0f, 1800, true, 37.5f, 1801},
    {"unknown_size_last_rise", 3, -1.0f, 3599, true, 5.0f + 3599.0f * 65.0f / 3600.0f, 3600},
    {"unknown_size_capped", 3, -1.0f, 3600, true, 70.0f, 3600},
    {"asset_fetched_shows_nothing", 4, 0.0f, 7, false, 0.0f, 7},
    {"next_asset_shows_nothing", 5, 0.0f, 0, false, 0.0f, 0},
    {"all_done_shows_nothing", 7, 0.0f, 0, false, 0.0f, 0},
    {"not_started_shows_nothing", 0, 0.0f, 0, false, 0.0f, 0},
};

class TransferProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(TransferProgressTest, Value) {
    const ProgressCase& c = GetParam();
    uint32_t ticks = c.ticksBefore;
    const std::optional<float> shown = ZORWorkflowManager::transferProgress(c.manifestState, c.percent, ticks);
    EXPECT_EQ(shown.has_value(), c.shown);
    if (shown && c.shown) {
        EXPECT_NEAR(*shown, c.expected, 1e-4);
    }
    EXPECT_EQ(ticks, c.ticksAfter);
}

INSTANTIATE_TEST_SUITE_P(States, TransferProgressTest, ::testing::ValuesIn(kProgressCases),
                         [](const ::testing::TestParamInfo<ProgressCase>& info) { return info.param.name; });

TEST(TransferProgressTest, UnknownSizeRisesEveryStepAndStaysAt70) {
    uint32_t ticks = 0;
    float previous = 0.0f;
    for (int step = 0; step < 5000; ++step) {
        const float shown = *ZORWorkflowManager::transferProgress(3, -1.0f, ticks);
        if (step <= 3600) {
            EXPECT_NEAR(shown, 5.0f + static_cast<float>(step) * 65.0f / 3600.0f, 1e-3) << step;
        } else {
            EXPECT_FLOAT_EQ(shown, 70.0f) << step;
        }
        EXPECT_GE(shown, previous);
        previous = shown;
    }
    EXPECT_EQ(ticks, 3600u);
}

TEST(InstallCurveTest, StartsAt70AndNeverShows100) {
    InstallCurve curve;
    double counter = 0;
    const std::optional<float> first = curve.advance(counter);
    ASSERT_TRUE(first);
    EXPECT_FLOAT_EQ(*first, 70.0f);
    EXPECT_DOUBLE_EQ(counter, 1.0);
    float previous = *first;
    int shownSteps = 1;
    for (int step = 0; step < 200000; ++step) {
        const std::optional<float> shown = curve.advance(counter);
        if (!shown) {
            continue;
        }
        ++shownSteps;
        EXPECT_LT(*shown, 100.0f);
        EXPECT_GE(*shown, previous);
        previous = *shown;
    }
    EXPECT_GT(previous, 99.0f);
    EXPECT_GT(shownSteps, 1000);
}

TEST(InstallCurveTest, StepShrinksOnlyNearTheEndAndNotBelowItsFloor) {
    InstallCurve curve;
    double counter = 0;
    // Until 30 / divisor exceeds what is left, the step stays 1: 25 > 100 - shown from 75 on.
    for (int step = 0; step < 160; ++step) {
        curve.advance(counter);
    }
    EXPECT_DOUBLE_EQ(curve.step, 1.0);
    EXPECT_DOUBLE_EQ(curve.divisor, 1.2);
    for (int step = 0; step < 100000; ++step) {
        curve.advance(counter);
    }
    EXPECT_LT(curve.step, 1.0);
    EXPECT_LE(curve.step, 0.005);
    EXPECT_GT(curve.step, 0.005 / 1.2);
}

struct UrlCase {
    const char* zameeurl;
    const char* expected;
};

const UrlCase kUrlCases[] = {
    {"https://host.example/product/manifest.xml", "https://host.example/product/version.xml"},
    {"https://host.example/manifest.xml", "https://host.example/version.xml"},
    {"https://host.example/product/", "https://host.example/product/version.xml"},
    {"https://host.example/", "https://host.example/version.xml"},
    // No path: the authority is kept whole, never "https://version.xml".
    {"https://host.example", "https://host.example/version.xml"},
    {"http://127.0.0.1:8080", "http://127.0.0.1:8080/version.xml"},
    {"http://127.0.0.1:8080/a/b/c/manifest.xml?x=1", "http://127.0.0.1:8080/a/b/c/version.xml"},
    // A "/" in the query or a query without a path is no folder.
    {"https://host.example/product/manifest.xml?sig=a/b", "https://host.example/product/version.xml"},
    {"https://host.example?x=/y", "https://host.example/version.xml"},
    {"http://[::1]:8080/manifest.xml", "http://[::1]:8080/version.xml"},
    {"manifest.xml", "manifest.xml/version.xml"},
    {"folder/manifest.xml", "folder/version.xml"},
    {"", "/version.xml"},
};

TEST(VersionFileUrlTest, BesideTheManifest) {
    for (const UrlCase& c : kUrlCases) {
        EXPECT_EQ(ZORWorkflowManager::versionFileURL(c.zameeurl), c.expected) << c.zameeurl;
    }
}

struct SleepCase {
    const char* value;
    uint32_t expected;
};

const SleepCase kSleepCases[] = {
    {nullptr, 500000},
    {"", 500000},
    {"0", 0},
    {"1000", 1000},
    {"abc", 500000},
    {"-5", 500000},
    {"1.5", 500000},
    {" 12", 500000},
    {"12 ", 500000},
    {"99999999999", 500000},
    {"4294967295", 4294967295u},
};

TEST(SeamsTest, SleepFromEnvironmentIsDecimalOrProduction) {
    for (const SleepCase& c : kSleepCases) {
        ScopedEnvironment variable(bootstrap_seams::kLockPollVariable, c.value);
        EXPECT_EQ(bootstrap_seams::microsecondsFromEnvironment(bootstrap_seams::kLockPollVariable, 500000), c.expected)
            << (c.value ? c.value : "(unset)");
    }
}

TEST(SeamsTest, LockKeyPathMustExist) {
    test_support::TemporaryEnvironment environment;
    const std::string keyFile = environment.base() + "/lock-key";
    std::ofstream(keyFile) << "key";
    {
        ScopedEnvironment variable(bootstrap_seams::kLockKeyPathVariable, nullptr);
        EXPECT_EQ(bootstrap_seams::lockKeyPath().path, "/tmp");
        EXPECT_FALSE(bootstrap_seams::lockKeyPath().rejected);
    }
    {
        ScopedEnvironment variable(bootstrap_seams::kLockKeyPathVariable, "");
        EXPECT_EQ(bootstrap_seams::lockKeyPath().path, "/tmp");
        EXPECT_FALSE(bootstrap_seams::lockKeyPath().rejected);
    }
    {
        ScopedEnvironment variable(bootstrap_seams::kLockKeyPathVariable, keyFile.c_str());
        EXPECT_EQ(bootstrap_seams::lockKeyPath().path, keyFile);
    }
    {
        ScopedEnvironment variable(bootstrap_seams::kLockKeyPathVariable, environment.base().c_str());
        EXPECT_EQ(bootstrap_seams::lockKeyPath().path, environment.base());
    }
    {
        const std::string missing = environment.base() + "/missing";
        ScopedEnvironment variable(bootstrap_seams::kLockKeyPathVariable, missing.c_str());
        EXPECT_EQ(bootstrap_seams::lockKeyPath().path, "/tmp");
        EXPECT_TRUE(bootstrap_seams::lockKeyPath().rejected);
    }
}

TEST(SeamsTest, SleepHookGetsTheDuration) {
    std::vector<uint32_t> durations;
    bootstrap_seams::testing::setSleep([&durations](uint32_t microseconds) { durations.push_back(microseconds); });
    bootstrap_seams::sleepMicroseconds(500000);
    bootstrap_seams::sleepMicroseconds(2000000);
    bootstrap_seams::testing::setSleep({});
    EXPECT_EQ(durations, (std::vector<uint32_t>{500000, 2000000}));
}

}  // namespace
