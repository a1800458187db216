// The countdown behind the engine's fault seams, which let tests reach failures that otherwise need
// memory to run out.
#pragma once

#include <atomic>

class InjectedFaults {
public:
    // The next `count` calls of fails() after the first `skip` answer true.
    void arm(int skip, int count) {
        toPass_.store(skip);
        toFail_.store(count);
    }
    bool fails() {
        if (toFail_.load() <= 0) return false;
        if (toPass_.fetch_sub(1) > 0) return false;
        return toFail_.fetch_sub(1) > 0;
    }

private:
    std::atomic<int> toPass_{0};
    std::atomic<int> toFail_{0};
};
