// The program hands its initialised facade to one host, which runs the window (or has none).
#pragma once

#include <functional>
#include <string>

class ViewMediator;
class ZORUtils;
struct ZORViewHandles;

struct WindowHostContext {
    ViewMediator* mediator = nullptr;
    ZORUtils* utils = nullptr;
    ZORViewHandles* viewHandles = nullptr;
    std::function<bool()> start;                        // the facade's start: begins the worker
    std::function<void()> shutdown;                     // the facade's shutdown: joins and frees
    std::function<void(const std::string&)> logError;   // one ERROR line in the program's log
};

// Runs until the window closes and returns the program's exit status. It calls shutdown exactly
// once on every path.
int runWindowHost(WindowHostContext& context, int argc, char** argv);

// The host without a window: logs "No window toolkit in this build", shuts down, returns -1.
int runNoWindowHost(WindowHostContext& context);
