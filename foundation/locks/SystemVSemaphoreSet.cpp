// Exclusive creation, creator-only initialisation and EINTR-safe operations on System V sets.
#include "foundation/locks/SystemVSemaphoreSet.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace foundation {
namespace {

// Linux leaves union semun to the caller.
union SemaphoreArgument {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

// Bounds the look-ups when other processes keep creating and removing the set under us.
constexpr int kMaximumOpenRounds = 1000;
constexpr std::chrono::milliseconds kInitialisationPoll{1};

int semop_retrying(int id, sembuf* operations, size_t count) {
    int result;
    do {
        result = ::semop(id, operations, count);
    } while (result == -1 && errno == EINTR);
    return result;
}

// The creator's one initialising semop: it sets every value and makes sem_otime non-zero.
bool initialise(int id, const std::vector<unsigned short>& initialValues) {
    std::vector<sembuf> operations;
    for (size_t i = 0; i < initialValues.size(); ++i) {
        if (initialValues[i] != 0) {
            operations.push_back(sembuf{static_cast<unsigned short>(i),
                                        static_cast<short>(initialValues[i]), IPC_NOWAIT});
        }
    }
    if (operations.empty()) {
        // A wait-for-zero that succeeds at once still stamps sem_otime.
        operations.push_back(sembuf{0, 0, IPC_NOWAIT});
    }
    return semop_retrying(id, operations.data(), operations.size()) == 0;
}

enum class Readiness { Ready, NotYet, Gone, Failed };

Readiness readiness(int id) {
    semid_ds status{};
    SemaphoreArgument argument{};
    argument.buf = &status;
    if (::semctl(id, 0, IPC_STAT, argument) == -1) {
        return (errno == EIDRM || errno == EINVAL) ? Readiness::Gone : Readiness::Failed;
    }
    return status.sem_otime != 0 ? Readiness::Ready : Readiness::NotYet;
}

}  // namespace

SystemVSemaphoreSet::SystemVSemaphoreSet(SystemVSemaphoreSet&& other) noexcept
    : id_(std::exchange(other.id_, -1)) {}

SystemVSemaphoreSet& SystemVSemaphoreSet::operator=(SystemVSemaphoreSet&& other) noexcept {
    id_ = std::exchange(other.id_, -1);
    return *this;
}

std::optional<key_t> SystemVSemaphoreSet::makeKey(const std::string& path, int projectId) {
    const key_t key = ::ftok(path.c_str(), projectId);
    if (key == static_cast<key_t>(-1)) {
        return std::nullopt;
    }
    return key;
}

std::optional<SystemVSemaphoreSet::Opened> SystemVSemaphoreSet::openOrCreate(
    const std::string& keyPath, int projectId, const std::vector<unsigned short>& initialValues,
    mode_t permissions, std::chrono::milliseconds initialisationWait) {
    if (initialValues.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    const std::optional<key_t> key = makeKey(keyPath, projectId);
    if (!key) {
        return std::nullopt;
    }
    const int count = static_cast<int>(initialValues.size());
    const int mode = static_cast<int>(permissions & 0777);

    for (int round = 0; round < kMaximumOpenRounds; ++round) {
        int id = ::semget(*key, count, IPC_CREAT | IPC_EXCL | mode);
        if (id >= 0) {
            if (!initialise(id, initialValues)) {
                // A set nobody can use must not stay behind to block every later opener.
                const int error = errno;
                SemaphoreArgument unused{};
                ::semctl(id, 0, IPC_RMID, unused);
                if (error == EIDRM || error == EINVAL) {
                    continue;  // removed under us: try again
                }
                errno = error;
                return std::nullopt;
            }
            return Opened{SystemVSemaphoreSet(id), true};
        }
        if (errno != EEXIST) {
            return std::nullopt;
        }
        id = ::semget(*key, count, 0);
        if (id < 0) {
            if (errno == ENOENT || errno == EIDRM) {
                continue;  // vanished between EEXIST and the open
            }
            return std::nullopt;
        }

        const auto deadline = std::chrono::steady_clock::now() + initialisationWait;
        Readiness state = readiness(id);
        while (state == Readiness::NotYet && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kInitialisationPoll);
            state = readiness(id);
        }
        switch (state) {
        case Readiness::Ready:
            return Opened{SystemVSemaphoreSet(id), false};
        case Readiness::Gone:
            continue;
        case Readiness::NotYet:
            errno = ETIMEDOUT;
            return std::nullopt;
        case Readiness::Failed:
            return std::nullopt;
        }
    }
    errno = EAGAIN;
    return std::nullopt;
}

bool SystemVSemaphoreSet::removeKey(const std::string& keyPath, int projectId) {
    const std::optional<key_t> key = makeKey(keyPath, projectId);
    if (!key) {
        return false;
    }
    const int id = ::semget(*key, 0, 0);
    if (id < 0) {
        return errno == ENOENT;
    }
    SemaphoreArgument unused{};
    return ::semctl(id, 0, IPC_RMID, unused) == 0 || errno == EIDRM || errno == EINVAL;
}

bool SystemVSemaphoreSet::change(unsigned short semaphore, short delta, unsigned flags) const {
    if (id_ < 0) {
        errno = EINVAL;
        return false;
    }
    short operationFlags = 0;
    if ((flags & kNoWait) != 0) {
        operationFlags |= IPC_NOWAIT;
    }
    if ((flags & kUndo) != 0) {
        operationFlags |= SEM_UNDO;
    }
    sembuf operation{semaphore, delta, operationFlags};
    return semop_retrying(id_, &operation, 1) == 0;
}

std::optional<int> SystemVSemaphoreSet::value(unsigned short semaphore) const {
    if (id_ < 0) {
        errno = EINVAL;
        return std::nullopt;
    }
    SemaphoreArgument unused{};
    const int result = ::semctl(id_, semaphore, GETVAL, unused);
    if (result == -1) {
        return std::nullopt;
    }
    return result;
}

bool SystemVSemaphoreSet::remove() {
    if (id_ < 0) {
        errno = EINVAL;
        return false;
    }
    SemaphoreArgument unused{};
    const bool removed = ::semctl(std::exchange(id_, -1), 0, IPC_RMID, unused) == 0;
    return removed;
}

}  // namespace foundation
