// Sends WM_PROTOCOLS/WM_DELETE_WINDOW to one X window, as a window manager's close box would.
// Usage: send-close-request [--destroy] XID (decimal or 0x hex); DISPLAY names the server.
// --destroy destroys the window instead, as another X client may.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool failed = false;

int recordError(Display* display, XErrorEvent* error) {
    char text[256] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    std::fprintf(stderr, "send-close-request: X error: %s\n", text);
    failed = true;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool destroy = argc == 3 && std::strcmp(argv[1], "--destroy") == 0;
    if (argc != 2 && !destroy) {
        std::fprintf(stderr, "usage: send-close-request [--destroy] XID\n");
        return 2;
    }
    const char* id = argv[argc - 1];
    char* end = nullptr;
    errno = 0;
    const unsigned long xid = std::strtoul(id, &end, 0);
    if (errno != 0 || end == id || *end != '\0' || xid == 0) {
        std::fprintf(stderr, "send-close-request: not a window id: %s\n", id);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "send-close-request: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(recordError);
    const Window window = static_cast<Window>(xid);
    if (destroy) {
        XDestroyWindow(display, window);
        XSync(display, False);
        XCloseDisplay(display);
        return failed ? 1 : 0;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return failed ? 1 : 0;
}
