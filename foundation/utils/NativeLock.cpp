// A plain in-process mutex with acquire and free operations.
#include "foundation/utils/NativeLock.h"

namespace ZEZU_NativeLock {

NativeLock::NativeLock() { pthread_mutex_init(&mutex_, nullptr); }

NativeLock::~NativeLock() { pthread_mutex_destroy(&mutex_); }

// The analysis cannot see through pthread; the declaration carries the contract.
int NativeLock::acquireLock() NO_THREAD_SAFETY_ANALYSIS { return pthread_mutex_lock(&mutex_); }

int NativeLock::freeLock() NO_THREAD_SAFETY_ANALYSIS { return pthread_mutex_unlock(&mutex_); }

}  // namespace ZEZU_NativeLock
