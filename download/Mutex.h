// The engine's plain mutex: a failing system call ends the process (status -21 to -24).
#pragma once

#include <pthread.h>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

// A non-recursive pthread mutex. The constructor runs `init` and the destructor `destroy`,
// so every engine object that holds one gets a usable lock from the start.
class CAPABILITY("mutex") Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void init();
    void lock() ACQUIRE();
    void unlock() RELEASE();
    void destroy();

private:
    pthread_mutex_t mutex_;
    bool initialized_ = false;
};

// Holds a Mutex for one scope; the same scoped holder as the platform's own mutex.
using MutexLock = platform::ScopedLock<Mutex>;

namespace engine_mutex_detail {
// Logs the failure and ends the process at once with `status`. Exposed for the death tests.
[[noreturn]] void failAndExit(const char* what, int error, int status);
}  // namespace engine_mutex_detail
