// The calling thread's system-wide id, the number process listings and debuggers show.
#pragma once

namespace platform {

long currentThreadId();

}  // namespace platform
