// The guarded containers of the telemetry client: the sender's queue and the manager's maps.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <utility>

#include "foundation/utils/NativeCriticalSection.h"

namespace DEZFramework {

// First in, first out. Holds what it is given and owns nothing behind a pointer.
template <typename T>
class ObjectQueue {
public:
    ObjectQueue() = default;
    ObjectQueue(const ObjectQueue&) = delete;
    ObjectQueue& operator=(const ObjectQueue&) = delete;

    bool push(T item) {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        queue.push_back(std::move(item));
        return true;
    }
    bool empty() {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        return queue.empty();
    }
    // Takes the front element; false when the queue is empty.
    bool pop(T& item) {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        if (queue.empty()) {
            return false;
        }
        item = std::move(queue.front());
        queue.pop_front();
        return true;
    }
    std::size_t clear() {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        const std::size_t dropped = queue.size();
        queue.clear();
        return dropped;
    }

private:
    ZEZUUtils::NativeCriticalSection lock;
    std::deque<T> queue GUARDED_BY(lock);
};

// An ordered map whose every access happens under its own lock.
template <typename Key, typename Value>
class ObjectMap {
public:
    ObjectMap() = default;
    ObjectMap(const ObjectMap&) = delete;
    ObjectMap& operator=(const ObjectMap&) = delete;

    // True when the key was new; an existing entry stays as it was.
    bool insert(const Key& key, Value value) {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        return map.emplace(key, std::move(value)).second;
    }
    // Runs f on the map with the lock held, for one look-up, removal or sweep.
    template <typename F>
    auto locked(F&& f) {
        ZEZUUtils::ScopedCriticalSection hold(lock);
        return f(map);
    }

private:
    ZEZUUtils::NativeCriticalSection lock;
    std::map<Key, Value> map GUARDED_BY(lock);
};

}  // namespace DEZFramework
