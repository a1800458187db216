// Auto-reset events: one thread sets, another waits with an optional time-out.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

// Opaque handle to one event made by ZEZUUtils::EventUtils::CreateEvnt.
typedef void* ZEZU_Event_t;

namespace ZEZUUtils {

// The event behind a ZEZU_Event_t; used by EventUtils only.
class ZEZUEventsIntl {
public:
    ZEZUEventsIntl();
    ~ZEZUEventsIntl();
    ZEZUEventsIntl(const ZEZUEventsIntl&) = delete;
    ZEZUEventsIntl& operator=(const ZEZUEventsIntl&) = delete;

    // Initialises the mutex and the (monotonic-clock) condition; false when either fails.
    bool CreateEvntIntl();
    void ResetEvntIntl();
    void SetEvntIntl();
    // 0 signalled (the signal is consumed), 1 timed out, 2 any other error.
    int WaitforEvntIntl(int64_t milliseconds);
    void CloseHandleIntl();

    // Stands in for pthread_cond_wait / pthread_cond_timedwait (deadline NULL: no limit), set by
    // testing::setConditionWait (TestSeams.h). Called with the mutex held; must return with it
    // held, as the real calls do.
    using ConditionWaitFunction = int (*)(pthread_cond_t* condition, pthread_mutex_t* mutex,
                                          const struct timespec* deadline);

private:
    pthread_mutex_t mutex_;
    pthread_cond_t condition_;
    bool unsignalled_;
    bool initialised_ = false;
};

class EventUtils {
public:
    // A new unsignalled event, or NULL on failure.
    static ZEZU_Event_t CreateEvnt();
    // Sets the event and wakes one waiter; a set with no waiter is kept for the next wait.
    static void SetEvnt(ZEZU_Event_t event);
    // 0 when the event was set, 1 when the time-out passed, 2 on error or a NULL handle.
    // -1 waits without limit; other negative values are taken as 0.
    static int WaitforEvent(ZEZU_Event_t event, int64_t milliseconds);
    // 0, or -1 for a NULL handle.
    static int DestroyEvent(ZEZU_Event_t event);
};

}  // namespace ZEZUUtils
