// In-process critical section: recursive when it has a name, a plain mutex when it has none.
#include "foundation/utils/NativeCriticalSection.h"

#include <cstdio>
#include <cstdlib>

namespace ZEZUUtils {

namespace {

// A lock that cannot be made or used leaves the guarded data unprotected; stop at once
// rather than run on with a silent race.
void failHard(const char* what, int error) {
    std::fprintf(stderr, "NativeCriticalSection: %s failed (%d)\n", what, error);
    std::abort();
}

}  // namespace

NativeCriticalSection::NativeCriticalSection(const std::string& name) : name_(name), unnamed_(name.empty()) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    if (!unnamed_) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int error = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (error != 0) failHard("pthread_mutex_init", error);
}

NativeCriticalSection::~NativeCriticalSection() { pthread_mutex_destroy(&mutex_); }

// The analysis cannot see through pthread; the declaration carries the contract.
void NativeCriticalSection::enter() NO_THREAD_SAFETY_ANALYSIS {
    int error = pthread_mutex_lock(&mutex_);
    if (error != 0) failHard("pthread_mutex_lock", error);
}

void NativeCriticalSection::leave() NO_THREAD_SAFETY_ANALYSIS {
    int error = pthread_mutex_unlock(&mutex_);
    if (error != 0) failHard("pthread_mutex_unlock", error);
}

}  // namespace ZEZUUtils
