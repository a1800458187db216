// The program's window host in a build without a window toolkit.
#include "bootstrapper/ui/WindowHost.h"

int runWindowHost(WindowHostContext& context, int, char**) { return runNoWindowHost(context); }
