// Runs the GTK host on a private X server and looks at what the process has mapped once the
// window is up: no OpenGL driver may be loaded, and the caller's GDK_GL comes back unchanged.
// A process of its own, because GTK, once started on a display, stays started.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowHost.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "tests/bootstrapper/ui/gtk/XvfbDisplay.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

constexpr int kSkip = 77;

// The libraries GDK's OpenGL probe brings in: libglvnd's dispatchers, the Mesa drivers, LLVM.
std::vector<std::string> openGlMappings() {
    std::vector<std::string> found;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t slash = line.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string name = line.substr(slash + 1);
        for (const char* prefix : {"libGL", "libEGL", "libGLX", "libgallium", "libLLVM", "libglapi", "libdrm"}) {
            if (name.rfind(prefix, 0) == 0 || line.find("/dri/") != std::string::npos) {
                if (found.empty() || found.back() != name) found.push_back(name);
                break;
            }
        }
    }
    return found;
}

}  // namespace

int main() {
    gtk_test::XvfbDisplay xvfb;
    if (!xvfb.running()) {
        std::printf("skipped: %s\n", xvfb.skipReason().c_str());
        return kSkip;
    }
    xvfb.applyEnvironment();
    test_support::TemporaryEnvironment environment;
    ::setenv("BOOTSTRAP_RESOURCES_FOLDER", (std::string(TEST_SOURCE_DIR) + "/bootstrapper/resources").c_str(), 1);
    ::setenv("GDK_GL", "always", 1);  // the caller's own value, which must survive the run

    ViewMediator mediator;
    ZORViewHandles handles;
    mediator.setViewHandles(&handles);
    std::vector<std::string> mapped;
    bool started = false;
    std::string errors;
    WindowHostContext context;
    context.mediator = &mediator;
    context.viewHandles = &handles;
    // The window is up when the host starts the worker: look, then end the run.
    context.start = [&] {
        started = true;
        mapped = openGlMappings();
        return false;
    };
    context.shutdown = [] {};
    context.logError = [&](const std::string& message) { errors += message + "\n"; };
    char name[] = "bootstrapper";
    char* argv[] = {name, nullptr};
    runWindowHost(context, 1, argv);

    const char* after = std::getenv("GDK_GL");
    const std::string restored = after != nullptr ? after : "(unset)";
    std::string libraries;
    for (const std::string& library : mapped) libraries += " " + library;
    std::printf("started %d, GDK_GL after the run: %s, OpenGL libraries mapped:%s\nerrors: %s", started ? 1 : 0,
                restored.c_str(), libraries.empty() ? " none" : libraries.c_str(), errors.c_str());
    return started && mapped.empty() && restored == "always" ? 0 : 1;
}
