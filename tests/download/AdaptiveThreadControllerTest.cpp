// The adaptive thread controller driven by a scripted clock, byte counter and serializer backlog.
#include "download/AdaptiveThreadController.h"

#include <gtest/gtest.h>

namespace {

class ScriptedInputs : public AdaptiveInputs {
public:
    uint64_t totalReceivedBytes() override { return bytes; }
    uint32_t queuedSerializationJobs() override { return queued; }
    uint32_t nowSeconds() override { return now; }
    void reportStatistics(const void*, int length) override { lastStatisticsLength = length; }

    uint64_t bytes = 0;
    uint32_t queued = 0;
    uint32_t now = 100;
    int lastStatisticsLength = 0;
};

class AdaptiveThreadControllerTest : public testing::Test {
protected:
    // One sample a second at the given rate (KB/s of 1000 bytes).
    void feed(uint64_t kilobytesPerSecond, int samples) {
        for (int i = 0; i < samples; ++i) {
            inputs.now += 1;
            inputs.bytes += kilobytesPerSecond * 1000;
            controller.addSample();
        }
    }
    int32_t evaluate(bool& valid) {
        valid = false;
        return controller.evaluate(valid);
    }

    ScriptedInputs inputs;
    AdaptiveThreadController controller{inputs};
};

TEST_F(AdaptiveThreadControllerTest, SecondSampleInTheSameSecondIsZeroAndLowersTheMean) {
    controller.addSample();  // the first sample only sets the clock
    feed(1000, 3);
    uint64_t before = controller.movingMean();
    EXPECT_EQ(before, 750u);  // samples 0, 1000, 1000, 1000
    inputs.bytes += 5000000;  // data arrives, but within the same second
    controller.addSample();
    EXPECT_LT(controller.movingMean(), before);
}

TEST_F(AdaptiveThreadControllerTest, BacklogOf501SerializationJobsDampsWithoutLookingAtThroughput) {
    controller.addSample();
    bool valid = false;
    inputs.queued = 500;
    int32_t decision = evaluate(valid);
    EXPECT_FALSE(valid && decision == kAdaptiveDamp) << "500 queued jobs are no backlog";
    inputs.queued = 501;
    EXPECT_EQ(evaluate(valid), kAdaptiveDamp);
    EXPECT_TRUE(valid);
    EXPECT_EQ(controller.state(), kAdaptiveDamp);
}

TEST_F(AdaptiveThreadControllerTest, UnstableThroughputGivesNoDecision) {
    controller.addSample();
    feed(1000, 2);
    feed(5000, 2);
    bool valid = true;
    EXPECT_EQ(evaluate(valid), kAdaptiveNop);
    EXPECT_FALSE(valid);
    EXPECT_EQ(controller.state(), kAdaptiveExcite) << "an unstable evaluation changes nothing";
}

TEST_F(AdaptiveThreadControllerTest, SteadyThroughputExcitesThenSettlesThenProbesAlternately) {
    controller.addSample();
    feed(1000, 16);
    EXPECT_EQ(controller.variance(), 0u);
    bool valid = false;
    // Reference 0: the first stable throughput is a rise.
    EXPECT_EQ(evaluate(valid), kAdaptiveExcite);
    EXPECT_TRUE(valid);
    EXPECT_EQ(controller.reference(), 1000u);
    feed(1000, 1);
    EXPECT_EQ(evaluate(valid), kAdaptiveNop);  // EXCITE in band settles to NOP
    EXPECT_EQ(controller.state(), kAdaptiveNop);
    feed(1000, 1);
    EXPECT_EQ(evaluate(valid), kAdaptiveNop);  // stable count 1
    feed(1000, 1);
    EXPECT_EQ(evaluate(valid), kAdaptiveDamp);  // stable count 2: the first probe damps
    EXPECT_EQ(controller.state(), kAdaptiveProbeDamp);
    // In band while probing down: the damping stands.
    feed(1000, 1);
    EXPECT_EQ(evaluate(valid), kAdaptiveDamp);
    EXPECT_EQ(controller.state(), kAdaptiveDamp);
}

TEST_F(AdaptiveThreadControllerTest, ProbeExciteIsConfirmedByARiseAndUndoneByAFall) {
    struct Case {
        uint64_t newRate;
        int32_t decision;
        int32_t state;
    };
    // Reference 1000 KB/s; the probing band is 5 percent.
    const Case cases[] = {
        {1100, kAdaptiveExcite, kAdaptiveExcite},  // rise: keep the probe's thread
        {900, kAdaptiveDamp, kAdaptiveNop},        // fall: take the probe's thread back
        {1030, kAdaptiveDamp, kAdaptiveNop},       // in band: the probe brought nothing
    };
    for (const Case& c : cases) {
        ScriptedInputs scripted;
        AdaptiveThreadController probe(scripted);
        auto feedRate = [&](uint64_t rate, int samples) {
            for (int i = 0; i < samples; ++i) {
                scripted.now += 1;
                scripted.bytes += rate * 1000;
                probe.addSample();
            }
        };
        probe.addSample();
        feedRate(1000, 16);
        bool valid = false;
        probe.evaluate(valid);  // reference becomes 1000
        ASSERT_EQ(probe.reference(), 1000u);
        probe.setState(kAdaptiveProbeExcite);
        feedRate(c.newRate, 16);
        EXPECT_EQ(probe.evaluate(valid), c.decision) << "rate " << c.newRate;
        EXPECT_TRUE(valid);
        EXPECT_EQ(probe.state(), c.state) << "rate " << c.newRate;
    }
}

TEST_F(AdaptiveThreadControllerTest, StatisticsAreReportedWithTheirRealSize) {
    controller.addSample();
    controller.reportStatistics();
    EXPECT_EQ(inputs.lastStatisticsLength, static_cast<int>(sizeof(AdaptiveStatistics)));
}

}  // namespace
