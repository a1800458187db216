// The run's seams: production values the environment may override, and hooks for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace bootstrap_seams {

// Production values.
inline constexpr const char* kDefaultLockKeyPath = "/tmp";
inline constexpr uint32_t kDefaultLockPollMicroseconds = 500000;
inline constexpr uint32_t kDefaultFinishPauseMicroseconds = 2000000;

// The environment variables; an empty one counts as unset.
inline constexpr const char* kLockKeyPathVariable = "BOOTSTRAP_LOCK_KEY_PATH";
inline constexpr const char* kLockPollVariable = "BOOTSTRAP_LOCK_POLL_US";
inline constexpr const char* kFinishPauseVariable = "BOOTSTRAP_FINISH_PAUSE_US";

struct LockKeyPath {
    std::string path;
    // The variable named something that does not exist; path then holds the default.
    bool rejected = false;
};

// The key path of the run's four System V locks: an existing file or folder, else "/tmp".
LockKeyPath lockKeyPath();
// A sleep in microseconds: a decimal number, else the production value.
uint32_t microsecondsFromEnvironment(const char* variable, uint32_t productionValue);

// The one sleep of states 4, 14 and 16; tests tell those apart by the duration they get
// (testing::setSleep, TestSeams.h).
using SleepFunction = std::function<void(uint32_t microseconds)>;
void sleepMicroseconds(uint32_t microseconds);

// Opens the support page of the second button in its "Download" mode (testing::setLinkOpener).
using LinkOpener = std::function<void(const std::string& url)>;
void openLink(const std::string& url);

}  // namespace bootstrap_seams
