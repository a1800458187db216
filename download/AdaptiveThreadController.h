// Throughput-driven advice on adding or removing one download worker thread.
#pragma once

#include <cstdint>
#include <string>

// What the controller reads of the download: kept behind an interface so it can be driven in tests.
class AdaptiveInputs {
public:
    virtual ~AdaptiveInputs() = default;
    virtual uint64_t totalReceivedBytes() = 0;
    virtual uint32_t queuedSerializationJobs() = 0;
    virtual uint32_t nowSeconds() = 0;  // monotonic
    virtual void reportStatistics(const void* statistics, int length) = 0;  // event 11
};

enum AdaptiveState : int32_t {
    kAdaptiveDamp = 0,
    kAdaptiveNop = 1,
    kAdaptiveExcite = 2,
    kAdaptiveProbeExcite = 3,
    kAdaptiveProbeDamp = 4,
};

struct AdaptiveStatistics {
    uint64_t movingMean;
    uint64_t reference;
    uint64_t variance;
    std::string lastDecisionState;
    std::string alwaysNop;
    std::string backlogOk;
    std::string divergenceLabel;
    uint32_t decisionValid;
};

class AdaptiveThreadController {
public:
    explicit AdaptiveThreadController(AdaptiveInputs& manager) : manager_(manager) {}

    void addSample();
    void reportStatistics();
    // 0 DAMP, 1 NOP, 2 EXCITE; valid says whether a decision was taken.
    int32_t evaluate(bool& valid);
    void setState(int32_t state) { state_ = state; }
    int32_t state() const { return state_; }
    uint64_t movingMean() const { return movingMean_; }
    uint64_t variance() const { return variance_; }
    uint64_t reference() const { return reference_; }
    static const char* stateToString(int32_t state);

private:
    void updateStatistics();
    int32_t decide();

    int32_t state_ = kAdaptiveExcite;
    int32_t ringIndex_ = 7;
    int32_t sampleCount_ = 0;
    int32_t lastDecisionState_ = kAdaptiveNop;
    int32_t alwaysNop_ = 1;
    int32_t backlogOk_ = 1;
    uint64_t throughputRing_[8] = {};
    uint64_t meanRing_[8] = {};
    uint32_t lastSampleTime_ = 0;
    std::string divergenceLabel_;
    uint8_t decisionValid_ = 0;
    uint64_t lastTotalBytes_ = 0;
    uint64_t throughputSum_ = 0;
    uint64_t movingMean_ = 0;
    uint64_t meanSum_ = 0;
    uint64_t meanSquareSum_ = 0;
    uint64_t meanOfMeans_ = 0;
    uint64_t meanSquare_ = 0;
    uint64_t variance_ = 0;
    uint64_t reference_ = 0;
    int32_t stableCount_ = 0;
    int32_t lastProbe_ = kAdaptiveProbeExcite;
    AdaptiveInputs& manager_;
};
