// The adaptive thread controller: two moving means over eight samples, a stability test and a band.
#include "download/AdaptiveThreadController.h"

#include <algorithm>

#include "download/EngineLogger.h"

namespace {
constexpr uint32_t kBacklogLimit = 501;
}

const char* AdaptiveThreadController::stateToString(int32_t state) {
    switch (state) {
        case kAdaptiveDamp: return "DAMP";
        case kAdaptiveExcite: return "EXCITE";
        case kAdaptiveProbeExcite: return "PROBE_EXCITE";
        case kAdaptiveProbeDamp: return "PROBE_DAMP";
        default: return "NOP";
    }
}

void AdaptiveThreadController::addSample() {
    ringIndex_ = (ringIndex_ + 1) % 8;
    sampleCount_ = std::min(sampleCount_ + 1, 8);
    updateStatistics();
}

void AdaptiveThreadController::updateStatistics() {
    uint64_t total = manager_.totalReceivedBytes();
    uint32_t now = manager_.nowSeconds();
    uint64_t sample = 0;
    if (lastSampleTime_ == 0) {
        lastSampleTime_ = now;
        lastTotalBytes_ = total;
    } else if (now != lastSampleTime_) {
        uint64_t rate = (total - lastTotalBytes_) / (now - lastSampleTime_);
        lastSampleTime_ = now;
        lastTotalBytes_ = total;
        sample = rate / 1000;
    }
    uint64_t count = static_cast<uint64_t>(sampleCount_);
    throughputSum_ -= throughputRing_[ringIndex_];
    throughputRing_[ringIndex_] = sample;
    throughputSum_ += sample;
    movingMean_ = throughputSum_ / count;

    uint64_t old = meanRing_[ringIndex_];
    meanSum_ -= old;
    meanSquareSum_ -= old * old;
    meanRing_[ringIndex_] = movingMean_;
    meanSum_ += movingMean_;
    meanSquareSum_ += movingMean_ * movingMean_;
    meanOfMeans_ = meanSum_ / count;
    meanSquare_ = meanSquareSum_ / count;
    variance_ = meanSquare_ - meanOfMeans_ * meanOfMeans_;
}

void AdaptiveThreadController::reportStatistics() {
    AdaptiveStatistics statistics{movingMean_,
                                  reference_,
                                  variance_,
                                  stateToString(lastDecisionState_),
                                  stateToString(alwaysNop_),
                                  backlogOk_ ? "NOP" : "DAMP",
                                  divergenceLabel_,
                                  decisionValid_};
    manager_.reportStatistics(&statistics, static_cast<int>(sizeof statistics));
}

int32_t AdaptiveThreadController::evaluate(bool& valid) {
    decisionValid_ = 0;
    alwaysNop_ = 1;
    uint32_t queued = manager_.queuedSerializationJobs();
    backlogOk_ = queued < kBacklogLimit ? 1 : 0;
    if (!backlogOk_) {
        // The writer lags behind: take a download thread away.
        state_ = kAdaptiveDamp;
        valid = true;
        return kAdaptiveDamp;
    }
    int32_t result = decide();
    valid = decisionValid_ != 0;
    return valid ? result : kAdaptiveNop;
}

int32_t AdaptiveThreadController::decide() {
    uint64_t tolerance = static_cast<uint64_t>(static_cast<double>(meanOfMeans_) * 0.1);
    decisionValid_ = variance_ <= tolerance * tolerance ? 1 : 0;
    if (!decisionValid_) return kAdaptiveNop;

    bool probing = state_ == kAdaptiveProbeExcite || state_ == kAdaptiveProbeDamp;
    uint64_t band = static_cast<uint64_t>(static_cast<double>(reference_) * (probing ? 0.05 : 0.1));
    int32_t result = kAdaptiveNop;
    const char* label;
    if (movingMean_ > reference_ + band) {
        stableCount_ = 0;
        switch (state_) {
            case kAdaptiveProbeDamp:
            case kAdaptiveDamp: state_ = kAdaptiveDamp; result = kAdaptiveDamp; break;
            default: state_ = kAdaptiveExcite; result = kAdaptiveExcite; break;
        }
        label = "Positive Divergence";
    } else if (movingMean_ + band < reference_) {
        stableCount_ = 0;
        switch (state_) {
            case kAdaptiveDamp: state_ = kAdaptiveExcite; result = kAdaptiveExcite; break;
            case kAdaptiveProbeExcite: state_ = kAdaptiveNop; result = kAdaptiveDamp; break;
            case kAdaptiveProbeDamp: state_ = kAdaptiveNop; result = kAdaptiveExcite; break;
            default: state_ = kAdaptiveDamp; result = kAdaptiveDamp; break;
        }
        label = "negative Divergence";
    } else {
        if (state_ == kAdaptiveNop) {
            ++stableCount_;
            DLE_TRACE("the stability count is %d", stableCount_);
        } else {
            stableCount_ = 0;
        }
        switch (state_) {
            case kAdaptiveDamp: result = kAdaptiveDamp; break;
            case kAdaptiveExcite: state_ = kAdaptiveNop; result = kAdaptiveNop; break;
            case kAdaptiveProbeExcite: state_ = kAdaptiveNop; result = kAdaptiveDamp; break;
            case kAdaptiveProbeDamp: state_ = kAdaptiveDamp; result = kAdaptiveDamp; break;
            default:
                if (stableCount_ < 2) {
                    result = kAdaptiveNop;
                } else if (lastProbe_ == kAdaptiveProbeExcite) {
                    state_ = kAdaptiveProbeDamp;
                    lastProbe_ = kAdaptiveProbeDamp;
                    DLE_TRACE("probe damping the system - %d", state_);
                    result = kAdaptiveDamp;
                    stableCount_ = 0;
                } else {
                    state_ = kAdaptiveProbeExcite;
                    lastProbe_ = kAdaptiveProbeExcite;
                    DLE_TRACE("probe exciting the system - %d", state_);
                    result = kAdaptiveExcite;
                    stableCount_ = 0;
                }
                break;
        }
        label = "Equal Divergence";
    }
    divergenceLabel_ = label;
    reference_ = movingMean_;
    lastDecisionState_ = state_;
    return result;
}
