// ThreadChecker: debug builds assert that an object owned by one thread is used only there.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace platform {

// Binds to the first thread that asks, since objects are often made on one thread and handed to
// the one that owns them. detach() unbinds where ownership moves on purpose; the next thread to
// ask becomes the owner. Works in every build; ThreadChecker below is what objects carry.
class ThreadBinding {
public:
    ThreadBinding() = default;
    ThreadBinding(const ThreadBinding&) = delete;
    ThreadBinding& operator=(const ThreadBinding&) = delete;

    // True on the bound thread; binds the calling thread when none is bound.
    bool calledOnValidThread() const {
        const std::thread::id caller = std::this_thread::get_id();
        std::thread::id bound{};
        return owner_.compare_exchange_strong(bound, caller, std::memory_order_relaxed) || bound == caller;
    }
    void detach() { owner_.store(std::thread::id(), std::memory_order_relaxed); }

private:
    mutable std::atomic<std::thread::id> owner_{};
};

#ifndef NDEBUG
class ThreadChecker {
public:
    // Ends the process, naming `owner`, when called off the bound thread.
    void check(const char* owner) const {
        if (binding_.calledOnValidThread()) return;
        std::fprintf(stderr, "%s used off the thread that owns it\n", owner);
        std::abort();
    }
    void detach() { binding_.detach(); }

private:
    ThreadBinding binding_;
};
#else
// Release builds: no state and no check; members hold it [[no_unique_address]].
class ThreadChecker {
public:
    void check(const char*) const {}
    void detach() {}
};
#endif

}  // namespace platform
