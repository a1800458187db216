// A plain in-process mutex with acquire and free operations.
#pragma once

#include <pthread.h>

#include "platform/ThreadAnnotations.h"

namespace ZEZU_NativeLock {

class CAPABILITY("mutex") NativeLock {
public:
    NativeLock();
    ~NativeLock();
    NativeLock(const NativeLock&) = delete;
    NativeLock& operator=(const NativeLock&) = delete;

    // Each gives the pthread call's result (0 on success).
    int acquireLock() ACQUIRE();
    int freeLock() RELEASE();

private:
    pthread_mutex_t mutex_;
};

}  // namespace ZEZU_NativeLock
