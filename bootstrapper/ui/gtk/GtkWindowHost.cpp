// The GTK host: start-up, the main loop and the shutdown order of a run with a window.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowHost.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "bootstrapper/ui/gtk/AppController.h"
#include "bootstrapper/ui/gtk/GtkScreen.h"

namespace {

struct SignalState {
    int signal = 0;
};

gboolean onTerminationSignal(gpointer data, int signalNumber) {
    auto* state = static_cast<SignalState*>(data);
    if (state->signal == 0) state->signal = signalNumber;
    if (gtk_main_level() > 0) gtk_main_quit();
    return G_SOURCE_CONTINUE;
}

gboolean onSigint(gpointer data) { return onTerminationSignal(data, SIGINT); }
gboolean onSigterm(gpointer data) { return onTerminationSignal(data, SIGTERM); }

void fail(WindowHostContext& context, const std::string& message) {
    if (context.logError) context.logError(message);
    if (context.shutdown) context.shutdown();
}

// The window draws nothing with OpenGL, yet GDK's probe at display open loads the GL driver (Mesa
// and LLVM: tens of MiB resident and tens of ms before the first frame). GDK reads GDK_GL once,
// while it opens the display; the caller's value comes back afterwards, so an installer or the
// packager we launch inherits the environment as it was.
bool openDisplayWithoutOpenGL(int& argc, char**& argv) {
    const char* callerValue = std::getenv("GDK_GL");
    const std::optional<std::string> saved =
        callerValue != nullptr ? std::optional<std::string>(callerValue) : std::nullopt;
    ::setenv("GDK_GL", "disable", 1);
    const bool opened = gtk_init_check(&argc, &argv);
    if (saved) {
        ::setenv("GDK_GL", saved->c_str(), 1);
    } else {
        ::unsetenv("GDK_GL");
    }
    return opened;
}

}  // namespace

// No GtkApplication: it would reject "--sessionId=..." and hand a second launch to the first
// instance, past the instance lock.
int runWindowHost(WindowHostContext& context, int argc, char** argv) {
    if (!openDisplayWithoutOpenGL(argc, argv)) {
        fail(context, "Cannot open a display: the window cannot be shown");
        return -1;
    }
    installGtkScreenResolutionHook();
    AppController::Options options;
    options.highDPIScreen = isHighDPIScreen();
    // The fixed texts, looked up now: once the worker runs, main never touches the dictionary.
    const WindowTexts texts = WindowTexts::resolve(context.utils);
    std::string error;
    std::unique_ptr<AppController> controller;
    if (context.mediator != nullptr) {
        controller = AppController::create(*context.mediator, texts, std::move(options), error);
    } else {
        error = "No view mediator for the window";
    }
    if (!controller) {
        fail(context, error);
        return -1;
    }
    controller->initZorUI();
    if (context.viewHandles != nullptr) context.viewHandles->controller = controller.get();

    SignalState signals;
    const guint sigintSource = g_unix_signal_add(SIGINT, onSigint, &signals);
    const guint sigtermSource = g_unix_signal_add(SIGTERM, onSigterm, &signals);

    bool started = false;
    if (context.start) started = context.start();
    if (started) {
        controller->trace().write("host", "\"what\":\"loop-started\"");
        gtk_main();
    }

    // Removed before the join, so a second SIGINT or SIGTERM ends the process at once.
    g_source_remove(sigintSource);
    g_source_remove(sigtermSource);

    int result = -1;
    const char* reason = "start-failed";
    if (started) {
        switch (controller->loopEnd()) {
            case AppController::LoopEnd::CloseUI:
                result = 0;
                reason = "closeUI";
                break;
            case AppController::LoopEnd::Destroyed:
                result = 1;
                reason = "destroyed";
                break;
            case AppController::LoopEnd::Running:
                result = signals.signal != 0 ? 128 + signals.signal : 0;
                reason = signals.signal != 0 ? "signal" : "loop-quit";
                break;
        }
    }
    controller->trace().write("host", std::string("\"what\":\"loop-ended\",\"reason\":\"") + reason +
                                          "\",\"signal\":" + std::to_string(signals.signal));

    // The queue closes first, so a worker waiting on a dialog returns and the join can end; the
    // join itself may still wait for a running installer, the version download or a telemetry send.
    controller->closeDispatcher();
    controller->disconnectHandlers();
    // Shutdown deletes the facade and the handles in it: nothing here touches them afterwards.
    if (context.shutdown) context.shutdown();
    controller->trace().write("host", "\"what\":\"shutdown-done\"");
    controller.reset();
    return result;
}
