// Auto-reset events: one thread sets, another waits with an optional time-out.
#include "foundation/utils/EventUtils.h"

#include <atomic>
#include <cerrno>
#include <limits>
#include <new>

#include "foundation/utils/TestSeams.h"
#include "foundation/utils/UtilsLogging.h"

namespace ZEZUUtils {

namespace {

constexpr const char* kClassName = "ZEZUEvents";

int realConditionWait(pthread_cond_t* condition, pthread_mutex_t* mutex, const struct timespec* deadline) {
    return deadline ? pthread_cond_timedwait(condition, mutex, deadline) : pthread_cond_wait(condition, mutex);
}

std::atomic<ZEZUEventsIntl::ConditionWaitFunction> conditionWait{&realConditionWait};

// Now plus the time-out on the monotonic clock, clamped so huge time-outs cannot overflow
// (an overflowed deadline would make every wait fail with EINVAL).
struct timespec deadlineAfter(int64_t milliseconds) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    constexpr int64_t kMaxSeconds = int64_t{1} << 40;  // about 35000 years
    int64_t seconds = milliseconds / 1000;
    long nanoseconds = static_cast<long>(milliseconds % 1000) * 1000000L + now.tv_nsec;
    if (seconds > kMaxSeconds) seconds = kMaxSeconds;
    seconds += now.tv_sec;
    if (nanoseconds >= 1000000000L) {
        nanoseconds -= 1000000000L;
        ++seconds;
    }
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(seconds);
    deadline.tv_nsec = nanoseconds;
    return deadline;
}

}  // namespace

ZEZUEventsIntl::ZEZUEventsIntl() : unsignalled_(false) {}

ZEZUEventsIntl::~ZEZUEventsIntl() { CloseHandleIntl(); }

void testing::setConditionWait(ZEZUEventsIntl::ConditionWaitFunction wait) {
    conditionWait.store(wait ? wait : &realConditionWait);
}

bool ZEZUEventsIntl::CreateEvntIntl() {
    if (pthread_mutex_init(&mutex_, nullptr) != 0) {
        logMessage(nullptr, zezu::ERROR, "ZEZUEventsIntl", "Failed to initialise the Mutex");
        return false;
    }
    pthread_condattr_t attributes;
    bool conditionMade = pthread_condattr_init(&attributes) == 0;
    if (conditionMade) {
        // Wall-clock changes must neither stretch nor cut a wait.
        conditionMade = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                        pthread_cond_init(&condition_, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (!conditionMade) {
        logMessage(nullptr, zezu::ERROR, "ZEZUEventsIntl", "Failed to initialise the Condition Variable");
        pthread_mutex_destroy(&mutex_);
        return false;
    }
    initialised_ = true;
    return true;
}

void ZEZUEventsIntl::ResetEvntIntl() {
    pthread_mutex_lock(&mutex_);
    unsignalled_ = true;
    pthread_mutex_unlock(&mutex_);
}

void ZEZUEventsIntl::SetEvntIntl() {
    pthread_mutex_lock(&mutex_);
    unsignalled_ = false;
    pthread_cond_signal(&condition_);
    pthread_mutex_unlock(&mutex_);
}

int ZEZUEventsIntl::WaitforEvntIntl(int64_t milliseconds) {
    if (milliseconds < 0 && milliseconds != -1) milliseconds = 0;
    pthread_mutex_lock(&mutex_);
    int result = 0;
    if (unsignalled_) {
        // One absolute deadline, so spurious wake-ups do not restart the full time-out.
        struct timespec deadline;
        const struct timespec* limit = nullptr;
        if (milliseconds != -1) {
            deadline = deadlineAfter(milliseconds);
            limit = &deadline;
        }
        ConditionWaitFunction wait = conditionWait.load();
        while (unsignalled_) {
            int error = wait(&condition_, &mutex_, limit);
            if (error == ETIMEDOUT) {
                result = 1;
                break;
            }
            if (error != 0) {
                // A persistent error would spin here forever.
                result = 2;
                break;
            }
        }
        // A set that raced the time-out or the error is here now: take it.
        if (!unsignalled_) result = 0;
    }
    // Consumed under the same lock as the wait: a later set survives to the next wait.
    unsignalled_ = true;
    pthread_mutex_unlock(&mutex_);
    return result;
}

void ZEZUEventsIntl::CloseHandleIntl() {
    if (!initialised_) return;
    pthread_cond_destroy(&condition_);
    pthread_mutex_destroy(&mutex_);
    initialised_ = false;
}

ZEZU_Event_t EventUtils::CreateEvnt() {
    auto* event = new (std::nothrow) ZEZUEventsIntl();
    if (!event) return nullptr;
    if (!event->CreateEvntIntl()) {
        logMessage(nullptr, zezu::WARN, kClassName, "Failed in CreateEvnt");
        delete event;
        return nullptr;
    }
    event->ResetEvntIntl();
    return event;
}

void EventUtils::SetEvnt(ZEZU_Event_t event) {
    if (!event) {
        logMessage(nullptr, zezu::ERROR, kClassName, "NULL ZEZU_Event_t object passed in SetEvnt ");
        return;
    }
    static_cast<ZEZUEventsIntl*>(event)->SetEvntIntl();
}

int EventUtils::WaitforEvent(ZEZU_Event_t event, int64_t milliseconds) {
    if (!event) {
        logMessage(nullptr, zezu::ERROR, kClassName, "NULL ZEZU_Event_t object passed in WaitforEvent ");
        return 2;
    }
    return static_cast<ZEZUEventsIntl*>(event)->WaitforEvntIntl(milliseconds);
}

int EventUtils::DestroyEvent(ZEZU_Event_t event) {
    if (!event) {
        logMessage(nullptr, zezu::ERROR, kClassName, "NULL ZEZU_Event_t object passed in DestroyEvent ");
        return -1;
    }
    delete static_cast<ZEZUEventsIntl*>(event);
    return 0;
}

}  // namespace ZEZUUtils
