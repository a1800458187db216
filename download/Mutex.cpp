// The engine's plain mutex.
#include "download/Mutex.h"

#include <cerrno>
#include <cstdlib>

#include "download/EngineLogger.h"

namespace engine_mutex_detail {

void failAndExit(const char* what, int error, int status) {
    DLE_ERROR("%s. errno: %d", what, error);
    // _Exit: other engine threads are still live, so static destructors must not run.
    std::_Exit(status);
}

}  // namespace engine_mutex_detail

Mutex::Mutex() { init(); }

Mutex::~Mutex() { destroy(); }

void Mutex::init() {
    if (initialized_) {
        return;
    }
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        if (rc == 0) {
            rc = pthread_mutex_init(&mutex_, &attributes);
        }
        pthread_mutexattr_destroy(&attributes);
    }
    if (rc != 0) {
        engine_mutex_detail::failAndExit("Error initializing mutex", rc, -21);
    }
    initialized_ = true;
}

void Mutex::lock() {
    const int rc = initialized_ ? pthread_mutex_lock(&mutex_) : EINVAL;
    if (rc != 0) {
        engine_mutex_detail::failAndExit("Error acquiring mutex", rc, -22);
    }
}

void Mutex::unlock() {
    const int rc = initialized_ ? pthread_mutex_unlock(&mutex_) : EINVAL;
    if (rc != 0) {
        engine_mutex_detail::failAndExit("Error releasing mutex", rc, -23);
    }
}

void Mutex::destroy() {
    if (!initialized_) {
        return;
    }
    const int rc = pthread_mutex_destroy(&mutex_);
    if (rc != 0) {
        engine_mutex_detail::failAndExit("Error deleting mutex", rc, -24);
    }
    initialized_ = false;
}
