// The levels of the zezu logging library.
#pragma once

#include <cstdint>

namespace zezu {

// A call is written when its level is at least the target's. Any other value is allowed
// and prints as ALL.
enum Log_Level : int32_t {
    TRACE = 10,
    DEBUG = 20,
    INFO = 30,
    WARN = 40,
    ERROR = 50,
    FATAL = 60,
    NONE = 70,
};

}  // namespace zezu
