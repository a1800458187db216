// The calling thread's id on Linux: the kernel's task id.
#include "platform/ThreadIdentity.h"

#include <unistd.h>

namespace platform {

long currentThreadId() { return static_cast<long>(::gettid()); }

}  // namespace platform
