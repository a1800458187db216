// Runs the GTK host with no display at all: it must log, shut down once and return -1.
// A process of its own, because GTK, once started on a display, stays started.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowHost.h"
#include "bootstrapper/ui/ZORViewHandles.h"

int main() {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("GDK_BACKEND", "x11", 1);
    ViewMediator mediator;
    ZORViewHandles handles;
    mediator.setViewHandles(&handles);
    int starts = 0;
    int shutdowns = 0;
    std::string errors;
    WindowHostContext context;
    context.mediator = &mediator;
    context.viewHandles = &handles;
    context.start = [&] {
        ++starts;
        return true;
    };
    context.shutdown = [&] { ++shutdowns; };
    context.logError = [&](const std::string& message) { errors += message + "\n"; };
    char name[] = "bootstrapper";
    char session[] = "--sessionId=abc";
    char* argv[] = {name, session, nullptr};
    const int result = runWindowHost(context, 2, argv);
    std::printf("result %d, starts %d, shutdowns %d, errors: %s", result, starts, shutdowns, errors.c_str());
    return result == -1 && starts == 0 && shutdowns == 1 && !errors.empty() && handles.controller == nullptr ? 0 : 1;
}
