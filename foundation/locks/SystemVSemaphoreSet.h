// The one helper through which every System V semaphore set of the project is made and used.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

// A handle on one System V semaphore set. The kernel set is shared by every process that
// uses the key, so dropping the handle leaves the set in place; only remove() deletes it.
// It never logs: the logging library itself stands on it.
class SystemVSemaphoreSet {
public:
    // How long an opener waits, by default, for the creator to initialise a new set.
    static constexpr std::chrono::milliseconds kDefaultInitialisationWait{2000};

    enum Flags : unsigned {
        kBlocking = 0,
        kNoWait = 1u << 0,  // IPC_NOWAIT: fail with EAGAIN instead of blocking
        kUndo = 1u << 1,    // SEM_UNDO: the kernel reverses the change when the process ends
    };

    struct Opened;

    SystemVSemaphoreSet() = default;
    explicit SystemVSemaphoreSet(int id) : id_(id) {}
    SystemVSemaphoreSet(SystemVSemaphoreSet&& other) noexcept;
    SystemVSemaphoreSet& operator=(SystemVSemaphoreSet&& other) noexcept;
    SystemVSemaphoreSet(const SystemVSemaphoreSet&) = delete;
    SystemVSemaphoreSet& operator=(const SystemVSemaphoreSet&) = delete;
    ~SystemVSemaphoreSet() = default;

    // ftok of an existing path and a project id (only its low 8 bits count).
    static std::optional<key_t> makeKey(const std::string& path, int projectId);

    // Opens the set of the key, creating it when there is none. Creation is exclusive
    // (IPC_CREAT|IPC_EXCL); only the creator initialises, with one semop that raises each
    // semaphore to its initial value, so that sem_otime marks the set as ready. An opener that
    // meets a set not yet initialised waits up to initialisationWait for that mark and then
    // fails (a creator that died in between must not block everyone). A set that vanishes
    // between EEXIST and the open is looked for again. initialValues.size() is the number of
    // semaphores. On failure errno tells why (ETIMEDOUT for an uninitialised set).
    static std::optional<Opened> openOrCreate(
        const std::string& keyPath, int projectId, const std::vector<unsigned short>& initialValues,
        mode_t permissions = 0666,
        std::chrono::milliseconds initialisationWait = kDefaultInitialisationWait);

    // Removes the set of the key when there is one (tests clean their keys with it).
    // True when no set remains under the key.
    static bool removeKey(const std::string& keyPath, int projectId);

    bool valid() const { return id_ >= 0; }
    int id() const { return id_; }

    // Adds delta to one semaphore; a blocking change is retried when a signal interrupts it.
    // False with errno on failure (EAGAIN with kNoWait when it would block; EIDRM or EINVAL
    // when the set was removed meanwhile).
    bool change(unsigned short semaphore, short delta, unsigned flags) const;

    // The semaphore's value (GETVAL); nothing on failure, errno set.
    std::optional<int> value(unsigned short semaphore) const;

    // Removes the set from the system (IPC_RMID); the handle holds no set afterwards either way.
    bool remove();

    // Forgets the set without removing it.
    void reset() { id_ = -1; }

private:
    int id_ = -1;
};

struct SystemVSemaphoreSet::Opened {
    SystemVSemaphoreSet set;
    bool created = false;  // true when this call created and initialised the set
};

}  // namespace foundation
