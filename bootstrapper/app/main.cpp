// The program's entry: the facade, its initialisation and the command line, then the window host.
#include "bootstrapper/app/ZORApplicationFacade.h"
#include "bootstrapper/ui/WindowHost.h"

int main(int argc, char** argv) {
    ZORApplicationFacade* facade = ZORApplicationFacade::getInstance();
    if (!facade->init()) {
        // The temporary folder goes and "Closing" follows the FAILED line.
        ZORApplicationFacade::shutdown();
        return -1;
    }
    facade->getSessionProxy()->parseCommandLine(argc, argv);
    WindowHostContext context = facade->windowHostContext();
    return runWindowHost(context, argc, argv);
}
