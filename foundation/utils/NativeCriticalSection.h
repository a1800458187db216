// In-process critical section: recursive when it has a name, a plain mutex when it has none.
#pragma once

#include <pthread.h>

#include <string>

#include "foundation/utils/NativeLock.h"
#include "platform/ThreadAnnotations.h"

namespace ZEZUUtils {

class CAPABILITY("mutex") NativeCriticalSection {
public:
    // An empty name makes a plain (non-recursive) mutex; any other name a recursive lock.
    explicit NativeCriticalSection(const std::string& name = std::string());
    ~NativeCriticalSection();
    NativeCriticalSection(const NativeCriticalSection&) = delete;
    NativeCriticalSection& operator=(const NativeCriticalSection&) = delete;

    // Blocks until the lock is held. Only a named lock may be entered again by its holder.
    void enter() ACQUIRE();
    void leave() RELEASE();

    const std::string& name() const { return name_; }
    bool isUnnamed() const { return unnamed_; }

private:
    std::string name_;
    bool unnamed_;
    pthread_mutex_t mutex_;
};

// Holds a critical section for the length of a scope.
class SCOPED_CAPABILITY ScopedCriticalSection {
public:
    explicit ScopedCriticalSection(NativeCriticalSection& section) ACQUIRE(section) : section_(section) {
        section_.enter();
    }
    ~ScopedCriticalSection() RELEASE() { section_.leave(); }
    ScopedCriticalSection(const ScopedCriticalSection&) = delete;
    ScopedCriticalSection& operator=(const ScopedCriticalSection&) = delete;

private:
    NativeCriticalSection& section_;
};

}  // namespace ZEZUUtils
