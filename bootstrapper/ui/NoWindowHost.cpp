// The host for a build or a run without a window: it never starts the worker.
#include "bootstrapper/ui/WindowHost.h"

int runNoWindowHost(WindowHostContext& context) {
    if (context.logError) context.logError("No window toolkit in this build");
    if (context.shutdown) context.shutdown();
    return -1;
}
