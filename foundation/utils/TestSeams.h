// The utilities' process-wide test seams.
#pragma once

#include "foundation/utils/EventUtils.h"

namespace ZEZUUtils::testing {

// Replaces the condition wait of every ZEZUEventsIntl so a test can drive one exact
// interleaving; null restores the real wait.
void setConditionWait(ZEZUEventsIntl::ConditionWaitFunction wait);

}  // namespace ZEZUUtils::testing
