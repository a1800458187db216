// The interface of the cross-process locks the bootstrapper takes and probes.
#pragma once

// Used through its virtual operations; each object is used by one thread.
class ZRVLockClass {
public:
    virtual ~ZRVLockClass() = default;
    // True when this object holds the lock (or one more unit of it); never waits.
    virtual bool acquire() = 0;
    // The in-use test: another holder has the lock, or a unit of it is taken.
    virtual bool isLocked() = 0;
    virtual bool release() = 0;

protected:
    ZRVLockClass() = default;
    ZRVLockClass(const ZRVLockClass&) = delete;
    ZRVLockClass& operator=(const ZRVLockClass&) = delete;
};
