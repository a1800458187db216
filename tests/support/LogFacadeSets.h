// The two System V sets the process-wide log facade keys on the home it first saw.
#pragma once

#include <string>

#include "foundation/locks/SystemVSemaphoreSet.h"
#include "foundation/logging/BinaryLock.h"
#include "foundation/logging/LogFacade.h"

namespace test_support {

// The facade is never destroyed, so nothing else removes them: one set for the home folder
// itself, one for its Library/Logs/VexApp.log.
inline void removeLogFacadeSets(const std::string& home) {
    foundation::SystemVSemaphoreSet::removeKey(home + "/Library/Logs/VexApp.log", zezu::BinaryLock::kLogFileProjectId);
    foundation::SystemVSemaphoreSet::removeKey(home, Logger::kMutexProjectId);
}

}  // namespace test_support
