// The window's handles kept in the session record: the second button's mode and the controller.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class IBootstrapWindow;

struct ZORViewHandles {
    std::string text;                        // kept for its place in the record; nothing reads it
    std::atomic<int32_t> button2Mode{0};     // 0 retry, 1 "Download": open the support page, then quit
    IBootstrapWindow* controller = nullptr;  // set before the worker starts, cleared after its join
};
