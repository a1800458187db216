// The X window id behind a GTK toplevel.
#include "bootstrapper/ui/gtk/X11WindowId.h"

#include <gdk/gdkx.h>

unsigned long x11WindowId(GtkWidget* window) {
    if (window == nullptr) return 0;
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    if (gdkWindow == nullptr || !GDK_IS_X11_WINDOW(gdkWindow)) return 0;
    return static_cast<unsigned long>(GDK_WINDOW_XID(gdkWindow));
}

void trapX11Errors() {
    GdkDisplay* display = gdk_display_get_default();
    if (display != nullptr && GDK_IS_X11_DISPLAY(display)) gdk_x11_display_error_trap_push(display);
}

void untrapX11Errors() {
    GdkDisplay* display = gdk_display_get_default();
    if (display != nullptr && GDK_IS_X11_DISPLAY(display)) gdk_x11_display_error_trap_pop_ignored(display);
}
