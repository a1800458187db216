// The settings store's process-wide test seams.
#pragma once

#include "settings/VorDb.h"

namespace settings::testing {

// Shortens the waits on a busy database (vorDb::busyPolicy); the defaults are the store's.
void setBusyPolicy(const VorBusyPolicy& policy);

}  // namespace settings::testing
