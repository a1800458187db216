// The run's seams: environment overrides of the lock key path and sleeps, and test hooks.
#include "bootstrapper/app/BootstrapSeams.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/support/ZORUtils.h"
#include "foundation/utils/FileUtils.h"

namespace bootstrap_seams {
namespace {

SleepFunction& sleepHook() {
    static SleepFunction hook;
    return hook;
}

LinkOpener& linkOpenerHook() {
    static LinkOpener hook;
    return hook;
}

const char* environmentValue(const char* variable) {
    const char* value = std::getenv(variable);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

}  // namespace

LockKeyPath lockKeyPath() {
    const char* value = environmentValue(kLockKeyPathVariable);
    if (value == nullptr) {
        return {kDefaultLockKeyPath, false};
    }
    // ftok on a missing path fails, and every lock of the run would then fail with it.
    if (!ZEZUUtils::FileUtils::PathExists(value)) {
        return {kDefaultLockKeyPath, true};
    }
    return {value, false};
}

uint32_t microsecondsFromEnvironment(const char* variable, uint32_t productionValue) {
    const char* value = environmentValue(variable);
    if (value == nullptr) {
        return productionValue;
    }
    uint64_t number = 0;
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return productionValue;
        }
        number = number * 10 + static_cast<uint64_t>(*c - '0');
        if (number > UINT32_MAX) {
            return productionValue;
        }
    }
    return static_cast<uint32_t>(number);
}

void sleepMicroseconds(uint32_t microseconds) {
    if (sleepHook()) {
        sleepHook()(microseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

void testing::setSleep(SleepFunction sleep) { sleepHook() = std::move(sleep); }

void openLink(const std::string& url) {
    if (linkOpenerHook()) {
        linkOpenerHook()(url);
        return;
    }
    ZORUtils::openURL(url);
}

void testing::setLinkOpener(LinkOpener opener) { linkOpenerHook() = std::move(opener); }

}  // namespace bootstrap_seams
