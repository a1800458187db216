// A plain in-process mutex with acquire and free operations.
#pragma once

#include <pthread.h>

#include "foundation/utils/ThreadAnnotations.h"

namespace ZEZU_NativeLock {

class ZEZU_CAPABILITY("mutex") NativeLock {
public:
    NativeLock();
    ~NativeLock();
    NativeLock(const NativeLock&) = delete;
    NativeLock& operator=(const NativeLock&) = delete;

    // Each gives the pthread call's result (0 on success).
    int acquireLock() ZEZU_ACQUIRE();
    int freeLock() ZEZU_RELEASE();

private:
    pthread_mutex_t mutex_;
};

}  // namespace ZEZU_NativeLock
